// Converting the kept ticks of one day, in their sorted order, into the tick record layout:
// each field of the layout read from its source column (any numeric type, byte order, offset),
// divided by its scale and stored as the layout's type. Pure C++: no Python.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kernels/data_error.hpp"
#include "kernels/numeric_column.hpp"

namespace norvane::kernels {

struct TickFieldCopy {
    enum class Dst : std::uint8_t { UInt32, Float64 };
    ColumnView src;
    Dst dst = Dst::Float64;
    bool dst_swap = false;        // the result field is stored in the opposite byte order
    std::size_t dst_offset = 0;   // byte offset of the field in a result record
    double scale = 1.0;           // the stored value is divided by it (as a float64)
};

// Result record i (dst + i * dst_stride) takes source row rows[i] of every copy. The caller
// guarantees rows[i] < the source length and that the fields lie inside the records.
void fill_tick_fields(unsigned char *dst, std::ptrdiff_t dst_stride, const std::size_t *rows, std::size_t count,
                      const TickFieldCopy *copies, std::size_t ncopies);

}  // namespace norvane::kernels

namespace norvane::kernels {

// Reorders `count` records of `itemsize` bytes in place so that record i becomes the old record
// order[i]; `order` must be a permutation of 0..count-1 (checked: DataError otherwise).
void permute_records(unsigned char *data, std::size_t itemsize, const std::size_t *order, std::size_t count);

}  // namespace norvane::kernels
