// Small helpers shared by the order, algo and timer callbacks: engine events, deep copies and
// log texts, every name read from the module's namespace when the callback runs.
#pragma once

#include <initializer_list>
#include <utility>

#include "pulsebridge/pulsebridge.hpp"

namespace norvane::pulsebridge::calls {

using namespace nb::literals;  // "key"_a = value payloads

// `EVENT.<member>` as bound now.
inline nb::object event_type(const Name &member) {
    static const Name kEVENT{"EVENT"};
    return G[kEVENT].attr(nb::handle(member.key()));
}

// Event(event_type, **payload) appended to the queue; the payload is given as `"key"_a = value`.
template <typename... Kw>
inline void post(nb::handle type, Kw &&...payload) {
    static const Name kEvent{"Event"};
    nb::object event = G[kEvent](type, std::forward<Kw>(payload)...);
    post_event(event);
}

template <typename... Kw>
inline void post(const Name &member, Kw &&...payload) {
    post(event_type(member), std::forward<Kw>(payload)...);
}

// copy.deepcopy(obj): a stored object travels as a snapshot so a queued event never changes.
inline nb::object deepcopy(nb::handle obj) {
    static const Name kCopy{"copy"}, kDeepcopy{"deepcopy"};
    return pulsebridge::getattr(G[kCopy], kDeepcopy)(obj);
}

// obj.<name> through an interned name (no key string made per call).
inline nb::object get(nb::handle obj, const Name &name) { return pulsebridge::getattr(obj, name); }

// A fixed text as an interned string, made once.
inline nb::handle lit(const Name &text) { return text.key(); }

// The pieces, each formatted as by str(), joined into one text.
inline nb::str text(std::initializer_list<nb::handle> parts) {
    nb::object pieces = nb::steal(PyTuple_New(static_cast<Py_ssize_t>(parts.size())));
    if (!pieces.is_valid())
        throw nb::python_error();
    Py_ssize_t i = 0;
    for (nb::handle p : parts) {
        PyObject *s = PyObject_Str(p.ptr());
        if (!s)
            throw nb::python_error();
        PyTuple_SET_ITEM(pieces.ptr(), i++, s);
    }
    static const Name empty{""};
    PyObject *joined = PyUnicode_Join(empty.key(), pieces.ptr());
    if (!joined)
        throw nb::python_error();
    return nb::steal<nb::str>(joined);
}

// `a + b` with Python's semantics (a non-string part raises TypeError as the engine expects).
using pulsebridge::add;

// `key in container`.
inline bool contains(nb::handle container, nb::handle key) {
    int r = PySequence_Contains(container.ptr(), key.ptr());
    if (r < 0)
        throw nb::python_error();
    return r == 1;
}

// Python truth of `a OP b`, as an `if` would test it.
inline bool compare(nb::handle a, nb::handle b, int op) {
    PyObject *r = PyObject_RichCompare(a.ptr(), b.ptr(), op);
    if (!r)
        throw nb::python_error();
    nb::object res = nb::steal(r);
    int t = PyObject_IsTrue(r);
    if (t < 0)
        throw nb::python_error();
    return t == 1;
}

inline bool truthy(nb::handle v) {
    int t = PyObject_IsTrue(v.ptr());
    if (t < 0)
        throw nb::python_error();
    return t == 1;
}

}  // namespace norvane::pulsebridge::calls
