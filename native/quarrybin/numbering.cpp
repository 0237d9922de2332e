// date_to_number / time_to_number: dates and times of day as the numbers the stores key by.
#include <nanobind/nanobind.h>

#include "common/names.hpp"
#include "common/pyclass.hpp"
#include "quarrybin/quarrybin.hpp"

namespace norvane::quarrybin {

namespace {

const Name kYear{"year"}, kMonth{"month"}, kDay{"day"};
const Name kHour{"hour"}, kMinute{"minute"}, kSecond{"second"}, kMicrosecond{"microsecond"};

nb::object get(nb::handle obj, const Name &name) {
    PyObject *v = PyObject_GetAttr(obj.ptr(), name.key());
    if (!v)
        throw nb::python_error();  // the AttributeError of the attribute access
    return nb::steal(v);
}

// Small exact ints (the usual case) are summed natively; anything else goes through Python
// arithmetic so that the result is exactly what the expression gives in Python.
bool small_int(nb::handle v, long long &out) {
    if (!PyLong_CheckExact(v.ptr()))
        return false;
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    return !overflow && out > -(1LL << 40) && out < (1LL << 40);
}

nb::object date_to_number(nb::handle dt) {
    nb::object y = get(dt, kYear), m = get(dt, kMonth), d = get(dt, kDay);
    long long yi, mi, di;
    if (small_int(y, yi) && small_int(m, mi) && small_int(d, di))
        return nb::steal(PyLong_FromLongLong(yi * 10000 + mi * 100 + di));
    return y * nb::int_(10000) + m * nb::int_(100) + d;
}

nb::object time_to_number(nb::handle dt) {
    nb::object h = get(dt, kHour), mi = get(dt, kMinute), s = get(dt, kSecond), us = get(dt, kMicrosecond);
    long long hv, mv, sv, uv;
    // Each part below 2**31 in size keeps hour * 10000000 and the sum far inside int64.
    auto part = [](long long v) { return v > -(1LL << 31) && v < (1LL << 31); };
    if (small_int(h, hv) && small_int(mi, mv) && small_int(s, sv) && small_int(us, uv) && part(hv) && part(mv) &&
        part(sv) && uv > -(1LL << 52) && uv < (1LL << 52)) {
        long long whole = hv * 10000000 + mv * 100000 + sv * 1000;
        if (whole > -(1LL << 53) && whole < (1LL << 53)) {
            // int + (int / 1000): both conversions to double are exact here and the division is
            // correctly rounded, exactly as Python computes it.
            return nb::steal(PyFloat_FromDouble(static_cast<double>(whole) +
                                                static_cast<double>(uv) / 1000.0));
        }
    }
    nb::object whole = h * nb::int_(10000000) + mi * nb::int_(100000) + s * nb::int_(1000);
    PyObject *frac = PyNumber_TrueDivide(us.ptr(), nb::int_(1000).ptr());
    if (!frac)
        throw nb::python_error();
    return whole + nb::steal(frac);
}

}  // namespace

void define_numbering(nb::module_ m) {
    nb::object lru = G[Name("lru_cache")](1024);
    m.attr("date_to_number") = lru(nb::cpp_function(&date_to_number, nb::name("date_to_number"),
                                                    arg("dt"), nb::sig("def date_to_number(dt) -> int")));
    m.attr("time_to_number") = lru(nb::cpp_function(&time_to_number, nb::name("time_to_number"),
                                                    arg("dt"), nb::sig("def time_to_number(dt) -> float")));
}

}  // namespace norvane::quarrybin
