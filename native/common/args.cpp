#include "common/args.hpp"

namespace norvane {

void require_exact(nb::handle value, PyTypeObject *type, const char *arg_name) {
    PyTypeObject *actual = Py_TYPE(value.ptr());
    if (actual == type)
        return;
    if (PyType_IsSubtype(actual, type))
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). "
                     "Subclasses of built-in types are not accepted; pass a plain %.200s.",
                     arg_name, type->tp_name, actual->tp_name, type->tp_name);
    else
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     arg_name, type->tp_name, actual->tp_name);
    throw nb::python_error();
}

namespace {

[[noreturn]] void not_a_number(nb::handle value, const char *arg_name, const char *kind) {
    // Replace the conversion's own message by one that names the argument.
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' must be %s, not %.200s", arg_name, kind,
                 Py_TYPE(value.ptr())->tp_name);
    throw nb::python_error();
}

}  // namespace

nb::int_ to_int(nb::handle value, const char *arg_name) {
    if (PyLong_CheckExact(value.ptr()))
        return nb::borrow<nb::int_>(value);
    if (!PyNumber_Check(value.ptr()) || PyUnicode_Check(value.ptr()))
        not_a_number(value, arg_name, "int");
    PyObject *r = PyNumber_Long(value.ptr());
    if (!r)
        throw nb::python_error();  // e.g. ValueError for NaN, OverflowError for inf
    return nb::steal<nb::int_>(r);
}

nb::float_ to_float(nb::handle value, const char *arg_name) {
    if (PyFloat_CheckExact(value.ptr()))
        return nb::borrow<nb::float_>(value);
    if (!PyNumber_Check(value.ptr()) || PyUnicode_Check(value.ptr()))
        not_a_number(value, arg_name, "float");
    PyObject *r = PyNumber_Float(value.ptr());
    if (!r)
        throw nb::python_error();
    return nb::steal<nb::float_>(r);
}

long long to_long_long(nb::handle value, const char *arg_name) {
    nb::int_ i = to_int(value, arg_name);
    long long r = PyLong_AsLongLong(i.ptr());
    if (r == -1 && PyErr_Occurred())
        throw nb::python_error();
    return r;
}

double to_double(nb::handle value, const char *arg_name) {
    nb::float_ f = to_float(value, arg_name);
    return PyFloat_AS_DOUBLE(f.ptr());
}

}  // namespace norvane
