// Building one date's minute-bar result records from the rows read from a minute file: every
// field converted to its result type in one pass over the rows. Pure C++: no Python.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/numeric_column.hpp"

namespace norvane::kernels {

struct BarFieldCopy {
    enum class Op : std::uint8_t {
        Bytes,      // same type on both sides: copy src.itemsize bytes
        ToFloat64,  // any numeric source to a native float64
        ToUInt64,   // any numeric source to a native uint64
        FillNaN,    // no source: a native float64 NaN
    };
    Op op = Op::Bytes;
    ColumnView src;               // unused for FillNaN
    std::size_t dst_offset = 0;   // byte offset of the field in a result record
};

// Fills `rows` result records (dst + r * dst_stride) field by field. The caller guarantees that
// every source column holds `rows` elements and that every field lies inside a result record.
void fill_minute_bars(unsigned char *dst, std::ptrdiff_t dst_stride, std::size_t rows,
                      const BarFieldCopy *copies, std::size_t count);

// The date number of a minute-bar time `YYYYMMDDHHMMSS`: the value divided by 1000000 (as a
// float64 true division, then truncated toward zero), as the first/last date of a file.
double bar_time_to_date(const Scalar &value);

}  // namespace norvane::kernels
