// Internal declarations of the live bridge module.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>

#include "common/names.hpp"
#include "common/pyclass.hpp"

namespace norvane::pulsebridge {

namespace nb = nanobind;

// The module's globals: every imported name and container is read from here when code runs.
extern Globals G;

// Module containers and the four accessors (created once, at import).
void define_state(nb::module_ m);

// Appends one engine event to `event_queue` (the module's producers are serialised; see event_queue.cpp).
void post_event(nb::handle event);

// VantaStrategy's methods, by area.
void add_startup_methods(PyClass &cls);        // __init__, initialize, on_initialize, on_login
void add_market_data_methods(PyClass &cls);    // on_snapshot, on_tick_order, on_tick_trade, on_bar
void add_account_order_methods(PyClass &cls);  // on_query_asset, on_query_position, on_order, on_trade, ...
void add_algo_methods(PyClass &cls);           // algo login, parent-order results, updates
void add_timer_methods(PyClass &cls);          // set_timer, create_time_listener, day events, on_switch_day

// The VantaStrategy class once created (for super() in __init__); set by the module body.
nb::handle strategy_class();
void set_strategy_class(nb::handle cls);

// ---- Small helpers over the C API, for the callbacks' hot paths ----

inline nb::object steal_or_throw(PyObject *o) {
    if (!o)
        throw nb::python_error();
    return nb::steal(o);
}

// obj.<name>
inline nb::object getattr(nb::handle obj, const Name &name) {
    return steal_or_throw(PyObject_GetAttr(obj.ptr(), name.key()));
}
// A module global read when code runs. The module dict's version changes with every binding, so a
// value cached at one version is still the dict's value (and kept alive by it) at that version.
class Global {
public:
    explicit constexpr Global(const char *name) : name_(name) {}
    nb::object get() const {
#if PY_VERSION_HEX < 0x030C0000
        PyDictObject *dict = reinterpret_cast<PyDictObject *>(G.dict().ptr());
        if (value_ && dict->ma_version_tag == version_)
            return nb::borrow(value_);
        nb::object v = G[name_];
        value_ = v.ptr();
        version_ = dict->ma_version_tag;
        return v;
#else
        return G[name_];
#endif
    }

private:
    Name name_;
    mutable PyObject *value_ = nullptr;  // borrowed from the module dict at version_
    mutable uint64_t version_ = 0;
};

// obj.<name>, with a one-entry cache per call site as the interpreter keeps for its attribute reads:
// for an object of the cached type whose attributes live in its instance dict and whose type (at
// the cached version) has no attribute of that name, the dict is read directly. Any other object
// takes the general path, so descriptors, __getattr__ and class changes behave as in Python.
class Attr {
public:
    explicit constexpr Attr(const char *name) : name_(name) {}
    nb::object get(nb::handle obj) const {
        PyTypeObject *tp = Py_TYPE(obj.ptr());
        const bool known = tp == type_ && tp->tp_version_tag == version_ &&
                           (tp->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG);
        if (!known)
            learn(tp);
        else if (direct_) {
            PyObject *dict = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj.ptr()) + tp->tp_dictoffset);
            if (dict) {
                PyObject *v = PyDict_GetItemWithError(dict, name_.key());
                if (v)
                    return nb::borrow(v);
                if (PyErr_Occurred())
                    throw nb::python_error();
            }
        }
        return steal_or_throw(PyObject_GetAttr(obj.ptr(), name_.key()));
    }
    const Name &name() const { return name_; }

private:
    void learn(PyTypeObject *tp) const;

    Name name_;
    mutable PyTypeObject *type_ = nullptr;  // borrowed: compared only, never dereferenced when stale
    mutable unsigned int version_ = 0;      // the type's version when learnt (0: none, learn again)
    mutable bool direct_ = false;           // read the instance dict directly
};
inline nb::object getattr(nb::handle obj, const Attr &attr) { return attr.get(obj); }

// obj.<name> = value
inline void setattr(nb::handle obj, const Name &name, nb::handle value) {
    if (PyObject_SetAttr(obj.ptr(), name.key(), value.ptr()) != 0)
        throw nb::python_error();
}
// hasattr(obj, name): only AttributeError means "no"; anything else propagates.
bool hasattr(nb::handle obj, const Name &name);

// fn(a, b, ...) positionally, through vectorcall.
template <typename... A>
nb::object call(nb::handle fn, A... a) {
    PyObject *args[sizeof...(A) + 1] = {nullptr, nb::handle(a).ptr()...};
    return steal_or_throw(
        PyObject_Vectorcall(fn.ptr(), args + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}
// obj.<name>(a, b, ...)
template <typename... A>
nb::object call_method(nb::handle obj, const Name &name, A... a) {
    PyObject *args[sizeof...(A) + 1] = {obj.ptr(), nb::handle(a).ptr()...};
    return steal_or_throw(PyObject_VectorcallMethod(name.key(), args, (sizeof...(A) + 1) |
                                                    PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

inline nb::object add(nb::handle a, nb::handle b) { return steal_or_throw(PyNumber_Add(a.ptr(), b.ptr())); }
// a == b, as Python's `==` followed by a truth test.
bool equals(nb::handle a, nb::handle b);
// The small ints and strings the callbacks use, created once.
nb::handle py_int(long v);  // v in [-1, 1000]

// The keyword names of one event payload, created once per call site:
//   static const Keywords kw{"calendar_dt", "trading_dt"};
template <std::size_t N>
class Keywords {
public:
    template <typename... S>
    constexpr Keywords(S... s) : names_{s...} {}
    PyObject *tuple() const {
        if (!tuple_) {
            PyObject *t = PyTuple_New(N);
            if (!t)
                throw nb::python_error();
            for (std::size_t i = 0; i < N; ++i) {
                PyObject *s = PyUnicode_InternFromString(names_[i]);
                if (!s) {
                    Py_DECREF(t);
                    throw nb::python_error();
                }
                PyTuple_SET_ITEM(t, i, s);
            }
            tuple_ = t;  // kept for the life of the process, like the module
        }
        return tuple_;
    }

private:
    std::array<const char *, N> names_;
    mutable PyObject *tuple_ = nullptr;
};
template <typename... S>
Keywords(S...) -> Keywords<sizeof...(S)>;

// Event(EVENT.<type>, **payload): the payload values in the order of the keyword names.
nb::object make_event(const Name &event_type, PyObject *kwnames, PyObject *const *values);
template <std::size_t N, typename... V>
nb::object make_event(const Name &event_type, const Keywords<N> &kw, V... values) {
    static_assert(sizeof...(V) == N, "one value per keyword");
    PyObject *vals[N] = {nb::handle(values).ptr()...};
    return make_event(event_type, kw.tuple(), vals);
}
// Builds the event and posts it on `event_queue`.
template <std::size_t N, typename... V>
void post(const Name &event_type, const Keywords<N> &kw, V... values) {
    nb::object event = make_event(event_type, kw, values...);
    post_event(event);
}

// The value under `key` of a module container, or a null object when absent (one lookup).
nb::object container_get(nb::handle container, nb::handle key);

}  // namespace norvane::pulsebridge
