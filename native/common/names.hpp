// Module-namespace lookups made when code runs, as Python does for globals: the engine and tests
// may rebind any name a module imported (a test clock, a patched class) and the module sees it.
#pragma once

#include <nanobind/nanobind.h>

namespace norvane {

namespace nb = nanobind;

// An interned name, created on first use (under the GIL).
class Name {
public:
    explicit constexpr Name(const char *text) : text_(text) {}
    PyObject *key() const {
        if (!key_) {
            key_ = PyUnicode_InternFromString(text_);
            if (!key_)
                throw nb::python_error();
        }
        return key_;
    }
    const char *text() const { return text_; }

private:
    const char *text_;
    mutable PyObject *key_ = nullptr;  // interned string, kept for the life of the process
};

// The globals of one module. The module object lives for the life of the process (it is
// created once, see module_init), so its dict may be held borrowed.
class Globals {
public:
    void bind(nb::handle module) { dict_ = PyModule_GetDict(module.ptr()); }
    nb::handle dict() const { return dict_; }

    // The object bound to `name` now; NameError if the name was deleted.
    nb::object operator[](const Name &name) const {
        PyObject *v = PyDict_GetItemWithError(dict_, name.key());
        if (!v) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.text());
            throw nb::python_error();
        }
        return nb::borrow(v);
    }
    void set(const Name &name, nb::handle value) const {
        if (PyDict_SetItem(dict_, name.key(), value.ptr()) != 0)
            throw nb::python_error();
    }

private:
    PyObject *dict_ = nullptr;
};

// `import a.b.c` bound as `a.b.c`'s last component, `from x import y`, `from x import *`.
nb::object import_module(const char *dotted);
nb::object import_from(const char *module, const char *attr);
void import_star(nb::handle target_module, const char *module);

}  // namespace norvane
