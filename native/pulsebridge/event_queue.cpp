// Posting engine events on the shared ring buffer.
//
// The SDK calls back from several threads at once (market data, trading, timers), and the ring
// buffer's `append` is plain Python: two producers interleaving inside it can write the same slot,
// losing one event or leaving a stale one. The module's own appends therefore go through one lock.
// That lock is never waited for while this thread holds the GIL: a thread inside `append` may need
// the GIL back to finish, so blocking on the lock with the GIL held could deadlock. The draining
// side is the engine's and takes no part in this.
#include <mutex>

#include "pulsebridge/pulsebridge.hpp"

namespace norvane::pulsebridge {

namespace {

// Recursive: an `append` that posts again on the same thread (a patched queue) must not self-deadlock.
std::recursive_mutex &post_lock() {
    static std::recursive_mutex *m = new std::recursive_mutex();  // never destroyed: threads may post at exit
    return *m;
}

const Global kEventQueue{"event_queue"};
const Name kAppend{"append"};
const Global kEvent{"Event"};
const Global kEVENT{"EVENT"};

}  // namespace

void post_event(nb::handle event) {
    std::recursive_mutex &m = post_lock();
    while (!m.try_lock()) {
        // Wait for the holder without the GIL, which it may need to finish its append. The lock is
        // not held while the GIL is taken back, so a thread stopped there (interpreter exit) leaves
        // it free.
        PyThreadState *state = PyEval_SaveThread();
        { std::lock_guard<std::recursive_mutex> wait(m); }
        PyEval_RestoreThread(state);
    }
    std::lock_guard<std::recursive_mutex> hold(m, std::adopt_lock);
    nb::object queue = kEventQueue.get();
    call_method(queue, kAppend, event);
}

nb::object make_event(const Name &event_type, PyObject *kwnames, PyObject *const *values) {
    nb::object event_cls = kEvent.get();
    nb::object type = getattr(kEVENT.get(), event_type);
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    PyObject *args[1 + 1 + 8];  // offset slot, the event type, the payload values
    if (nkw > 8)
        throw std::length_error("too many event payload values");
    args[1] = type.ptr();
    for (Py_ssize_t i = 0; i < nkw; ++i)
        args[2 + i] = values[i];
    return steal_or_throw(
        PyObject_Vectorcall(event_cls.ptr(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

}  // namespace norvane::pulsebridge
