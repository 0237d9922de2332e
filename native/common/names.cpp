#include "common/names.hpp"

namespace norvane {

nb::object import_module(const char *dotted) { return nb::module_::import_(dotted); }

nb::object import_from(const char *module, const char *attr) {
    nb::object fromlist = nb::make_tuple(nb::str(attr));
    PyObject *m = PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.ptr(), 0);
    if (!m)
        throw nb::python_error();
    nb::object mod = nb::steal(m);
    PyObject *v = PyObject_GetAttrString(mod.ptr(), attr);
    if (!v) {
        // As `from x import y` does: a submodule not yet imported is imported now.
        PyErr_Clear();
        std::string sub = std::string(module) + "." + attr;
        PyObject *s = PyImport_ImportModule(sub.c_str());
        if (!s) {
            PyErr_Clear();
            PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", attr, module);
            throw nb::python_error();
        }
        return nb::steal(s);
    }
    return nb::steal(v);
}

void import_star(nb::handle target_module, const char *module) {
    nb::object mod = nb::module_::import_(module);
    nb::object names;
    if (nb::hasattr(mod, "__all__")) {
        names = mod.attr("__all__");
    } else {
        nb::list public_names;
        for (nb::handle key : nb::borrow<nb::dict>(mod.attr("__dict__")).keys()) {
            nb::str k = nb::borrow<nb::str>(key);
            if (k.c_str()[0] != '_')
                public_names.append(k);
        }
        names = public_names;
    }
    for (nb::handle n : names)
        nb::setattr(target_module, n, nb::getattr(mod, n));
}

}  // namespace norvane
