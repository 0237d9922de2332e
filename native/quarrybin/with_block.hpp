// `with manager as value: body` from C++, with Python's semantics: __exit__ sees the exception
// the body raised (and may suppress it), and runs on every exit so files are always closed.
#pragma once

#include <new>
#include <stdexcept>
#include <utility>

#include <nanobind/nanobind.h>

#include "kernels/data_error.hpp"

namespace norvane::quarrybin {

namespace nb = nanobind;

// Runs `body(value)` inside the context manager. Returns the body's result, or None when
// __exit__ suppressed the body's exception.
template <class Body>
nb::object with_block(nb::object manager, Body &&body) {
    nb::handle type = manager.type();
    // Looked up on the type, __exit__ first, as the with statement does.
    nb::object exit = type.attr("__exit__");
    nb::object value = type.attr("__enter__")(manager);
    nb::object result;
    try {
        try {
            result = body(value);
        } catch (nb::python_error &) {
            throw;
        } catch (const kernels::DataError &e) {
            // C++ errors become the Python errors they will surface as, so that __exit__ sees them.
            PyErr_SetString(PyExc_ValueError, e.what());
            throw nb::python_error();
        } catch (const std::bad_alloc &) {
            PyErr_NoMemory();
            throw nb::python_error();
        } catch (const std::out_of_range &e) {
            PyErr_SetString(PyExc_IndexError, e.what());
            throw nb::python_error();
        } catch (const std::invalid_argument &e) {
            PyErr_SetString(PyExc_ValueError, e.what());
            throw nb::python_error();
        } catch (const std::exception &e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
            throw nb::python_error();
        }
    } catch (nb::python_error &e) {
        nb::object tb = e.traceback();
        if (!tb.is_valid())
            tb = nb::none();
        nb::object suppressed = exit(manager, e.type(), e.value(), tb);
        int truth = PyObject_IsTrue(suppressed.ptr());
        if (truth < 0)
            throw nb::python_error();
        if (truth)
            return nb::none();
        throw;
    }
    exit(manager, nb::none(), nb::none(), nb::none());
    return result;
}

}  // namespace norvane::quarrybin
