#include "common/record_view.hpp"

#include <bit>

#include <nanobind/stl/string.h>  // nb::cast<std::string>

namespace norvane {

RecordArrayView record_view(nb::handle array, const char *what) {
    nb::object np_ndarray = nb::module_::import_("numpy").attr("ndarray");
    if (!nb::isinstance(array, np_ndarray)) {
        PyErr_Format(PyExc_TypeError, "%s must be a numpy array, got %.200s", what, Py_TYPE(array.ptr())->tp_name);
        throw nb::python_error();
    }
    RecordArrayView v;
    v.owner = nb::borrow(array);
    nb::tuple shape = nb::borrow<nb::tuple>(array.attr("shape"));
    if (nb::len(shape) != 1) {
        PyErr_Format(PyExc_ValueError, "%s must be one-dimensional", what);
        throw nb::python_error();
    }
    v.length = nb::cast<std::size_t>(shape[0]);
    v.stride = nb::cast<std::ptrdiff_t>(nb::borrow<nb::tuple>(array.attr("strides"))[0]);
    v.dtype = array.attr("dtype");
    v.itemsize = nb::cast<std::size_t>(v.dtype.attr("itemsize"));
    // The data pointer from the buffer of a same-size void view: cheap, and it works for every
    // record type (a datetime field makes the array's own buffer export fail), whereas
    // __array_interface__ builds its descr list in Python (~20 us for a record type).
    bool have_data = false;
    nb::object view;
    if (v.itemsize > 0) {
        nb::object np = nb::module_::import_("numpy");
        try {
            view = array.attr("view")(np.attr("dtype")(nb::make_tuple(np.attr("void"), v.itemsize)));
        } catch (nb::python_error &e) {
            // Records holding Python objects (HDF5 variable-length strings) refuse a byte view;
            // their numeric fields are still read in place, through the interface below.
            if (!e.matches(PyExc_TypeError))
                throw;
        }
    }
    if (view.is_valid()) {
        Py_buffer buf;
        if (PyObject_GetBuffer(view.ptr(), &buf, PyBUF_STRIDES) == 0) {
            v.data = static_cast<const unsigned char *>(buf.buf);  // owned by the array, kept in `owner`
            have_data = true;
            PyBuffer_Release(&buf);
        } else {
            PyErr_Clear();
        }
    }
    if (!have_data) {
        nb::dict iface = nb::borrow<nb::dict>(array.attr("__array_interface__"));
        v.data = reinterpret_cast<const unsigned char *>(
            nb::cast<std::uintptr_t>(nb::borrow<nb::tuple>(iface["data"])[0]));
    }
    if (v.length > 0 && !v.data) {
        PyErr_Format(PyExc_ValueError, "%s has no data buffer", what);
        throw nb::python_error();
    }
    return v;
}

kernels::ColumnView numeric_column(nb::handle field_dtype, const char *field) {
    using kernels::NumKind;
    std::string kind = nb::cast<std::string>(field_dtype.attr("kind"));
    int itemsize = nb::cast<int>(field_dtype.attr("itemsize"));
    std::string order = nb::cast<std::string>(field_dtype.attr("byteorder"));
    bool has_subarray = !field_dtype.attr("shape").equal(nb::tuple());
    kernels::ColumnView c;
    c.itemsize = itemsize;
    bool ok = !has_subarray;
    if (kind == "b" && itemsize == 1)
        c.kind = NumKind::Bool;
    else if (kind == "i" && (itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8))
        c.kind = NumKind::Int;
    else if (kind == "u" && (itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8))
        c.kind = NumKind::UInt;
    else if (kind == "f" && (itemsize == 2 || itemsize == 4 || itemsize == 8))
        c.kind = NumKind::Float;
    else if (kind == "f" && itemsize == static_cast<int>(sizeof(long double)) && order != ">" && order != "<")
        c.kind = NumKind::Float;  // native long double only
    else
        ok = false;
    if (!ok) {
        std::string repr = nb::cast<std::string>(nb::str(field_dtype));
        PyErr_Format(PyExc_ValueError, "field '%s' has non-numeric type %s where a number is needed", field,
                     repr.c_str());
        throw nb::python_error();
    }
    constexpr bool little = std::endian::native == std::endian::little;
    c.swap = itemsize > 1 && ((order == ">" && little) || (order == "<" && !little));
    return c;
}

std::optional<kernels::ColumnView> field_column(const RecordArrayView &view, const char *name) {
    nb::object fields = view.dtype.attr("fields");
    if (fields.is_none())
        return std::nullopt;
    // dtype.fields is a read-only mapping proxy, not a dict: use the mapping protocol.
    nb::object info_obj = fields.attr("get")(nb::str(name));
    if (info_obj.is_none())
        return std::nullopt;
    nb::tuple info = nb::borrow<nb::tuple>(info_obj);
    kernels::ColumnView c = numeric_column(info[0], name);
    std::size_t offset = nb::cast<std::size_t>(info[1]);
    if (offset + static_cast<std::size_t>(c.itemsize) > view.itemsize) {
        PyErr_Format(PyExc_ValueError, "field '%s' lies outside its record", name);
        throw nb::python_error();
    }
    c.data = view.data + offset;
    c.stride = view.stride;
    return c;
}

kernels::ColumnView plain_column(const RecordArrayView &view, const char *what) {
    kernels::ColumnView c = numeric_column(view.dtype, what);
    c.data = view.data;
    c.stride = view.stride;
    return c;
}

}  // namespace norvane
