// H5TicksLoader: one trading date of an instrument's ticks from its HDF5 tick file, in the
// 28-field tick layout.
#include <string>
#include <vector>

#include <nanobind/stl/string.h>

#include "common/pyclass.hpp"
#include "common/record_view.hpp"
#include "kernels/tick_fields.hpp"
#include "kernels/tick_window_sort.hpp"
#include "quarrybin/quarrybin.hpp"
#include "quarrybin/with_block.hpp"

namespace norvane::quarrybin {

namespace {

using kernels::TickFieldCopy;

const Name kNp{"np"}, kOs{"os"}, kH5File{"h5_file"};
const Name kFields{"FIELDS"}, kDtypes{"DTYPES"};

// The trading-day window of the `time` field (HHMMSSmmm), both ends kept: 09:15:00.000 to
// 15:00:03.000.
constexpr std::int64_t kTickWindowStart = 91500000;
constexpr std::int64_t kTickWindowEnd = 150003000;

constexpr int kDishCount = 5;

[[noreturn]] void fail(PyObject *type, const std::string &message) {
    PyErr_SetString(type, message.c_str());
    throw nb::python_error();
}

// The layout's (name, type, scale) triples, in order.
nb::list tick_fields() {
    nb::list fields;
    auto add = [&](const std::string &name, const char *type) { fields.append(nb::make_tuple(name, type, 1)); };
    add("date", "<u4");
    add("time", "<u4");
    for (const char *name : {"last_price", "high_price", "low_price", "volume", "open_interest", "total_turnover"})
        add(name, "<f8");
    for (int i = 1; i <= kDishCount; ++i)
        for (const char *side : {"a", "b"})
            add(side + std::to_string(i), "<f8");
    for (int i = 1; i <= kDishCount; ++i)
        for (const char *side : {"a", "b"})
            add(side + std::to_string(i) + "_v", "<f8");
    return fields;
}

// float(scale) of a layout entry; false when that raises ValueError (text that is no number): the
// division then fails as a ValueError does, and the field stays zero.
bool scale_of(nb::handle scale, double &out) {
    PyObject *f = PyNumber_Float(scale.ptr());
    if (!f) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError))
            throw nb::python_error();
        PyErr_Clear();
        return false;
    }
    out = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return true;
}

// The dataset read is already in the result's record type, every field of which is loaded
// unscaled: then the result is that array itself, reordered in place (no second day-sized
// buffer). It must be a plain, contiguous, writable array owning its memory (fresh from h5py).
bool can_reorder_in_place(nb::handle np, nb::handle ticks, const RecordArrayView &src, nb::handle dtype,
                          nb::handle fields) {
    if (!ticks.type().is(np.attr("ndarray")))
        return false;
    nb::object flags = ticks.attr("flags");
    for (const char *flag : {"C_CONTIGUOUS", "WRITEABLE", "OWNDATA"})
        if (!nb::cast<bool>(nb::bool_(flags[flag])))
            return false;
    if (src.stride != static_cast<std::ptrdiff_t>(src.itemsize) || !src.dtype.equal(dtype))
        return false;
    nb::set unscaled;
    for (nb::handle entry : fields) {
        double scale;
        if (scale_of(nb::object(entry[nb::int_(2)]), scale) && scale == 1.0)
            unscaled.add(entry[nb::int_(0)]);
    }
    nb::object layout = dtype.attr("fields");
    for (nb::handle name : dtype.attr("names")) {
        if (!unscaled.contains(name))
            return false;
        // Only the layout's own types pass through unchanged (uint32 -> float64 -> uint32 is exact).
        nb::object type = layout[name][nb::int_(0)];
        const std::string kind = nb::cast<std::string>(type.attr("kind"));
        const std::size_t size = nb::cast<std::size_t>(type.attr("itemsize"));
        const bool has_subarray = !type.attr("shape").equal(nb::tuple());
        if (has_subarray || !((kind == "u" && size == 4) || (kind == "f" && size == 8)))
            return false;
    }
    return true;
}

// The ticks of the dataset read for a date: the trading-day window, the (date, time) order and
// the tick layout, with zero for fields the file lacks.
nb::object load_ticks(nb::handle self, nb::handle ticks) {
    RecordArrayView src = record_view(ticks, "ticks");
    std::optional<kernels::ColumnView> time = field_column(src, "time");
    if (!time)
        fail(PyExc_ValueError, "no field of name time");
    std::optional<kernels::ColumnView> date = field_column(src, "date");
    if (!date)
        fail(PyExc_ValueError, "unknown field name: date");

    std::vector<std::size_t> order;
    {
        // `ticks` was just read from the file and is seen by no other Python code.
        nb::gil_scoped_release release;
        order = kernels::tick_window_order(*date, *time, src.length, kTickWindowStart, kTickWindowEnd);
    }

    nb::object np = G[kNp];
    nb::object dtype = np.attr("dtype")(self.attr(kDtypes.text()));
    nb::object fields = self.attr(kFields.text());
    if (order.size() == src.length && can_reorder_in_place(np, ticks, src, dtype, fields)) {
        bool moved = false;
        for (std::size_t i = 0; i < order.size() && !moved; ++i)
            moved = order[i] != i;
        if (moved) {
            // `ticks` is a fresh array of this call that nothing else references.
            nb::gil_scoped_release release;
            kernels::permute_records(const_cast<unsigned char *>(src.data), src.itemsize, order.data(), order.size());
        }
        return nb::borrow(ticks);
    }

    nb::object result = np.attr("zeros")(order.size(), nb::arg("dtype") = dtype);
    RecordArrayView dst = record_view(result, "tick result");
    if (dst.length != order.size())
        fail(PyExc_ValueError, "tick result has the wrong length");
    nb::object dst_fields = dst.dtype.attr("fields");
    if (dst_fields.is_none())
        fail(PyExc_TypeError, "DTYPES must describe a record type");

    std::vector<TickFieldCopy> copies;
    for (nb::handle entry : fields) {
        nb::object name = entry[nb::int_(0)];
        const std::string text = nb::cast<std::string>(nb::str(name));
        double scale;
        if (!scale_of(nb::object(entry[nb::int_(2)]), scale))
            continue;
        std::optional<kernels::ColumnView> in = field_column(src, text.c_str());  // ValueError: not a number
        nb::object out = dst_fields.attr("get")(name);  // a read-only mapping, not a dict
        if (!in || out.is_none())
            continue;  // a field the file lacks stays zero
        nb::tuple out_info = nb::borrow<nb::tuple>(out);
        kernels::ColumnView want = numeric_column(out_info[0], text.c_str());
        TickFieldCopy c;
        if (want.kind == kernels::NumKind::Float && want.itemsize == 8)
            c.dst = TickFieldCopy::Dst::Float64;
        else if (want.kind == kernels::NumKind::UInt && want.itemsize == 4)
            c.dst = TickFieldCopy::Dst::UInt32;
        else
            fail(PyExc_TypeError, "tick field '" + text + "' must be stored as uint32 or float64");
        c.dst_swap = want.swap;
        c.dst_offset = nb::cast<std::size_t>(out_info[1]);
        if (c.dst_offset + static_cast<std::size_t>(want.itemsize) > dst.itemsize)
            fail(PyExc_ValueError, "tick field '" + text + "' lies outside its record");
        c.src = *in;
        c.scale = scale;
        copies.push_back(c);
    }
    for (std::size_t row : order)
        if (row >= src.length)
            fail(PyExc_IndexError, "tick row out of range");
    {
        // Both arrays are local to this call; no Python code can see or resize them meanwhile.
        nb::gil_scoped_release release;
        kernels::fill_tick_fields(const_cast<unsigned char *>(dst.data), dst.stride, order.data(), order.size(),
                                  copies.data(), copies.size());
    }
    return result;
}

nb::object get_ticks_by_date(nb::object self, nb::object market_code, nb::object date) {
    nb::object path = self.attr("_get_h5_file_path")(market_code);
    return with_block(G[kH5File](path), [&](nb::handle h5) -> nb::object {
        nb::object ticks;
        try {
            ticks = h5[nb::str(date)][nb::tuple()];
        } catch (nb::python_error &e) {
            if (e.matches(PyExc_KeyError))
                return nb::none();  // no dataset for the date
            throw;
        }
        return load_ticks(self, ticks);
    });
}

}  // namespace

void define_h5_ticks(nb::module_ m) {
    nb::list fields = tick_fields();
    nb::list dtypes, columns;
    for (nb::handle f : fields) {
        dtypes.append(nb::make_tuple(f[nb::int_(0)], f[nb::int_(1)]));
        columns.append(f[nb::int_(0)]);
    }
    PyClass(m, "H5TicksLoader")
        .attr("DISH_COUNT", nb::int_(kDishCount))
        .attr("FIELDS", fields)
        .attr("DTYPES", dtypes)
        .attr("COLUMNS", columns)
        .def(
            "__init__", [](nb::object self, nb::object h5_tick_path) { self.attr("_path") = h5_tick_path; },
            arg("self"), arg("h5_tick_path"))
        .def_memo(
            "_get_h5_file_path", nb::int_(1024),
            [](nb::object self, nb::object market_code) -> nb::object {
                nb::object os = G[kOs];
                nb::object directory = self.attr("_path");
                for (const char *suffix : {".h5", "-sample.h5"}) {
                    nb::object path = os.attr("path").attr("join")(directory, market_code + nb::str(suffix));
                    if (nb::cast<bool>(nb::bool_(os.attr("path").attr("exists")(path))))
                        return path;
                }
                PyErr_SetObject(PyExc_RuntimeError, nb::str("Missing data for {}.").format(market_code).ptr());
                throw nb::python_error();
            },
            arg("self"), arg("market_code"))
        .def_memo("get_ticks_by_date", nb::int_(1024), &get_ticks_by_date, arg("self"), arg("market_code"),
                  arg("date"))
        .finish();
}

}  // namespace norvane::quarrybin
