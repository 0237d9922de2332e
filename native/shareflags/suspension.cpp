// Suspension and ST status: day flags over the trading calendar, the ST flag of one day, and
// suspended days per code.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>
// After Python.h (nanobind includes it): the datetime C API.
#include <datetime.h>

#include "common/record_view.hpp"
#include "kernels/day_flags.hpp"
#include "shareflags/shareflags.hpp"

namespace norvane::shareflags {

namespace {

using namespace nb::literals;
namespace k = kernels;

const Name kIsStStock{"is_st_stock"};

nb::object steal_or_throw(PyObject *o) {
    if (!o)
        throw nb::python_error();
    return nb::steal(o);
}

// Step 6 exactly as pandas does it one value at a time: each flagged value, as its midnight,
// set through `loc` (adding a missing day as a new row). Kept for inputs the vectorised path
// does not model (time zones, unusual index types): the result must be the same either way.
nb::object flag_rows_one_by_one(nb::object frame, nb::handle values, nb::handle code) {
    nb::object pd = G[kPd];
    nb::object loc = frame.attr("loc");
    nb::object items = values.attr("items")();
    for (nb::handle item : items) {
        // `for _, value in items`: any item that is not a pair fails as that unpacking does (a
        // payload is not always pandas'; an unchecked tuple read would run off the object).
        nb::object value = unpack2(item).second;
        nb::object day = pd.attr("to_datetime")(value, "unit"_a = "ns").attr("normalize")();
        loc[nb::make_tuple(day, code)] = nb::bool_(true);
    }
    return frame;
}

// Nanoseconds of one unit of a datetime64 dtype ("s", "ms", "us", "ns"), 0 for anything else.
std::int64_t unit_ns(nb::handle np_dtype) {
    nb::object info = nb::module_::import_("numpy").attr("datetime_data")(np_dtype);
    std::string unit = nb::cast<std::string>(info[0]);
    if (nb::cast<long long>(info[1]) != 1)
        return 0;
    if (unit == "s") return 1000000000;
    if (unit == "ms") return 1000000;
    if (unit == "us") return 1000;
    if (unit == "ns") return 1;
    return 0;
}

enum class Conv { Ok, AskPandas, OneByOne };

// A naive timestamp / datetime / date object as its nanosecond midnight.
Conv civil_object(PyObject *v, std::int64_t &ns) {
    if (PyDateTime_Check(v)) {
        if (PyDateTime_DATE_GET_TZINFO(v) != Py_None)
            return Conv::OneByOne;  // an aware key against a naive calendar: leave it to pandas
    } else if (!PyDate_Check(v)) {
        return Conv::AskPandas;
    }
    std::int64_t days;
    const int field_year = PyDateTime_GET_YEAR(v);
    if (!PyDateTime_CheckExact(v) && !PyDate_CheckExact(v) && (field_year == 1970 || field_year == 1972)) {
        // A subclass may keep its date elsewhere: a pandas Timestamp outside the years 1..9999
        // stores the stand-in year 1970 or 1972 in the datetime fields. Ask it as Python would.
        int parts[3];
        const char *names[3] = {"year", "month", "day"};
        for (int i = 0; i < 3; ++i) {
            nb::object part = steal_or_throw(PyObject_GetAttrString(v, names[i]));
            if (!PyLong_Check(part.ptr()))
                return Conv::OneByOne;
            int overflow = 0;
            const long x = PyLong_AsLongAndOverflow(part.ptr(), &overflow);
            if (overflow || x < -100000000 || x > 100000000)
                return Conv::OneByOne;
            parts[i] = static_cast<int>(x);
        }
        if (!k::civil_to_days(parts[0], parts[1], parts[2], days) || !k::day_to_ns(days, ns))
            return Conv::OneByOne;
        return Conv::Ok;
    }
    if (!k::civil_to_days(PyDateTime_GET_YEAR(v), PyDateTime_GET_MONTH(v), PyDateTime_GET_DAY(v), days) ||
        !k::day_to_ns(days, ns))
        return Conv::OneByOne;
    return Conv::Ok;
}

// One value of an object column, as `pd.to_datetime(v, unit="ns").normalize()` reads it.
Conv object_value(PyObject *v, PyObject *nat, std::int64_t &ns) {
    if (v == nat)
        return Conv::AskPandas;
    if (PyBool_Check(v))
        return Conv::AskPandas;
    if (PyLong_Check(v)) {
        int overflow = 0;
        long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (x == -1 && PyErr_Occurred())
            throw nb::python_error();
        return (!overflow && k::normalise_ns(x, ns)) ? Conv::Ok : Conv::AskPandas;
    }
    if (PyFloat_Check(v)) {
        double f = PyFloat_AS_DOUBLE(v);
        if (std::isfinite(f) && f == std::trunc(f) && std::fabs(f) < 9.2e18 &&
            k::normalise_ns(static_cast<std::int64_t>(f), ns))
            return Conv::Ok;
        return Conv::AskPandas;
    }
    if (PyUnicode_Check(v)) {
        Py_ssize_t len = 0;
        const char *s = PyUnicode_AsUTF8AndSize(v, &len);
        if (!s)
            throw nb::python_error();
        return k::parse_iso_day(s, static_cast<std::size_t>(len), ns) ? Conv::Ok : Conv::AskPandas;
    }
    if (PyDate_Check(v))
        return civil_object(v, ns);
    return Conv::AskPandas;
}

// The midnight of one value as pandas gives it, for values the fast readers leave alone; its
// errors are the caller's (the same value raises the same error one value at a time).
Conv ask_pandas(nb::handle value, PyObject *nat, std::int64_t &ns) {
    nb::object day = G[kPd].attr("to_datetime")(value, "unit"_a = "ns").attr("normalize")();
    if (day.ptr() == nat) {
        ns = k::kNaT;
        return Conv::Ok;
    }
    return civil_object(day.ptr(), ns);
}

// The flagged values as nanosecond midnights, in row order; false when some value needs the
// one-by-one path.
bool flagged_midnights(nb::handle values, std::vector<std::int64_t> &keys) {
    nb::object pd = G[kPd];
    nb::object np = nb::module_::import_("numpy");
    PyObject *nat = pd.attr("NaT").ptr();
    nb::object dtype = values.attr("dtype");
    const bool numpy_dtype = nb::isinstance(dtype, np.attr("dtype"));
    std::string kind = numpy_dtype ? nb::cast<std::string>(dtype.attr("kind")) : std::string();

    if (kind == "i" || kind == "u" || kind == "f" || kind == "M") {
        std::int64_t unit = 0;
        // A plain ndarray of what `to_numpy` gives: the view below reads the array's own shape,
        // strides and dtype, which an ndarray subclass could report otherwise.
        nb::object array = np.attr("asarray")(values.attr("to_numpy")());
        if (kind == "M") {
            unit = unit_ns(dtype);
            if (!unit)
                return false;
            array = array.attr("view")("i8");
        }
        RecordArrayView view = record_view(array, "flagged values");
        kernels::ColumnView column = plain_column(view, "flagged values");
        const std::size_t n = view.length;
        keys.resize(n);
        std::vector<std::uint8_t> ok(n);
        {
            // Reads the array the view keeps alive and writes C++ vectors only.
            nb::gil_scoped_release release;
            k::normalise_column(column, n, unit, keys.data(), ok.data());
        }
        nb::object items;  // the values as Python scalars (as `items()` yields them), made on demand
        for (std::size_t i = 0; i < n; ++i) {
            if (ok[i])
                continue;
            if (!items.is_valid())
                items = values.attr("tolist")();
            if (ask_pandas(items[nb::int_(i)], nat, keys[i]) != Conv::Ok)
                return false;
        }
        return true;
    }
    if (kind == "b" || kind == "m" || (!numpy_dtype && nb::hasattr(dtype, "tz")))
        return false;  // booleans, durations and zoned datetimes: pandas' own path

    nb::object list = values.attr("tolist")();
    if (!PyList_Check(list.ptr()))
        return false;
    // A tuple of our own: converting a value runs Python code, which must not be able to shrink
    // the sequence or free a value while it is read.
    nb::object row = steal_or_throw(PySequence_Tuple(list.ptr()));
    const Py_ssize_t n = PyTuple_GET_SIZE(row.ptr());
    keys.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *v = PyTuple_GET_ITEM(row.ptr(), i);
        Conv c = object_value(v, nat, keys[i]);
        if (c == Conv::AskPandas)
            c = ask_pandas(v, nat, keys[i]);
        if (c != Conv::Ok)
            return false;
    }
    return true;
}

// Step 6 and 7 of the day-flag queries in one step: the flags of the calendar rows, flagged days
// missing from the calendar appended as True rows, then sorted by date.
nb::object flag_days(nb::object frame, nb::handle values, nb::handle code) {
    nb::object pd = G[kPd];
    nb::object index = frame.attr("index");
    nb::object np = nb::module_::import_("numpy");
    std::int64_t unit = 0;
    if (nb::isinstance(index, pd.attr("DatetimeIndex")) && index.attr("tz").is_none())
        unit = unit_ns(index.attr("dtype"));
    std::vector<std::int64_t> keys;
    // A repeated column name gives a frame here, not a column: its values go one by one, so every
    // failure is pandas' own.
    if (!unit || !nb::hasattr(values, "dtype") || !flagged_midnights(values, keys))
        return flag_rows_one_by_one(frame, values, code).attr("sort_index")();

    nb::object index_values = np.attr("ascontiguousarray")(index.attr("asi8"), "dtype"_a = "int64");
    RecordArrayView iv = record_view(index_values, "calendar");
    const std::size_t n = iv.length;
    if (n > 1 && iv.stride != static_cast<std::ptrdiff_t>(sizeof(std::int64_t)))
        throw std::runtime_error("calendar values are not contiguous");
    for (auto &key : keys)
        if (key != k::kNaT)
            key /= unit;  // midnights are whole units of every supported resolution

    const std::size_t total_hint = n + keys.size();
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[total_hint > 0 ? total_hint : 1]);
    std::uint8_t *flags = buffer.get();
    nb::capsule owner(flags, [](void *p) noexcept { delete[] static_cast<std::uint8_t *>(p); });
    buffer.release();  // the capsule owns it now
    std::vector<std::int64_t> extras;
    {
        // Reads the calendar array (kept alive by `iv`) and C++ buffers only.
        nb::gil_scoped_release release;
        k::mark_days(reinterpret_cast<const std::int64_t *>(iv.data), n, keys.data(), keys.size(), flags, extras);
        for (std::size_t j = 0; j < extras.size(); ++j)
            flags[n + j] = 1;
    }
    const std::size_t total = n + extras.size();
    nb::object flag_array =
        nb::cast(nb::ndarray<nb::numpy, bool, nb::ndim<2>>(flags, {total, 1}, owner));

    nb::object new_index = index;
    nb::object result;
    if (extras.empty()) {
        result = pd.attr("DataFrame")(flag_array, "index"_a = index, "columns"_a = frame.attr("columns"));
    } else {
        nb::list raw;
        for (std::int64_t e : extras)
            raw.append(nb::int_(e));
        std::string dt = "M8[" + nb::cast<std::string>(np.attr("datetime_data")(index.attr("dtype"))[0]) + "]";
        nb::object added = pd.attr("DatetimeIndex")(np.attr("array")(raw, "dtype"_a = "int64").attr("view")(dt),
                                                    "name"_a = index.attr("name"));
        new_index = index.attr("append")(added);
        // Adding a row through `loc` may change the column's dtype (older pandas makes it object) and
        // the index's: one such addition on a one-row copy shows what this pandas does.
        nb::object probe = frame.attr("iloc")[nb::slice(nb::int_(0), nb::int_(1), nb::none())].attr("copy")();
        nb::object first = extras[0] == k::kNaT ? pd.attr("NaT") : pd.attr("Timestamp")(nb::int_(extras[0] * unit));
        probe.attr("loc")[nb::make_tuple(first, code)] = nb::bool_(true);
        nb::object index_dtype = probe.attr("index").attr("dtype");
        if (!new_index.attr("dtype").equal(index_dtype))
            new_index = new_index.attr("astype")(index_dtype);
        result = pd.attr("DataFrame")(flag_array, "index"_a = new_index, "columns"_a = frame.attr("columns"));
        nb::object column_dtype = probe.attr("dtypes").attr("iloc")[nb::int_(0)];
        if (!result.attr("dtypes").attr("iloc")[nb::int_(0)].equal(column_dtype))
            result = result.attr("astype")(column_dtype);
    }
    return result.attr("sort_index")();
}

// The day-flag queries: calendar frame of False, then the days the flag source names set True.
nb::object day_flags(const char *source, const char *column, nb::handle market_code, nb::handle start_date,
                     nb::object end_date) {
    if (end_date.is_none())
        end_date = today().attr("isoformat")();
    nb::list sh;
    sh.append("SH");
    Triple calendar = unpack3(call_gid("trade_calendar")("market"_a = sh, "start_time"_a = start_date,
                                                         "end_time"_a = end_date));
    nb::object pd = G[kPd];
    nb::object dates = pd.attr("to_datetime")(calendar.payload["trade_days"]);
    nb::list columns;
    columns.append(market_code);
    nb::object frame = pd.attr("DataFrame")("data"_a = false, "columns"_a = columns, "index"_a = dates);

    nb::list codes;
    codes.append(market_code);
    Triple flagged = unpack3(call_gid(source)(codes, "start_time"_a = start_date, "end_time"_a = end_date));
    // A missing payload holds no flagged day, like an empty one.
    if (no_data(flagged.payload))
        return frame;
    nb::object values = flagged.payload[column];
    return flag_days(frame, values, market_code);
}

nb::object is_suspended(nb::object market_code, nb::object start_date, nb::object end_date) {
    return day_flags("get_suspended_days", "trade_date", market_code, start_date, end_date);
}

nb::object is_st_stock(nb::object market_code, nb::object start_date, nb::object end_date, nb::object) {
    return day_flags("st_days", "trade_days", market_code, start_date, end_date);
}

nb::object is_st_stock_on(nb::object order_book_id, nb::object date, nb::object market) {
    nb::object result = G[kIsStStock](order_book_id, "start_date"_a = date, "end_date"_a = date, "market"_a = market);
    if (result.is_none() || truthy(result.attr("empty")))
        return nb::bool_(false);
    // By position: on a date index `[0]` is a label lookup in newer pandas.
    return result[order_book_id].attr("iloc")[nb::int_(0)];
}

nb::object get_suspend_days(nb::object market_code, nb::object start_date, nb::object end_date) {
    Triple answer = unpack3(call_gid("get_suspended_days")(market_code, start_date, end_date));
    if (is_succ(answer.code) && !no_data(answer.payload)) {
        nb::object days = answer.payload.attr("groupby")("market_code")["trade_date"];
        return days.attr("apply")(builtin("list")).attr("to_dict")();
    }
    return nb::none();
}

const char *kIsSuspendedDoc = R"(判断是否停牌

:param market_code: 证券代码，如 "600000.SH"
:param start_date: 开始日期，如 "2024-01-01"，默认 "2020-01-01"
:param end_date: 结束日期，如 "2024-01-01"，默认今天
:return: DataFrame，索引为交易日，列为证券代码，停牌日为 True)";

const char *kIsStStockDoc = R"(判断股票在给定的时间段是否是ST股, 返回值为一个DataFrame

:param market_code: 证券代码，如 "600000.SH"
:param start_date: 开始日期，如 "2024-01-01"，默认 "2020-01-01"
:param end_date: 结束日期，如 "2024-01-01"，默认今天
:param market: 市场，默认 "cn"
:return: DataFrame，索引为交易日，列为证券代码，ST 日为 True)";

const char *kIsStStockOnDoc = R"(判断股票在给定日期是否是ST股

:param order_book_id: 证券代码，如 "600000.SH"
:param date: 日期，如 "2024-01-01"
:param market: 市场，默认 "cn"
:return: bool)";

const char *kGetSuspendDaysDoc = R"(获取证券停牌信息

:param market_code: 证券代码或代码列表，如 "600000.SH"
:param start_date: 开始日期，如 "2024-01-01"
:param end_date: 结束日期，如 "2024-01-01"
:return: dict，证券代码到其停牌日列表；无数据时为 None)";

}  // namespace

void define_suspension(nb::module_ m) {
    if (!PyDateTimeAPI) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI)
            throw nb::python_error();
    }
    export_query(m, "is_suspended",
                 nb::cpp_function(&is_suspended, nb::name("is_suspended"), arg("market_code"),
                                  arg("start_date") = "2020-01-01", arg("end_date") = nb::none()),
                 "(market_code, start_date='2020-01-01', end_date=None)", kIsSuspendedDoc, true);
    export_query(m, "is_st_stock",
                 nb::cpp_function(&is_st_stock, nb::name("is_st_stock"), arg("market_code"),
                                  arg("start_date") = "2020-01-01", arg("end_date") = nb::none(),
                                  arg("market") = "cn"),
                 "(market_code, start_date='2020-01-01', end_date=None, market='cn')", kIsStStockDoc, false);
    export_query(m, "_is_st_stock",
                 nb::cpp_function(&is_st_stock_on, nb::name("_is_st_stock"), arg("order_book_id"),
                                  arg("date") = nb::none(), arg("market") = "cn"),
                 "(order_book_id, date=None, market='cn')", kIsStStockOnDoc, false);
    export_query(m, "get_suspend_days",
                 nb::cpp_function(&get_suspend_days, nb::name("get_suspend_days"), arg("market_code"),
                                  arg("start_date"), arg("end_date")),
                 "(market_code, start_date, end_date)", kGetSuspendDaysDoc, true);
}

}  // namespace norvane::shareflags
