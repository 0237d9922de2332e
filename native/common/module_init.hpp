// Multi-phase module initialisation shared by the three extension modules.
//
// Each module is created once per process and in one interpreter only:
//  - a second creation (re-import after removal from sys.modules) returns the existing module;
//  - running the body for a different module object raises RuntimeError;
//  - a second interpreter gets ImportError;
//  - a Python version other than the one the module was built for draws a RuntimeWarning.
#pragma once

#include <nanobind/nanobind.h>

namespace norvane {

namespace nb = nanobind;

struct ModuleGuard {
    const char *name;                // short module name, e.g. "quarrybin"
    void (*body)(nb::module_ m);     // the module body, run once
    PyModuleDef def{};
    PyModuleDef_Slot slots[3]{};
    PyObject *module = nullptr;      // the one module object of this process (strong reference)
    long long interpreter_id = -1;   // interpreter that first created the module
    bool executed = false;

    ModuleGuard(const char *short_name, void (*module_body)(nb::module_),
                PyObject *(*create_slot)(PyObject *, PyModuleDef *), int (*exec_slot)(PyObject *));
    PyObject *init();                // what PyInit_<name> returns
    PyObject *create(PyObject *spec);
    int exec(PyObject *m);
};

}  // namespace norvane

// Defines PyInit_<name> for a module whose body is `void body(nb::module_ m)`.
// The slots are per module, so each knows its guard whatever module object it is given.
#define NORVANE_MODULE(name, body_fn)                                            \
    static PyObject *norvane_create_##name(PyObject *, PyModuleDef *);           \
    static int norvane_exec_##name(PyObject *);                                  \
    static ::norvane::ModuleGuard norvane_guard_##name(                          \
        #name, body_fn, norvane_create_##name, norvane_exec_##name);             \
    static PyObject *norvane_create_##name(PyObject *spec, PyModuleDef *) {      \
        return norvane_guard_##name.create(spec);                                \
    }                                                                            \
    static int norvane_exec_##name(PyObject *m) {                                \
        return norvane_guard_##name.exec(m);                                     \
    }                                                                            \
    extern "C" NB_EXPORT PyObject *PyInit_##name(void) {                         \
        return norvane_guard_##name.init();                                      \
    }
