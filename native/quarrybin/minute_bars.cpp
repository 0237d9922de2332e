// AbstractMinBarStore and H5MinBarStore: one trading date of an instrument's minute bars.
#include <string>
#include <vector>

#include <nanobind/stl/string.h>

#include "common/pyclass.hpp"
#include "common/record_view.hpp"
#include "kernels/minute_bars.hpp"
#include "quarrybin/quarrybin.hpp"
#include "quarrybin/with_block.hpp"

namespace norvane::quarrybin {

namespace {

using kernels::BarFieldCopy;
using namespace nb::literals;

const Name kNp{"np"}, kOs{"os"}, kH5File{"h5_file"}, kUtils{"utils"};

// The date number an instrument without data reports as its first and last date.
constexpr long kNoDataDate = 19800101;

[[noreturn]] void not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw nb::python_error();
}

[[noreturn]] void fail(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

bool truthy(nb::handle v) {
    int t = PyObject_IsTrue(v.ptr());
    if (t < 0)
        throw nb::python_error();
    return t != 0;
}

// A field of a record view whatever its type: dtype and byte offset, checked to lie inside
// the record. nullopt when the record type has no such field.
struct RawField {
    nb::object dtype;
    std::size_t offset;
    std::size_t itemsize;
};

std::optional<RawField> raw_field(const RecordArrayView &view, nb::handle name) {
    nb::object fields = view.dtype.attr("fields");
    if (fields.is_none())
        return std::nullopt;
    nb::object info = fields.attr("get")(name);  // dtype.fields is a read-only mapping, not a dict
    if (info.is_none())
        return std::nullopt;
    nb::tuple t = nb::borrow<nb::tuple>(info);
    RawField f{t[0], nb::cast<std::size_t>(t[1]), 0};
    f.itemsize = nb::cast<std::size_t>(f.dtype.attr("itemsize"));
    if (f.offset + f.itemsize > view.itemsize)
        fail(PyExc_ValueError, "field '" + nb::cast<std::string>(nb::str(name)) + "' lies outside its record");
    return f;
}

// The result records of the rows read for one date: the limit prices first, the named fields
// (every field of the file when none are named) converted to their result types.
nb::object build_minute_bars(nb::handle rows, nb::object fields) {
    nb::object np = G[kNp];
    nb::object f64 = np.attr("float64"), u64 = np.attr("uint64");
    nb::object rows_dtype = rows.attr("dtype");
    if (!truthy(fields))
        fields = rows_dtype.attr("names");
    nb::list names = nb::steal<nb::list>(PySequence_List(fields.ptr()));
    if (!names.is_valid())
        throw nb::python_error();

    // The record type: the two limit prices first, then each named field.
    const nb::str high("high_limited"), low("low_limited"), orig_time("orig_time"), volume("volume");
    nb::list pairs;
    pairs.append(nb::make_tuple(high, f64));
    pairs.append(nb::make_tuple(low, f64));
    for (nb::handle name : names) {
        if (name.equal(orig_time))
            pairs.append(nb::make_tuple(name, u64));
        else if (name.equal(volume))
            pairs.append(nb::make_tuple(name, f64));
        else if (name.equal(high) || name.equal(low))
            continue;
        else
            pairs.append(nb::make_tuple(name, rows_dtype[name]));  // KeyError for a field the file lacks
    }
    nb::object dtype = np.attr("dtype")(pairs);
    const Py_ssize_t n = PyObject_Length(rows.ptr());
    if (n < 0)
        throw nb::python_error();
    nb::object result = np.attr("empty")("shape"_a = nb::make_tuple(n), "dtype"_a = dtype);

    RecordArrayView src = record_view(rows, "minute bars");
    RecordArrayView dst = record_view(result, "minute-bar result");
    if (src.length != static_cast<std::size_t>(n) || dst.length != static_cast<std::size_t>(n))
        fail(PyExc_ValueError, "minute bars changed length while being read");

    // One copy per named field, in order (the first missing field is the error raised); the limit
    // prices get NaN unless named.
    std::vector<BarFieldCopy> copies;
    std::vector<nb::object> object_fields;  // fields holding Python objects: copied by numpy
    bool named_high = false, named_low = false;
    for (nb::handle name : names) {
        if (!PyUnicode_Check(name.ptr()))
            fail(PyExc_TypeError, "field names must be str");
        const bool is_high = name.equal(high), is_low = name.equal(low);
        named_high |= is_high;
        named_low |= is_low;
        const std::string text = nb::cast<std::string>(name);
        std::optional<RawField> in = raw_field(src, name);
        if (!in)
            fail(PyExc_ValueError, "no field of name " + text);
        std::optional<RawField> out = raw_field(dst, name);
        if (!out)
            fail(PyExc_ValueError, "no field of name " + text);
        BarFieldCopy c;
        c.dst_offset = out->offset;
        if (in->dtype.equal(out->dtype)) {
            if (truthy(in->dtype.attr("hasobject"))) {
                object_fields.push_back(nb::borrow(name));
                continue;
            }
            if (in->itemsize != out->itemsize)
                fail(PyExc_ValueError, "field '" + text + "' changed size");
            c.op = BarFieldCopy::Op::Bytes;
            c.src.data = src.data + in->offset;
            c.src.stride = src.stride;
            c.src.itemsize = static_cast<int>(in->itemsize);
        } else {
            // The converted fields are float64 or uint64 (the only types the record type changes).
            kernels::ColumnView want = numeric_column(out->dtype, text.c_str());
            if (want.swap || want.itemsize != 8 || (want.kind != kernels::NumKind::Float && want.kind != kernels::NumKind::UInt))
                fail(PyExc_ValueError, "field '" + text + "' has an unexpected result type");
            c.op = want.kind == kernels::NumKind::Float ? BarFieldCopy::Op::ToFloat64 : BarFieldCopy::Op::ToUInt64;
            c.src = numeric_column(in->dtype, text.c_str());  // ValueError for a non-numeric field
            c.src.data = src.data + in->offset;
            c.src.stride = src.stride;
        }
        copies.push_back(c);
    }
    for (auto [limit, named] : {std::pair{&high, named_high}, std::pair{&low, named_low}}) {
        if (named)
            continue;
        // Not asked for: a defined NaN rather than whatever memory np.empty handed out.
        std::optional<RawField> out = raw_field(dst, *limit);
        if (!out || out->itemsize != sizeof(double))
            fail(PyExc_ValueError, "minute-bar result lacks its limit prices");
        BarFieldCopy c;
        c.op = BarFieldCopy::Op::FillNaN;
        c.dst_offset = out->offset;
        copies.push_back(c);
    }
    {
        // Both arrays are local to this call (rows fresh from the file, result just created):
        // no Python code can see or resize them while the GIL is released.
        nb::gil_scoped_release release;
        kernels::fill_minute_bars(const_cast<unsigned char *>(dst.data), dst.stride, dst.length, copies.data(),
                                  copies.size());
    }
    for (const nb::object &name : object_fields)
        result[name] = rows[name];

    const Py_ssize_t count = PyObject_Length(fields.ptr());
    if (count < 0)
        throw nb::python_error();
    if (count == 1)
        return result[fields[nb::int_(0)]];
    return result;
}

nb::object get_minute_bar(nb::object self, nb::object market_code, nb::object date, nb::object fields) {
    nb::object index;
    try {
        index = self.attr("_get_index")(market_code);
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_RuntimeError))
            return nb::none();  // no file for the instrument
        throw;
    }
    if (index.is_none())
        return nb::none();
    nb::object dates = index[nb::str("date")];
    nb::object pos = dates.attr("searchsorted")(date);
    const Py_ssize_t n = PyObject_Length(index.ptr());
    if (n < 0)
        throw nb::python_error();
    if (pos.equal(nb::int_(n)) || dates[pos].not_equal(date))
        return nb::none();
    nb::object line_no = index[nb::str("line_no")];
    nb::object left = nb::steal(PyNumber_Index(nb::object(line_no[pos]).ptr()));  // a plain int for h5py
    if (!left.is_valid())
        throw nb::python_error();

    nb::object path = self.attr("_get_h5_file_path")(market_code);
    return with_block(G[kH5File](path), [&](nb::handle h5) -> nb::object {
        nb::object data = h5[nb::str("data")];
        nb::object right;
        try {
            right = line_no[pos + nb::int_(1)];
            right = nb::steal(PyNumber_Index(right.ptr()));
            if (!right.is_valid())
                throw nb::python_error();
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_IndexError))
                throw;
            right = nb::int_(PyObject_Length(data.ptr()));  // the last date runs to the end of data
            if (PyErr_Occurred())
                throw nb::python_error();
        }
        nb::object rows = data[nb::slice(left, right, nb::none())];
        return build_minute_bars(rows, fields);
    });
}

nb::object get_date_range(nb::object self, nb::object market_code) {
    try {
        nb::object path = self.attr("_get_h5_file_path")(market_code);
        return with_block(G[kH5File](path), [&](nb::handle h5) -> nb::object {
            nb::object data = h5[nb::str("data")];
            const Py_ssize_t n = PyObject_Length(data.ptr());
            if (n < 0)
                throw nb::python_error();
            if (n == 0)
                fail(PyExc_IndexError, "index 0 is out of bounds for axis 0 with size 0");
            // Only the first and the last bar are read (the rows are in time order), in one read.
            nb::list rows;
            rows.append(0);
            if (n > 1)
                rows.append(n - 1);
            nb::object ends = data[rows];
            RecordArrayView view = record_view(ends, "minute bars");
            std::optional<kernels::ColumnView> col = field_column(view, "datetime");
            if (!col)
                fail(PyExc_ValueError, "no field of name datetime");
            if (view.length != (n == 1 ? 1u : 2u))
                fail(PyExc_ValueError, "minute bars changed length while being read");
            const double first = kernels::bar_time_to_date(kernels::read_scalar(*col, 0));
            const double last = kernels::bar_time_to_date(kernels::read_scalar(*col, view.length - 1));
            // int() of the truncated quotient: ValueError for NaN, OverflowError for infinity.
            return nb::make_tuple(nb::steal(PyLong_FromDouble(first)), nb::steal(PyLong_FromDouble(last)));
        });
    } catch (nb::python_error &e) {
        if (e.matches(PyExc_RuntimeError))
            return nb::make_tuple(kNoDataDate, kNoDataDate);
        throw;
    }
}

nb::object get_empty_cached(nb::object self, nb::object fields, nb::object instrument_type) {
    nb::object np = G[kNp];
    nb::object dtypes = self.attr("_dtypes_map")[instrument_type];
    nb::object dtype;
    if (!truthy(fields)) {
        dtype = dtypes.attr("dtype");
    } else {
        nb::object f64 = np.attr("float64");
        const nb::str datetime("datetime"), volume("volume"), high("high_limited"), low("low_limited");
        nb::list pairs;
        for (nb::handle name : fields) {
            if (name.equal(datetime))
                pairs.append(nb::make_tuple(name, np.attr("uint64")));
            else if (name.equal(volume) || name.equal(high) || name.equal(low))
                pairs.append(nb::make_tuple(name, f64));
            else {
                try {
                    pairs.append(nb::make_tuple(name, dtypes[name]));
                } catch (nb::python_error &e) {
                    if (e.matches(PyExc_KeyError))
                        return nb::none();  // a field the instrument type does not have
                    throw;
                }
            }
        }
        dtype = np.attr("dtype")(pairs);
    }
    return np.attr("empty")(0, "dtype"_a = dtype);
}

}  // namespace

void define_minute_bars(nb::module_ m) {
    nb::object abstract =
        PyClass(m, "AbstractMinBarStore")
            .def("get_minute_bar", [](nb::object, nb::object, nb::object, nb::object) { not_implemented(); },
                 arg("self"), arg("market_code"), arg("date"), arg("fields"))
            .def("get_date_range", [](nb::object, nb::object) { not_implemented(); },
                 arg("self"), arg("market_code"))
            .def("get_empty", [](nb::object, nb::object, nb::object) { not_implemented(); },
                 arg("self"), arg("fields"), arg("instrument_type"))
            .finish();

    // The default map is the one bound when the module is imported.
    nb::object default_dtypes_map = G[kUtils].attr("DTYPE_MAP");
    PyClass(m, "H5MinBarStore", nb::make_tuple(abstract))
        .def(
            "__init__",
            [](nb::object self, nb::object directory, nb::object dtypes_map) {
                self.attr("_directory") = directory;
                self.attr("_dtypes_map") = dtypes_map;
                nb::dict file_map;
                self.attr("_file_map") = file_map;
                // Walked once: top-down, links to directories not followed; a later file of the
                // same name replaces an earlier one.
                nb::object os = G[kOs];
                nb::object join = os.attr("path").attr("join");
                for (nb::handle entry : os.attr("walk")(directory)) {
                    nb::object root = entry[nb::int_(0)];
                    for (nb::handle name : entry[nb::int_(2)])
                        file_map[name] = join(root, name);
                }
            },
            arg("self"), arg("directory"), arg("dtypes_map") = default_dtypes_map)
        .def_memo(
            "_get_h5_file_path", nb::int_(1024),
            [](nb::object self, nb::object market_code) -> nb::object {
                nb::object file_map = self.attr("_file_map");
                for (const char *suffix : {".h5", "-sample.h5"}) {
                    nb::object path = file_map.attr("get")(market_code + nb::str(suffix));
                    if (PyUnicode_Check(path.ptr()) && PyUnicode_GetLength(path.ptr()) > 0)
                        return path;
                }
                PyErr_SetObject(PyExc_RuntimeError, nb::str("Missing data for {}.").format(market_code).ptr());
                throw nb::python_error();
            },
            arg("self"), arg("market_code"))
        .def_memo(
            "_get_index", nb::none(),
            [](nb::object self, nb::object market_code) -> nb::object {
                nb::object path = self.attr("_get_h5_file_path")(market_code);
                return with_block(G[kH5File](path), [](nb::handle h5) -> nb::object {
                    try {
                        return h5[nb::str("index")][nb::tuple()];
                    } catch (nb::python_error &e) {
                        if (e.matches(PyExc_KeyError))
                            return nb::none();  // a file without an index
                        throw;
                    }
                });
            },
            arg("self"), arg("market_code"))
        .def("get_minute_bar", &get_minute_bar, arg("self"), arg("market_code"), arg("date"), arg("fields"))
        .def("get_date_range", &get_date_range, arg("self"), arg("market_code"))
        .def(
            "get_empty",
            [](nb::object self, nb::object fields, nb::object instrument_type) {
                nb::object key = nb::steal(PySequence_Tuple(fields.ptr()));
                if (!key.is_valid())
                    throw nb::python_error();
                return self.attr("_get_empty")(key, instrument_type);
            },
            arg("self"), arg("fields"), arg("instrument_type"))
        .def_memo("_get_empty", nb::none(), &get_empty_cached, arg("self"), arg("fields"), arg("instrument_type"))
        .finish();
}

}  // namespace norvane::quarrybin
