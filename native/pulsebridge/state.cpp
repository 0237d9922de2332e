#include "pulsebridge/pulsebridge.hpp"

namespace norvane::pulsebridge {

void define_state(nb::module_) {}

}  // namespace norvane::pulsebridge
