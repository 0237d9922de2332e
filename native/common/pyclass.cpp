#include "common/pyclass.hpp"

namespace norvane {

nb::object instance_method(nb::handle function) {
    PyObject *m = PyInstanceMethod_New(function.ptr());
    if (!m)
        throw nb::python_error();
    return nb::steal(m);
}

PyClass::PyClass(nb::handle module, const char *name, nb::tuple bases)
    : module_(nb::borrow(module)), name_(name), bases_(bases) {
    ns_["__module__"] = module_.attr("__name__");
    ns_["__qualname__"] = name_;
}

void PyClass::set_function(const char *name, nb::handle fn) {
    // Give the compiled function the qualified name a Python method would have.
    nb::str qualname(nb::str("{}.{}").format(name_, nb::str(name)));
    (void)PyObject_SetAttrString(fn.ptr(), "__qualname__", qualname.ptr());
    PyErr_Clear();  // nanobind functions may refuse the attribute; the name is cosmetic
}

nb::object PyClass::memoise(nb::handle maxsize, nb::handle fn) const {
    // The module's `lru_cache` as bound now (at class creation), as a Python class body would.
    nb::object lru_cache = module_.attr("lru_cache");
    return lru_cache(maxsize)(fn);
}

PyClass &PyClass::order(std::initializer_list<const char *> names) {
    nb::dict ordered;
    for (const char *key : {"__module__", "__qualname__", "__doc__"})
        if (ns_.contains(key))
            ordered[key] = ns_[key];
    for (const char *name : names) {
        if (!ns_.contains(name)) {
            PyErr_Format(PyExc_RuntimeError, "class %s has no member %s to order", nb::str(name_).c_str(), name);
            throw nb::python_error();
        }
        ordered[name] = ns_[name];
    }
    for (auto [key, value] : ns_)
        if (!ordered.contains(key))
            ordered[key] = value;
    ns_ = ordered;
    return *this;
}

nb::object PyClass::finish() {
    nb::object type = nb::module_::import_("builtins").attr("type");
    nb::object cls = type(name_, bases_, ns_);
    nb::setattr(module_, name_, cls);
    return cls;
}

}  // namespace norvane
