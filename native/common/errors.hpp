// Error translation between kernels and Python.
#pragma once

namespace norvane {

// Registers the translators once per binary: kernels::DataError -> ValueError.
// (nanobind already maps std::invalid_argument, std::out_of_range, ... to their Python twins.)
void install_error_translators();

}  // namespace norvane
