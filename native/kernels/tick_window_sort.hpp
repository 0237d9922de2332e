// The trading-day window filter and the stable (date, time) order of one day's ticks, in one
// pass over the rows plus a sort of the kept rows' keys. Pure C++: no Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "kernels/numeric_column.hpp"

namespace norvane::kernels {

// Source rows whose `time` lies in [lower, upper] (both inclusive, compared by exact value),
// ordered by `date`, then `time`; rows with equal keys keep their file order. NaN sorts last.
std::vector<std::size_t> tick_window_order(const ColumnView &date, const ColumnView &time, std::size_t rows,
                                           std::int64_t lower, std::int64_t upper);

}  // namespace norvane::kernels
