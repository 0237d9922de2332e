// The module's shared live state and the engine's four readers of recent bars and ticks.
#include "pulsebridge/pulsebridge.hpp"

namespace norvane::pulsebridge {

namespace {

const Global kHistoryBar{"history_bar"};
const Global kHistoryTick{"history_tick"};

PyTypeObject *deque_type = nullptr;  // collections.deque, for the single-copy path of the history readers

// history[market_code][-1], or None when the code has no history.
nb::object newest(const Global &container, nb::handle market_code) {
    nb::object history = container_get(container.get(), market_code);
    if (!history.is_valid())
        return nb::none();
    return steal_or_throw(PyObject_GetItem(history.ptr(), py_int(-1).ptr()));
}

// list(history[market_code])[count * -1:], or None when the code has no history.
nb::object newest_n(const Global &container, nb::handle market_code, nb::handle count) {
    nb::object history = container_get(container.get(), market_code);
    if (!history.is_valid())
        return nb::none();
    // An int count multiplies without running Python code, so the copy may come after it; any
    // other count is multiplied after the copy, as `list(history)[count * -1:]` does (its
    // multiplication could change the history).
    if (Py_IS_TYPE(history.ptr(), deque_type) && PyLong_CheckExact(count.ptr())) {
        // Same result as copying the deque and slicing the copy, with one copy only.
        const Py_ssize_t n = PyObject_Size(history.ptr());
        if (n < 0)
            throw nb::python_error();
        nb::object start = steal_or_throw(PyNumber_Multiply(count.ptr(), py_int(-1).ptr()));
        if (PyLong_CheckExact(start.ptr())) {
            int overflow = 0;
            long long s = PyLong_AsLongLongAndOverflow(start.ptr(), &overflow);
            if (s == -1 && PyErr_Occurred())
                throw nb::python_error();
            Py_ssize_t begin;
            if (overflow > 0)
                begin = n;
            else if (overflow < 0)
                begin = 0;
            else if (s < 0)
                begin = s + n < 0 ? 0 : static_cast<Py_ssize_t>(s + n);
            else
                begin = s > n ? n : static_cast<Py_ssize_t>(s);
            nb::object out = steal_or_throw(PyList_New(n - begin));
            nb::object it = steal_or_throw(PyObject_GetIter(history.ptr()));
            // Deque iteration runs no Python code, so no other thread changes the deque meanwhile.
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *item = PyIter_Next(it.ptr());
                if (!item) {
                    if (PyErr_Occurred())
                        throw nb::python_error();
                    throw std::runtime_error("deque changed size during copy");
                }
                if (i < begin)
                    Py_DECREF(item);
                else
                    PyList_SET_ITEM(out.ptr(), i - begin, item);
            }
            return out;
        }
    }
    nb::object copy = steal_or_throw(PySequence_List(history.ptr()));
    nb::object start = steal_or_throw(PyNumber_Multiply(count.ptr(), py_int(-1).ptr()));
    nb::object slice = steal_or_throw(PySlice_New(start.ptr(), nullptr, nullptr));
    return steal_or_throw(PyObject_GetItem(copy.ptr(), slice.ptr()));
}

}  // namespace

void define_state(nb::module_ m) {
    deque_type = reinterpret_cast<PyTypeObject *>(import_from("collections", "deque").release().ptr());

    m.attr("vanta_params") = nb::dict();
    // Capacity 1000000 (not 2**20); the package's defaults otherwise, so a full buffer drops its oldest.
    m.attr("event_queue") = G[Name("RB")](nb::arg("capacity") = 1000000, nb::arg("dtype") = nb::handle((PyObject *)&PyBaseObject_Type));
    m.attr("history_bar") = nb::dict();
    m.attr("history_tick") = nb::dict();
    m.attr("orders_dict") = nb::dict();
    m.attr("algo_parent_orders") = nb::dict();
    m.attr("algo_child_orders") = nb::dict();
    m.attr("algo_child_trades") = nb::dict();

    m.def("get_current_bar", [](nb::handle market_code) { return newest(kHistoryBar, market_code); },
          arg("market_code"));
    m.def("get_current_tick", [](nb::handle market_code) { return newest(kHistoryTick, market_code); },
          arg("market_code"));
    m.def("history_ticks",
          [](nb::handle market_code, nb::handle count) { return newest_n(kHistoryTick, market_code, count); },
          arg("market_code"), arg("count"));
    m.def("history_bars",
          [](nb::handle market_code, nb::handle count) { return newest_n(kHistoryBar, market_code, count); },
          arg("market_code"), arg("count"));
}

}  // namespace norvane::pulsebridge
