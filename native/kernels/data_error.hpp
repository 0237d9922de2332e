// The one exception type kernels throw for input they cannot read (becomes ValueError).
#pragma once

#include <stdexcept>

namespace norvane::kernels {

struct DataError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace norvane::kernels
