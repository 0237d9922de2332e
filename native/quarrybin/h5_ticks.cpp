#include "quarrybin/quarrybin.hpp"

namespace norvane::quarrybin {

void define_h5_ticks(nb::module_) {}

}  // namespace norvane::quarrybin
