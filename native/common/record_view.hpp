// Views of numpy (record) arrays for kernels: data pointer, length, stride and per-field layout,
// read from __array_interface__ and dtype.fields (the buffer protocol refuses datetime fields).
// Everything that protects memory is checked here, before a kernel reads a byte.
#pragma once

#include <optional>
#include <string>

#include <nanobind/nanobind.h>

#include "kernels/numeric_column.hpp"

namespace norvane {

namespace nb = nanobind;

struct RecordArrayView {
    nb::object owner;                      // keeps the array alive
    const unsigned char *data = nullptr;
    std::size_t length = 0;
    std::ptrdiff_t stride = 0;             // bytes between records
    std::size_t itemsize = 0;              // bytes of one record
    nb::object dtype;                      // the record dtype
};

// A 1-D numpy array (record or plain). TypeError for anything else.
RecordArrayView record_view(nb::handle array, const char *what);

// Describes a numeric dtype (bool, signed, unsigned, float of any size and byte order) as a
// column kind; ValueError naming `field` for anything else (text, object, datetime, complex).
kernels::ColumnView numeric_column(nb::handle field_dtype, const char *field);

// The column of field `name` of a record view, or nullopt when the record type has no such field.
// The field's offset and size are checked to lie inside the record.
std::optional<kernels::ColumnView> field_column(const RecordArrayView &view, const char *name);

// The whole array as one numeric column (a plain 1-D numeric array).
kernels::ColumnView plain_column(const RecordArrayView &view, const char *what);

}  // namespace norvane
