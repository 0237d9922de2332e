// AbstractMinBarStore and H5MinBarStore: one trading date of an instrument's minute bars.
#include "common/pyclass.hpp"
#include "quarrybin/quarrybin.hpp"

namespace norvane::quarrybin {

namespace {

[[noreturn]] void not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw nb::python_error();
}

}  // namespace

void define_minute_bars(nb::module_ m) {
    nb::object abstract =
        PyClass(m, "AbstractMinBarStore")
            .def("get_minute_bar", [](nb::object, nb::object, nb::object, nb::object) { not_implemented(); },
                 arg("self"), arg("market_code"), arg("date"), arg("fields"))
            .def("get_date_range", [](nb::object, nb::object) { not_implemented(); },
                 arg("self"), arg("market_code"))
            .def("get_empty", [](nb::object, nb::object, nb::object) { not_implemented(); },
                 arg("self"), arg("fields"), arg("instrument_type"))
            .finish();
    (void)abstract;
}

}  // namespace norvane::quarrybin
