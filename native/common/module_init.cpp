#include "common/module_init.hpp"

#include <cstdio>
#include <exception>

#include "common/errors.hpp"

namespace norvane {

namespace {

// Version of the running interpreter, read from sys.version_info's C-level twin.
void running_version(int &major, int &minor) {
    const char *v = Py_GetVersion();  // "3.11.7 (main, ...)"
    major = 0;
    minor = 0;
    std::sscanf(v, "%d.%d", &major, &minor);
}

}  // namespace

PyObject *ModuleGuard::create(PyObject *spec) {
    ModuleGuard *g = this;
    long long iid = static_cast<long long>(PyInterpreterState_GetID(PyInterpreterState_Get()));
    if (iid < 0)
        return nullptr;
    if (g->interpreter_id != -1 && g->interpreter_id != iid) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one "
                        "interpreter per process.");
        return nullptr;
    }
    if (g->module) {
        Py_INCREF(g->module);
        return g->module;
    }
    PyObject *name = PyObject_GetAttrString(spec, "name");
    if (!name)
        return nullptr;
    int major, minor;
    running_version(major, minor);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        const char *full = PyUnicode_AsUTF8(name);
        if (!full || PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                                      "compile time Python version %d.%d of module '%.100s' %s "
                                      "runtime version %d.%d",
                                      PY_MAJOR_VERSION, PY_MINOR_VERSION, full, "does not match",
                                      major, minor) < 0) {
            Py_DECREF(name);
            return nullptr;
        }
    }
    PyObject *m = PyModule_NewObject(name);
    Py_DECREF(name);
    if (!m)
        return nullptr;
    g->interpreter_id = iid;
    Py_INCREF(m);  // kept for the life of the process
    g->module = m;
    return m;
}

int ModuleGuard::exec(PyObject *m) {
    ModuleGuard *g = this;
    if (g->module != m) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     g->name);
        return -1;
    }
    if (g->executed)
        return 0;  // the same module object again (a repeated import): nothing to do
    // nanobind must register the module before any of its API is used.
    if (!nb::register_module(m))
        return -1;
    try {
        install_error_translators();
        g->body(nb::borrow<nb::module_>(m));
        g->executed = true;
        return 0;
    } catch (nb::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}

ModuleGuard::ModuleGuard(const char *short_name, void (*module_body)(nb::module_),
                         PyObject *(*create_slot)(PyObject *, PyModuleDef *), int (*exec_slot)(PyObject *))
    : name(short_name), body(module_body) {
    slots[0] = {Py_mod_create, reinterpret_cast<void *>(create_slot)};
    slots[1] = {Py_mod_exec, reinterpret_cast<void *>(exec_slot)};
    slots[2] = {0, nullptr};
    def.m_base = PyModuleDef_HEAD_INIT;
    def.m_name = name;
    def.m_doc = nullptr;
    def.m_size = 0;
    def.m_methods = nullptr;
    def.m_slots = slots;
}

PyObject *ModuleGuard::init() { return PyModuleDef_Init(&def); }

}  // namespace norvane
