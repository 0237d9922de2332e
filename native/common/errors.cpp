#include "common/errors.hpp"

#include <nanobind/nanobind.h>

#include "kernels/data_error.hpp"

namespace nb = nanobind;

namespace norvane {

void install_error_translators() {
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    nb::register_exception_translator([](const std::exception_ptr &p, void *) {
        try {
            std::rethrow_exception(p);
        } catch (const kernels::DataError &e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        }
    });
}

}  // namespace norvane
