#include "quarrybin/quarrybin.hpp"

namespace norvane::quarrybin {

void define_futures_parameters(nb::module_) {}

}  // namespace norvane::quarrybin
