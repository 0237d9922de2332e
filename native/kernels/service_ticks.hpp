// Filling tick records from the data service's columns: numeric columns copied into record
// fields, and time stamps turned into date and time numbers. Pure C++: no Python.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/numeric_column.hpp"

namespace norvane::kernels {

// The field types of the tick record layout.
enum class TickOut : std::uint8_t { U32, F64 };

// One field of a record array being filled: record i's field lives at base + i * stride + offset.
struct TickTarget {
    unsigned char *base = nullptr;
    std::ptrdiff_t stride = 0;
    std::size_t offset = 0;
    TickOut type = TickOut::F64;
};

// Copies n values of `in` into `out`, converted as numpy casts them (floats truncated toward zero
// for the unsigned field, integers kept as their low 32 bits).
void copy_tick_column(const ColumnView &in, std::size_t n, const TickTarget &out);

// A datetime64 unit: one day is `ticks_per_day` ticks; microseconds = ticks * us_mul / us_div.
struct StampUnit {
    std::int64_t ticks_per_day = 0;
    std::int64_t us_mul = 1;
    std::int64_t us_div = 1;
};

// Copies k columns into their k fields, rows in blocks so the records being written stay in
// cache across the columns (a column at a time over the whole array would sweep it k times).
void copy_tick_columns(const ColumnView *in, const TickTarget *out, std::size_t k, std::size_t n);

// The unit named by numpy's datetime64 unit code (count 1), or false when it is not one of
// D, h, m, s, ms, us, ns.
bool stamp_unit(const char *code, StampUnit &unit);

// From n int64 time stamps (ticks since 1970-01-01 00:00, wall-clock time) writes the date number
// YYYYMMDD and the time number HHMMSSmmm (fraction of a millisecond dropped) of each.
// Throws DataError for a missing stamp (NaT) or a year outside 1..9999.
void write_date_time(const ColumnView &stamps, std::size_t n, const StampUnit &unit, const TickTarget &date,
                     const TickTarget &time);

}  // namespace norvane::kernels
