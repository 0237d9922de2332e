#include "pulsebridge/pulsebridge.hpp"

namespace norvane::pulsebridge {

void add_account_order_methods(PyClass &) {}

}  // namespace norvane::pulsebridge
