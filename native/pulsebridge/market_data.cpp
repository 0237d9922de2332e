#include "pulsebridge/pulsebridge.hpp"

namespace norvane::pulsebridge {

void add_market_data_methods(PyClass &) {}

}  // namespace norvane::pulsebridge
