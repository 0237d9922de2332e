#include "pulsebridge/pulsebridge.hpp"

namespace norvane::pulsebridge {

void add_algo_methods(PyClass &) {}

}  // namespace norvane::pulsebridge
