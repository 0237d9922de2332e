#include "quarrybin/quarrybin.hpp"

namespace norvane::quarrybin {

void define_orvdata_ticks(nb::module_) {}

}  // namespace norvane::quarrybin
