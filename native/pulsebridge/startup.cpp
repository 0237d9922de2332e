#include "pulsebridge/pulsebridge.hpp"

namespace norvane::pulsebridge {

void add_startup_methods(PyClass &) {}

}  // namespace norvane::pulsebridge
