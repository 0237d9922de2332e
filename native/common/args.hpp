// Argument checks at the boundary, shared by every module.
#pragma once

#include <nanobind/nanobind.h>

namespace norvane {

namespace nb = nanobind;

// A parameter declared `str`, `dict` or `list` accepts exactly that type (not None, not a subclass):
// otherwise TypeError "Argument '<name>' has incorrect type (expected <type>, got <type>)".
void require_exact(nb::handle value, PyTypeObject *type, const char *arg_name);
inline void require_str(nb::handle v, const char *n) { require_exact(v, &PyUnicode_Type, n); }
inline void require_dict(nb::handle v, const char *n) { require_exact(v, &PyDict_Type, n); }
inline void require_list(nb::handle v, const char *n) { require_exact(v, &PyList_Type, n); }

// A parameter declared `int` / `float` converts its argument (int(x) / float(x)); a non-number
// raises TypeError naming the argument.
nb::int_ to_int(nb::handle value, const char *arg_name);
nb::float_ to_float(nb::handle value, const char *arg_name);
long long to_long_long(nb::handle value, const char *arg_name);
double to_double(nb::handle value, const char *arg_name);

}  // namespace norvane
