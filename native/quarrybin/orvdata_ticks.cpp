// OrvdataTicksLoader: one trading date of ticks from the data service, in the tick record layout.
// Two ways in: the client's raw column buffers, and its table interface; the first failure of
// the raw way moves the loader instance to the table for good.
#include <bit>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "common/names.hpp"
#include "common/pyclass.hpp"
#include "common/record_view.hpp"
#include "kernels/service_ticks.hpp"
#include "quarrybin/quarrybin.hpp"

namespace norvane::quarrybin {

using namespace nb::literals;

namespace {

const Name kNp{"np"}, kPd{"pd"}, kVarorize{"varorize"}, kSystemLog{"system_log"};
const Name kDateToNumber{"date_to_number"}, kTimeToNumber{"time_to_number"};

constexpr const char *kSwitchMessage =
    "The underlying layer of orvdatac has changed and the data will be obtained through api";

constexpr bool kLittle = std::endian::native == std::endian::little;

// A fresh zero-filled record array of the class's DTYPES and where each of its fields lives.
struct OutRecords {
    nb::object array;
    std::vector<kernels::TickTarget> fields;  // in record order
};

OutRecords new_records(nb::handle self, std::size_t n) {
    OutRecords out;
    out.array = G[kNp].attr("zeros")(n, "dtype"_a = self.attr("DTYPES"));
    RecordArrayView view = record_view(out.array, "tick records");
    nb::object names = view.dtype.attr("names");
    if (names.is_none())
        throw nb::value_error("DTYPES must describe a record type");
    nb::object fields = view.dtype.attr("fields");  // a mapping proxy, not a dict
    for (nb::handle name : names) {
        nb::tuple info = nb::borrow<nb::tuple>(fields[name]);
        std::string type = nb::cast<std::string>(info[0].attr("str"));
        kernels::TickTarget t;
        t.base = const_cast<unsigned char *>(view.data);  // our own fresh, writable array
        t.stride = view.stride;
        t.offset = nb::cast<std::size_t>(info[1]);
        std::size_t size;
        if (type == (kLittle ? "<u4" : ">u4")) {
            t.type = kernels::TickOut::U32;
            size = 4;
        } else if (type == (kLittle ? "<f8" : ">f8")) {
            t.type = kernels::TickOut::F64;
            size = 8;
        } else {
            std::string field = nb::cast<std::string>(nb::str(name));
            PyErr_Format(PyExc_ValueError, "tick field '%s' has type %s; the layout holds only <u4 and <f8",
                         field.c_str(), type.c_str());
            throw nb::python_error();
        }
        if (t.offset + size > view.itemsize)
            throw nb::value_error("a tick field lies outside its record");
        out.fields.push_back(t);
    }
    return out;
}

std::vector<std::string> field_names(nb::handle self, std::size_t expected) {
    std::vector<std::string> names;
    for (nb::handle name : self.attr("FIELD_NAMES"))
        names.push_back(nb::cast<std::string>(nb::str(name)));
    if (names.size() != expected)
        throw nb::value_error("FIELD_NAMES and DTYPES must name the same number of fields");
    return names;
}

// A 1-D numeric column as a kernel view; the array is kept alive in `owners`.
kernels::ColumnView column_of(nb::handle array, const char *name, std::vector<nb::object> &owners,
                              std::size_t &length) {
    RecordArrayView v = record_view(array, name);
    kernels::ColumnView c = plain_column(v, name);
    owners.push_back(v.owner);
    length = v.length;
    return c;
}

// A table column's values as a numeric numpy array: numeric columns as they are, anything else
// through a float conversion (which raises for values that are no numbers).
nb::object numeric_values(nb::handle values) {
    nb::object arr = G[kNp].attr("asarray")(values);
    std::string kind = nb::cast<std::string>(arr.attr("dtype").attr("kind"));
    if (kind != "b" && kind != "i" && kind != "u" && kind != "f")
        arr = arr.attr("astype")("float64");
    return arr;
}

// The columns of a 2-D numeric array as kernel views; the array is kept alive in
// `owners`.
std::vector<kernels::ColumnView> matrix_columns(nb::handle array, std::vector<nb::object> &owners) {
    nb::tuple shape = nb::borrow<nb::tuple>(array.attr("shape"));
    if (nb::len(shape) != 2)
        throw nb::value_error("the tick columns must form a 2-D table");
    const std::size_t rows = nb::cast<std::size_t>(shape[0]);
    const std::size_t count = nb::cast<std::size_t>(shape[1]);
    nb::tuple strides = nb::borrow<nb::tuple>(array.attr("strides"));
    const std::ptrdiff_t row_stride = nb::cast<std::ptrdiff_t>(strides[0]);
    const std::ptrdiff_t column_stride = nb::cast<std::ptrdiff_t>(strides[1]);
    nb::dict iface = nb::borrow<nb::dict>(array.attr("__array_interface__"));
    const auto *data = reinterpret_cast<const unsigned char *>(
        nb::cast<std::uintptr_t>(nb::borrow<nb::tuple>(iface["data"])[0]));
    if (rows > 0 && count > 0 && !data)
        throw nb::value_error("the tick table has no data buffer");
    kernels::ColumnView base = numeric_column(array.attr("dtype"), "tick values");
    owners.push_back(nb::borrow(array));
    std::vector<kernels::ColumnView> columns;
    for (std::size_t j = 0; j < count; ++j) {
        kernels::ColumnView c = base;
        c.data = data + static_cast<std::ptrdiff_t>(j) * column_stride;
        c.stride = row_stride;
        columns.push_back(c);
    }
    return columns;
}

nb::object init(nb::object /*self*/) {
    G[kSystemLog].attr("debug")("OrvdataTicksLoader initiated");
    return nb::none();
}

nb::object get_ticks_by_date(nb::object self, nb::object market_code, nb::object date) {
    try {
        return self.attr("get_data_by_client")(market_code, date);
    } catch (nb::python_error &e) {
        // An interrupt is the user's, not a sign that the client changed: let it through and
        // keep the client path.
        if (e.matches(PyExc_KeyboardInterrupt) || e.matches(PyExc_SystemExit))
            throw;
    }
    G[kSystemLog].attr("info")(kSwitchMessage);
    nb::object api = self.attr("get_ticks_by_api");
    nb::setattr(self, "get_ticks_by_date", api);
    return api(market_code, date);
}

nb::object get_data_by_client(nb::object self, nb::object market_code, nb::object date) {
    nb::object np = G[kNp];
    nb::object data =
        G[kVarorize].attr("get_price")("market_code"_a = market_code, "start_date"_a = date, "frequency"_a = "tick");
    if (nb::len(data) == 0)
        return nb::none();
    nb::object first = data[0];
    nb::object buffers = first[1];
    nb::object frombuffer = np.attr("frombuffer");

    std::vector<nb::object> owners;
    std::vector<kernels::ColumnView> columns;
    std::size_t n = 0;
    std::vector<std::string> names;
    for (nb::handle name : self.attr("FIELD_NAMES")) {
        names.push_back(nb::cast<std::string>(nb::str(name)));
        nb::object args = buffers[name];
        PyObject *tuple = PySequence_Tuple(args.ptr());
        if (!tuple)
            throw nb::python_error();
        nb::object column = nb::steal(PyObject_Call(frombuffer.ptr(), tuple, nullptr));
        Py_DECREF(tuple);
        if (!column.is_valid())
            throw nb::python_error();
        std::size_t length = 0;
        columns.push_back(column_of(column, names.back().c_str(), owners, length));
        // Columns of different lengths mean a changed raw layer: refuse rather than cut ticks off.
        if (columns.size() > 1 && length != n) {
            PyErr_Format(PyExc_ValueError, "tick column '%s' holds %zu values where '%s' holds %zu",
                         names.back().c_str(), length, names.front().c_str(), n);
            throw nb::python_error();
        }
        n = length;
    }
    OutRecords out = new_records(self, n);
    if (out.fields.size() != columns.size())
        throw nb::value_error("FIELD_NAMES and DTYPES must name the same number of fields");
    {
        // Safe without the GIL: the views point into arrays held in `owners` and into our own
        // new array; no Python object is touched.
        nb::gil_scoped_release release;
        kernels::copy_tick_columns(columns.data(), out.fields.data(), columns.size(), n);
    }
    return out.array;
}

// Where the table path reads the time stamps and the value columns from.
struct TableParts {
    nb::object orig_time;  // Series or Index of the time stamps
    nb::object values;     // 2-D numeric array
    std::vector<std::size_t> positions;  // column of `values` of each selected field, in order
    bool has_open_interest = false;
};

std::vector<std::string> value_names(const std::vector<std::string> &names, bool has_open_interest) {
    std::vector<std::string> selected;
    for (const std::string &name : names)
        if (name != "date" && name != "time" && (name != "open_interest" || has_open_interest))
            selected.push_back(name);
    return selected;
}

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0)
        throw nb::python_error();
    return r != 0;
}

bool numeric_kind(nb::handle array) {
    std::string kind = nb::cast<std::string>(array.attr("dtype").attr("kind"));
    return kind == "b" || kind == "i" || kind == "u" || kind == "f";
}

// The usual service table (named index levels that clash with no column, unique columns, numeric
// values, datetime64 stamps) is read in place: reset_index would only move its index levels into
// columns, so reading the levels and the columns directly gives the same values without copying
// the table. Anything else returns false and takes the literal steps, with their own errors.
bool read_in_place(nb::handle df, const std::vector<std::string> &names, TableParts &parts) {
    if (!nb::isinstance(df, G[kPd].attr("DataFrame")))
        return false;
    nb::object index = df.attr("index"), columns = df.attr("columns");
    if (!nb::cast<bool>(columns.attr("is_unique")))
        return false;
    nb::object levels = nb::steal(PySequence_List(index.attr("names").ptr()));
    if (!levels.is_valid())
        throw nb::python_error();
    nb::object level_set = nb::steal(PySet_New(levels.ptr()));
    if (!level_set.is_valid())
        throw nb::python_error();
    if (static_cast<std::size_t>(PySet_Size(level_set.ptr())) != nb::len(levels))
        return false;
    for (nb::handle level : levels)
        if (!PyUnicode_CheckExact(level.ptr()) || contains(columns, level))
            return false;
    nb::str orig_time("orig_time");
    if (contains(level_set, orig_time))
        parts.orig_time = index.attr("get_level_values")(orig_time);
    else if (contains(columns, orig_time))
        parts.orig_time = df[orig_time];
    else
        return false;
    if (nb::cast<std::string>(parts.orig_time.attr("dtype").attr("kind")) != "M")
        return false;
    for (const std::string &name : names)
        if (name != "date" && name != "time" && contains(level_set, nb::str(name.c_str())))
            return false;
    parts.has_open_interest = contains(columns, nb::str("open_interest"));
    nb::list selected;
    for (const std::string &name : value_names(names, parts.has_open_interest))
        selected.append(nb::str(name.c_str()));
    // Column positions by name (the columns are unique): a dict is far cheaper than get_indexer.
    nb::dict position_of;
    std::size_t position = 0;
    for (nb::handle column : columns)
        position_of[column] = nb::int_(position++);
    for (nb::handle name : selected) {
        PyObject *p = PyDict_GetItemWithError(position_of.ptr(), name.ptr());
        if (!p) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return false;  // a missing column: the literal steps raise pandas' KeyError
        }
        parts.positions.push_back(nb::cast<std::size_t>(nb::handle(p)));
    }
    parts.values = df.attr("to_numpy")();
    return numeric_kind(parts.values);
}

nb::object get_ticks_by_api(nb::object self, nb::object market_code, nb::object date) {
    nb::object np = G[kNp];
    nb::object df = G[kVarorize].attr("get_price")(market_code, date, date, "tick");
    if (df.is_none())
        return nb::none();
    std::vector<std::string> names = field_names(self, nb::len(nb::object(self.attr("DTYPES"))));

    TableParts parts;
    bool in_place = read_in_place(df, names, parts);
    if (!in_place) {
        parts = TableParts();
        df = df.attr("reset_index")();
        parts.orig_time = df.attr("orig_time");  // AttributeError when the table has no time stamps
    }

    std::vector<nb::object> owners;
    // Date and time numbers: natively from the datetime64 values when the column holds them,
    // otherwise per row through the numbering functions.
    bool native_stamps = false;
    kernels::StampUnit unit;
    kernels::ColumnView stamps, dates, times;
    std::size_t stamp_length = 0, date_length = 0, time_length = 0;
    nb::object orig_time = parts.orig_time;
    nb::object dtype = orig_time.attr("dtype");
    if (nb::cast<std::string>(dtype.attr("kind")) == "M") {
        nb::object wall = orig_time;
        nb::object tz = nb::getattr(dtype, "tz", nb::none());
        if (!tz.is_none()) {
            // Local wall-clock time, as .dt.date / .dt.time give it.
            nb::object target = in_place && !nb::isinstance(orig_time, G[kPd].attr("Series")) ? orig_time
                                                                                             : orig_time.attr("dt");
            wall = target.attr("tz_localize")(nb::none());
        }
        nb::object values = wall.attr("to_numpy")();
        if (nb::isinstance(values, np.attr("ndarray")) &&
            nb::cast<std::string>(values.attr("dtype").attr("kind")) == "M") {
            nb::tuple data = nb::borrow<nb::tuple>(np.attr("datetime_data")(values.attr("dtype")));
            std::string code = nb::cast<std::string>(data[0]);
            if (nb::cast<long long>(data[1]) == 1 && kernels::stamp_unit(code.c_str(), unit)) {
                stamps = column_of(values.attr("view")("i8"), "orig_time", owners, stamp_length);
                native_stamps = true;
            }
        }
    }
    if (!native_stamps) {
        if (in_place) {
            // Unusual stamps: take the literal steps after all.
            parts = TableParts();
            in_place = false;
            df = df.attr("reset_index")();
            orig_time = parts.orig_time = df.attr("orig_time");
        }
        nb::object dt = orig_time.attr("dt");
        nb::object d = dt.attr("date").attr("apply")(G[kDateToNumber]);
        nb::object t = dt.attr("time").attr("apply")(G[kTimeToNumber]);
        dates = column_of(numeric_values(d), "date", owners, date_length);
        times = column_of(numeric_values(t), "time", owners, time_length);
    }
    if (!in_place) {
        // The value columns in one selection (pandas raises KeyError naming any that is missing)
        // and one conversion to a 2-D array, whose common type is what the row tuples would hold.
        parts.has_open_interest = contains(df.attr("columns"), nb::str("open_interest"));
        nb::list selected;
        for (const std::string &name : value_names(names, parts.has_open_interest))
            selected.append(nb::str(name.c_str()));
        parts.values = numeric_values(df[selected].attr("to_numpy")());
        nb::tuple shape = nb::borrow<nb::tuple>(parts.values.attr("shape"));
        if (nb::len(shape) != 2 || nb::cast<std::size_t>(shape[1]) != nb::len(selected))
            throw nb::value_error("the tick columns do not form a table of the expected width (duplicate names?)");
        parts.positions.clear();
        for (std::size_t j = 0; j < nb::len(selected); ++j)
            parts.positions.push_back(j);
    }
    std::vector<kernels::ColumnView> value_columns = matrix_columns(parts.values, owners);
    for (std::size_t p : parts.positions)
        if (p >= value_columns.size())
            throw nb::value_error("a tick column lies outside the table");

    const std::size_t n = nb::len(df);
    OutRecords out = new_records(self, n);
    if (out.fields.size() != names.size())
        throw nb::value_error("FIELD_NAMES and DTYPES must name the same number of fields");
    if (nb::len(parts.values) != n)
        throw nb::value_error("the tick columns' length differs from the table's");
    std::vector<kernels::ColumnView> copy_columns;
    std::vector<kernels::TickTarget> copy_targets;
    const kernels::TickTarget *date_target = nullptr, *time_target = nullptr;
    std::size_t next_value = 0;
    for (std::size_t j = 0; j < names.size(); ++j) {
        const std::string &name = names[j];
        if (name == "date") {
            date_target = &out.fields[j];
            if (!native_stamps) {
                copy_columns.push_back(dates);
                copy_targets.push_back(out.fields[j]);
            }
        } else if (name == "time") {
            time_target = &out.fields[j];
            if (!native_stamps) {
                copy_columns.push_back(times);
                copy_targets.push_back(out.fields[j]);
            }
        } else if (name != "open_interest" || parts.has_open_interest) {
            if (next_value >= parts.positions.size())
                throw nb::value_error("the tick table lacks a selected column");
            copy_columns.push_back(value_columns[parts.positions[next_value++]]);
            copy_targets.push_back(out.fields[j]);
        }  // a missing open_interest stays 0.0
    }
    if ((native_stamps && stamp_length != n) || (!native_stamps && (date_length != n || time_length != n)))
        throw nb::value_error("orig_time's length differs from the table's");
    kernels::TickTarget scratch_date, scratch_time;
    std::vector<std::uint32_t> scratch;
    if (native_stamps && (!date_target || !time_target)) {
        // The layout lacks date or time: compute into scratch space so the stamps are still checked.
        scratch.resize(2 * n + 2);
        scratch_date = {reinterpret_cast<unsigned char *>(scratch.data()), 4, 0, kernels::TickOut::U32};
        scratch_time = {reinterpret_cast<unsigned char *>(scratch.data() + n + 1), 4, 0, kernels::TickOut::U32};
        if (!date_target)
            date_target = &scratch_date;
        if (!time_target)
            time_target = &scratch_time;
    }
    {
        // Safe without the GIL: every view points into arrays held in `owners`, into our own new
        // array or into local scratch space; no Python object is touched.
        nb::gil_scoped_release release;
        if (native_stamps)
            kernels::write_date_time(stamps, n, unit, *date_target, *time_target);
        kernels::copy_tick_columns(copy_columns.data(), copy_targets.data(), copy_columns.size(), n);
    }
    return out.array;
}

nb::list make_dtypes(int dish_count) {
    nb::list dtypes;
    auto add = [&](const std::string &name, const char *type) { dtypes.append(nb::make_tuple(name, type)); };
    add("date", "<u4");
    add("time", "<u4");
    for (const char *name : {"last_price", "high_price", "low_price", "volume", "open_interest", "total_turnover"})
        add(name, "<f8");
    for (int i = 1; i <= dish_count; ++i) {
        add("a" + std::to_string(i), "<f8");
        add("b" + std::to_string(i), "<f8");
    }
    for (int i = 1; i <= dish_count; ++i) {
        add("a" + std::to_string(i) + "_v", "<f8");
        add("b" + std::to_string(i) + "_v", "<f8");
    }
    return dtypes;
}

}  // namespace

void define_orvdata_ticks(nb::module_ m) {
    constexpr int kDishCount = 5;
    nb::list dtypes = make_dtypes(kDishCount);
    nb::list names;
    for (nb::handle pair : dtypes)
        names.append(nb::borrow<nb::tuple>(pair)[0]);
    PyClass(m, "OrvdataTicksLoader")
        .attr("DISH_COUNT", nb::int_(kDishCount))
        .attr("DTYPES", dtypes)
        .attr("FIELD_NAMES", names)
        .def("__init__", &init, arg("self"))
        .def("get_ticks_by_date", &get_ticks_by_date, arg("self"), arg("market_code"), arg("date"))
        .def("get_data_by_client", &get_data_by_client, arg("self"), arg("market_code"), arg("date"))
        .def("get_ticks_by_api", &get_ticks_by_api, arg("self"), arg("market_code"), arg("date"))
        .finish();
}

}  // namespace norvane::quarrybin
