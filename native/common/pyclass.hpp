// Classes that behave like Python classes with compiled method bodies.
//
// A class is made at import with type(name, bases, namespace): instances are ordinary Python
// objects (instance dict, any attribute, subclassable, may derive from a Python base class such
// as the SDK's strategy). Methods are nanobind functions wrapped as instance methods, so they bind
// like Python functions; memoised methods are the module's `lru_cache(maxsize)` applied to the
// compiled function at class creation, keyed (as in Python) by the instance and the arguments.
// Method bodies reach attributes and other methods through `self`, so instance attributes and
// subclass overrides are honoured.
#pragma once

#include <initializer_list>

#include <nanobind/nanobind.h>

#include "common/names.hpp"

namespace norvane {

namespace nb = nanobind;

nb::object instance_method(nb::handle function);

// A parameter as Python declares it: any object, None included (nanobind refuses None for
// object parameters unless told). Give a default with `arg("x") = value`.
inline auto arg(const char *name) { return nb::arg(name).none(); }

class PyClass {
public:
    // `module` is the defining module: its __name__ becomes __module__, and its current
    // `lru_cache` is used for memoised methods.
    PyClass(nb::handle module, const char *name, nb::tuple bases = nb::tuple());

    template <typename F, typename... Extra>
    PyClass &def(const char *name, F &&f, const Extra &...extra) {
        nb::object fn = nb::cpp_function(std::forward<F>(f), nb::name(name), extra...);
        set_function(name, fn);
        ns_[name] = instance_method(fn);
        return *this;
    }

    // A method memoised with the module's `lru_cache(maxsize)`; maxsize None means unbounded.
    template <typename F, typename... Extra>
    PyClass &def_memo(const char *name, nb::handle maxsize, F &&f, const Extra &...extra) {
        nb::object fn = nb::cpp_function(std::forward<F>(f), nb::name(name), extra...);
        set_function(name, fn);
        ns_[name] = memoise(maxsize, fn);
        return *this;
    }

    template <typename F, typename... Extra>
    PyClass &def_static(const char *name, F &&f, const Extra &...extra) {
        nb::object fn = nb::cpp_function(std::forward<F>(f), nb::name(name), extra...);
        set_function(name, fn);
        ns_[name] = nb::module_::import_("builtins").attr("staticmethod")(fn);
        return *this;
    }

    // A class attribute (or any Python object, such as a Python function, as a method).
    PyClass &attr(const char *name, nb::handle value) {
        ns_[name] = value;
        return *this;
    }
    PyClass &doc(const char *text) {
        ns_["__doc__"] = nb::str(text);
        return *this;
    }

    // Puts these names first in the class namespace, in this order (the order a class body
    // would have defined them), whichever order the pieces were added in.
    PyClass &order(std::initializer_list<const char *> names);

    // Creates the class, binds it in the module under its name and returns it.
    nb::object finish();

    nb::object memoise(nb::handle maxsize, nb::handle fn) const;

private:
    void set_function(const char *name, nb::handle fn);

    nb::object module_;
    nb::str name_;
    nb::tuple bases_;
    nb::dict ns_;
};

}  // namespace norvane
