// Small C-API helpers shared by the bridge's callbacks.
#include "pulsebridge/pulsebridge.hpp"

namespace norvane::pulsebridge {

namespace {
PyObject *g_strategy_class = nullptr;  // strong reference, for the life of the process
}

nb::handle strategy_class() { return g_strategy_class; }

void set_strategy_class(nb::handle cls) {
    Py_XINCREF(cls.ptr());
    Py_XDECREF(g_strategy_class);
    g_strategy_class = cls.ptr();
}

void Attr::learn(PyTypeObject *tp) const {
    type_ = tp;
    direct_ = false;
    // Direct reads only for plain instance-dict objects (a dict at a fixed offset, the generic
    // lookup) whose type, including its bases, has nothing under the name.
    const bool eligible = tp->tp_getattro == PyObject_GenericGetAttr && tp->tp_dictoffset > 0 &&
                          !(tp->tp_flags & Py_TPFLAGS_MANAGED_DICT);
    const bool on_type = _PyType_Lookup(tp, name_.key()) != nullptr;  // also gives the type a version tag
    version_ = (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? tp->tp_version_tag : 0;
    direct_ = eligible && !on_type && version_ != 0;
}

bool hasattr(nb::handle obj, const Name &name) {
    PyObject *v = PyObject_GetAttr(obj.ptr(), name.key());
    if (v) {
        Py_DECREF(v);
        return true;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        return false;
    }
    throw nb::python_error();
}

bool equals(nb::handle a, nb::handle b) {
    nb::object r = steal_or_throw(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    int t = PyObject_IsTrue(r.ptr());
    if (t < 0)
        throw nb::python_error();
    return t != 0;
}

nb::handle py_int(long v) {
    static PyObject *cache[1002] = {};
    if (v < -1 || v > 1000)
        throw std::out_of_range("py_int");
    PyObject *&slot = cache[v + 1];
    if (!slot) {
        slot = PyLong_FromLong(v);
        if (!slot)
            throw nb::python_error();
    }
    return slot;
}

nb::object container_get(nb::handle container, nb::handle key) {
    if (PyDict_CheckExact(container.ptr())) {
        // One lookup: a concurrent clear() cannot fall between a membership test and the read.
        PyObject *v = PyDict_GetItemWithError(container.ptr(), key.ptr());
        if (!v) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return nb::object();
        }
        return nb::borrow(v);
    }
    int has = PySequence_Contains(container.ptr(), key.ptr());
    if (has < 0)
        throw nb::python_error();
    if (!has)
        return nb::object();
    return steal_or_throw(PyObject_GetItem(container.ptr(), key.ptr()));
}

}  // namespace norvane::pulsebridge
