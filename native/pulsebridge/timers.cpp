#include "pulsebridge/pulsebridge.hpp"

namespace norvane::pulsebridge {

void add_timer_methods(PyClass &) {}

}  // namespace norvane::pulsebridge
