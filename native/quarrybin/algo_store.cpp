#include "quarrybin/quarrybin.hpp"

namespace norvane::quarrybin {

void define_algo_store(nb::module_) {}

}  // namespace norvane::quarrybin
