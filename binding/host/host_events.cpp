#include "binding/host/host_events.hpp"

#include <cstddef>
#include <cstring>
#include <string_view>

#include "binding/common/awaiting.hpp"
#include "binding/common/class_support.hpp"
#include "binding/host/host_body.hpp"
#include "binding/host/host_exchange.hpp"
#include "binding/host/host_reply.hpp"

namespace velmorquist::binding {
namespace {

// The most bytes held waiting for an event's end: an upstream that never
// ends an event fails the stream rather than grow the proxy without bound
// (OpenAI's events are a few hundred bytes).
constexpr Py_ssize_t kMostPending = 1 << 20;

// An async iterator and, from __anext__, its own awaitable: one read is
// under way at a time, so the object that is iterated can also be awaited,
// and a batch costs no coroutine.
struct EventsObject {
    PyObject_HEAD
    PyObject* reply;     // released when read to its end, else closed
    PyObject* content;   // the reply's byte stream (readany())
    PyObject* exchange;  // learns the usage and the time spent waiting
    PyObject* keys;      // tuple of bytes: the provider's keys
    PyObject* mask;      // str -> str, for a batch that holds a key
    PyObject* pending;   // bytearray: the start of an event not yet complete
    PyObject* wait;      // the read under way (its awaitable's iterator), or nullptr
    double asked;        // when that read began, on the exchange's clock
    bool keep_usage;
    bool at_end;         // the upstream sent everything and what was pending went out
    bool finished;       // the reply was released or closed
};

EventsObject* events_of(PyObject* self) { return reinterpret_cast<EventsObject*>(self); }

PyObject* EventsObject::*const kObjectFields[] = {
    &EventsObject::reply, &EventsObject::content, &EventsObject::exchange, &EventsObject::keys,
    &EventsObject::mask,  &EventsObject::pending, &EventsObject::wait,
};

PyTypeObject* events_type_slot = nullptr;
PyObject* readany_name = nullptr;
PyObject* release_name = nullptr;
PyObject* close_name = nullptr;

// Gives up the reply: released when it was read to its end (its connection
// serves the next call), else closed. False with an error set.
bool finish(EventsObject* events) {
    if (events->finished) return true;
    events->finished = true;
    PyRef done(PyObject_CallMethodNoArgs(events->reply, events->at_end ? release_name : close_name));
    return done != nullptr;
}

// After a failure: the reply closed, the failure kept (a failing close
// raises its own error, with the failure as its context).
void finish_after_failure(EventsObject* events) {
    if (events->finished) return;
    PyObject* failure = PyErr_GetRaisedException();
    events->at_end = false;
    if (finish(events)) {
        PyErr_SetRaisedException(failure);
        return;
    }
    PyObject* closing = PyErr_GetRaisedException();
    PyException_SetContext(closing, failure);
    PyErr_SetRaisedException(closing);
}

// New reference: `batch` with the provider's keys masked. A byte search per
// key is cheap; decoding happens only on a hit.
PyObject* masked(EventsObject* events, PyObject* batch) {
    const std::string_view text = bytes_text(batch);
    const Py_ssize_t count = PyTuple_GET_SIZE(events->keys);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (text.find(bytes_text(PyTuple_GET_ITEM(events->keys, i))) == std::string_view::npos)
            continue;
        PyRef decoded(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                           "replace"));
        PyRef hidden(decoded ? PyObject_CallOneArg(events->mask, decoded.get()) : nullptr);
        if (!hidden) return nullptr;
        if (!PyUnicode_Check(hidden.get())) {
            PyErr_Format(PyExc_TypeError, "UpstreamEvents mask must return str, not %.200s",
                         Py_TYPE(hidden.get())->tp_name);
            return nullptr;
        }
        return PyUnicode_AsUTF8String(hidden.get());
    }
    return Py_NewRef(batch);
}

// The stream is over: the reply given up, StopAsyncIteration raised.
// Always nullptr.
PyObject* end_of_stream(EventsObject* events) {
    if (finish(events)) PyErr_SetNone(PyExc_StopAsyncIteration);
    return nullptr;
}

// Starts the next read. False with an error set: StopAsyncIteration once
// the stream is over.
bool start_read(EventsObject* events) {
    if (events->finished || events->at_end) return end_of_stream(events) != nullptr;
    if (PyByteArray_GET_SIZE(events->pending) > kMostPending) {
        PyErr_Format(PyExc_ValueError, "an upstream event ran past %zd bytes", kMostPending);
        return false;
    }
    PyRef awaitable(PyObject_CallMethodNoArgs(events->content, readany_name));
    PyObject* wait = awaitable ? await_iterator(awaitable.get(), "readany()") : nullptr;
    if (wait == nullptr) return false;
    events->wait = wait;
    events->asked = perf_clock_s();
    return true;
}

// Appends `size` bytes to what is pending (a bytearray grows by a share of
// its size, so an event that comes a byte at a time costs linear time):
// false with an error set.
bool hold(EventsObject* events, const char* data, Py_ssize_t size) {
    const Py_ssize_t held = PyByteArray_GET_SIZE(events->pending);
    if (size == 0) return true;
    if (PyByteArray_Resize(events->pending, held + size) < 0) return false;
    std::memcpy(PyByteArray_AS_STRING(events->pending) + held, data, static_cast<std::size_t>(size));
    return true;
}

// New reference: the complete events of what is pending once `data` joins
// it, taken out of it as bytes; nullptr with an error set, or without one
// when no event is complete yet. Only the new part is searched (from three
// bytes back, for a blank line split between reads): what was pending held
// no complete event.
PyObject* complete_pending(EventsObject* events, PyObject* data) {
    const Py_ssize_t held = PyByteArray_GET_SIZE(events->pending);
    if (!hold(events, PyBytes_AS_STRING(data), PyBytes_GET_SIZE(data))) return nullptr;
    const char* all = PyByteArray_AS_STRING(events->pending);
    const Py_ssize_t total = PyByteArray_GET_SIZE(events->pending);
    const Py_ssize_t from = held > 3 ? held - 3 : 0;
    const std::size_t found =
        complete_events_end(std::string_view(all + from, static_cast<std::size_t>(total - from)));
    if (found == 0) return nullptr;
    const Py_ssize_t cut = from + static_cast<Py_ssize_t>(found);
    PyObject* complete = PyBytes_FromStringAndSize(all, cut);
    if (complete == nullptr) return nullptr;
    std::memmove(PyByteArray_AS_STRING(events->pending), all + cut,
                 static_cast<std::size_t>(total - cut));
    if (PyByteArray_Resize(events->pending, total - cut) < 0) {
        Py_DECREF(complete);
        return nullptr;
    }
    return complete;
}

// New reference: the events a read's `data` completes, masked; nullptr
// with an error set when the stream failed or ended, without one when
// there is nothing to hand on yet.
PyObject* take(EventsObject* events, PyObject* data) {
    if (!PyBytes_Check(data)) {
        PyErr_Format(PyExc_TypeError, "readany() gave %.200s, not bytes", Py_TYPE(data)->tp_name);
        return nullptr;
    }
    const Py_ssize_t held = PyByteArray_GET_SIZE(events->pending);
    if (PyBytes_GET_SIZE(data) == 0) {   // the upstream's end
        events->at_end = true;
        if (held == 0) return end_of_stream(events);
        PyRef rest(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(events->pending), held));
        if (!rest || PyByteArray_Resize(events->pending, 0) < 0) return nullptr;
        return masked(events, rest.get());
    }
    // Usually nothing is pending and the read is cut as it came.
    PyRef complete(held == 0 ? Py_NewRef(data) : complete_pending(events, data));
    if (!complete) return nullptr;
    EventBatch batch;
    if (!cut_events(complete.get(), events->keep_usage, batch)) return nullptr;
    if (!hold(events, PyBytes_AS_STRING(batch.rest.get()), PyBytes_GET_SIZE(batch.rest.get())))
        return nullptr;
    if (batch.usage) {
        PyRef usage(usage_value(batch.usage));
        PyRef taken(usage ? exchange_take_usage(events->exchange, usage.get()) : nullptr);
        if (!taken) return nullptr;
    }
    if (PyBytes_GET_SIZE(batch.ready.get()) == 0) return nullptr;
    return masked(events, batch.ready.get());
}

// What became of a read that ended.
enum class Ended { Gave, Failed, ReadMore };

// A read ended, with `value` (a new reference) or with an error set: Gave
// with `*out` the events to hand on, Failed, or ReadMore when it completed
// no event.
Ended read_ended(EventsObject* events, PyObject* value, PyObject** out) {
    Py_CLEAR(events->wait);
    exchange_add_waited(events->exchange, perf_clock_s() - events->asked);
    if (value == nullptr) {
        finish_after_failure(events);
        return Ended::Failed;
    }
    PyRef data(value);
    *out = take(events, data.get());
    if (*out != nullptr) return Ended::Gave;
    if (!PyErr_Occurred()) return Ended::ReadMore;
    finish_after_failure(events);
    return Ended::Failed;
}

// Reads until a read completes events (Gave), fails, or must wait (Waiting,
// with `*out` what it yields to the event loop). A loop, not a recursion:
// an upstream may send an event a byte at a time.
Step advance(EventsObject* events, PyObject* arg, PyObject** out) {
    for (;;) {
        if (events->wait == nullptr) {
            if (!start_read(events)) {
                finish_after_failure(events);
                return Step::Failed;
            }
            arg = Py_None;
        }
        // Held: a read's own code could drop the object's reference to it.
        PyRef wait(Py_NewRef(events->wait));
        PyObject* value = nullptr;
        const PySendResult sent = PyIter_Send(wait.get(), arg, &value);
        if (sent == PYGEN_NEXT) {
            *out = value;
            return Step::Waiting;
        }
        switch (read_ended(events, sent == PYGEN_RETURN ? value : nullptr, out)) {
            case Ended::Gave: return Step::Gave;
            case Ended::Failed: return Step::Failed;
            case Ended::ReadMore: break;
        }
        arg = Py_None;
    }
}

PySendResult events_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    *result = nullptr;
    switch (advance(events_of(self), arg, result)) {
        case Step::Waiting: return PYGEN_NEXT;
        case Step::Gave: return PYGEN_RETURN;
        case Step::Failed: break;
    }
    return PYGEN_ERROR;
}

PyObject* events_send(PyObject* self, PyObject* arg) {
    PyObject* out = nullptr;
    const Step step = advance(events_of(self), arg, &out);
    return as_generator_result(step, out);
}

PyObject* events_iternext(PyObject* self) { return events_send(self, Py_None); }

// throw(exception) or throw(type, value, traceback): into the read under
// way, which may handle it; raised here when none is.
PyObject* events_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw() takes 1 to 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    EventsObject* events = events_of(self);
    if (events->wait == nullptr) {
        raise_thrown(args, nargs);
        finish_after_failure(events);
        return nullptr;
    }
    PyObject* value = nullptr;
    PyObject* yielded = throw_into(events->wait, args, nargs, &value);
    if (yielded != nullptr) return yielded;   // the read handled it and goes on
    PyObject* out = nullptr;
    switch (read_ended(events, value, &out)) {
        case Ended::Gave: return as_generator_result(Step::Gave, out);
        case Ended::Failed: return nullptr;
        case Ended::ReadMore: break;
    }
    const Step step = advance(events, Py_None, &out);
    return as_generator_result(step, out);
}

// Stops: the read under way closed, the reply given up.
PyObject* events_close(PyObject* self, PyObject*) {
    EventsObject* events = events_of(self);
    PyRef wait(events->wait);
    events->wait = nullptr;
    if (wait) {
        PyRef closed(PyObject_CallMethodNoArgs(wait.get(), close_name));
        if (!closed) {
            finish_after_failure(events);
            return nullptr;
        }
    }
    if (!finish(events)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* events_self(PyObject* self) { return Py_NewRef(self); }

PyObject* events_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* reply = nullptr;
    PyObject* exchange = nullptr;
    PyObject* keep_usage = nullptr;
    PyObject* keys = nullptr;
    PyObject* mask = nullptr;
    if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) ||
        !PyArg_UnpackTuple(args, "UpstreamEvents", 5, 5, &reply, &exchange, &keep_usage, &keys,
                           &mask)) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "UpstreamEvents() takes no keyword arguments");
        return nullptr;
    }
    if (!is_exchange(exchange)) {
        PyErr_Format(PyExc_TypeError, "UpstreamEvents() exchange must be an Exchange, not %.200s",
                     Py_TYPE(exchange)->tp_name);
        return nullptr;
    }
    bool keys_ok = PyTuple_Check(keys);
    for (Py_ssize_t i = 0; keys_ok && i < PyTuple_GET_SIZE(keys); ++i)
        keys_ok = PyBytes_Check(PyTuple_GET_ITEM(keys, i));
    if (!keys_ok) {
        PyErr_SetString(PyExc_TypeError, "UpstreamEvents() keys must be a tuple of bytes");
        return nullptr;
    }
    if (!PyCallable_Check(mask)) {
        PyErr_Format(PyExc_TypeError, "UpstreamEvents() mask must be callable, not %.200s",
                     Py_TYPE(mask)->tp_name);
        return nullptr;
    }
    const int keep = PyObject_IsTrue(keep_usage);
    if (keep < 0) return nullptr;
    PyRef content(PyObject_GetAttrString(reply, "content"));
    PyRef pending(PyByteArray_FromStringAndSize(nullptr, 0));
    if (!content || !pending) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    EventsObject* events = events_of(self);
    events->reply = Py_NewRef(reply);
    events->content = content.release();
    events->exchange = Py_NewRef(exchange);
    events->keys = Py_NewRef(keys);
    events->mask = Py_NewRef(mask);
    events->pending = pending.release();
    events->keep_usage = keep != 0;
    return self;
}

int events_traverse(PyObject* self, visitproc visit, void* arg) {
    for (PyObject* EventsObject::*field : kObjectFields) Py_VISIT(events_of(self)->*field);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int events_clear(PyObject* self) {
    // Finished: a cleared object met again (a cycle's other finaliser) does nothing.
    events_of(self)->finished = true;
    for (PyObject* EventsObject::*field : kObjectFields) Py_CLEAR(events_of(self)->*field);
    return 0;
}

void events_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    events_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef events_methods[] = {
    {"send", events_send, METH_O, "send($self, value, /)\n--\n\nResumes the read under way."},
    {"throw", as_method(events_throw), METH_FASTCALL,
     "throw($self, exception, /)\n--\n\nRaises `exception` in the read under way."},
    {"close", events_close, METH_NOARGS,
     "close($self, /)\n--\n\nStops: the read under way is closed and the reply given up."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kEventsDoc[] =
    "UpstreamEvents(reply, exchange, keep_usage, keys, mask, /)\n--\n\n"
    "An upstream stream's complete server-sent events, a batch per read of\n"
    "`reply.content` that completes any (bytes, never an event cut in two).\n"
    "Unless `keep_usage` is true the chunk sent for the usage alone is left out;\n"
    "the usage read goes to `exchange.set_usage`, the time each read waited to\n"
    "`exchange.waited`. A batch holding one of `keys` (bytes) passes through\n"
    "`mask` (str -> str). The reply is released once read to its end, closed when\n"
    "the stream fails or is closed before; an event that runs past 1 MiB fails it.\n"
    "__anext__() returns the object itself: one read at a time.";

PyType_Slot events_slots[] = {
    {Py_tp_new, as_slot(events_new)},
    {Py_tp_dealloc, as_slot(events_dealloc)},
    {Py_tp_traverse, as_slot(events_traverse)},
    {Py_tp_clear, as_slot(events_clear)},
    {Py_tp_doc, const_cast<char*>(kEventsDoc)},
    {Py_tp_methods, events_methods},
    {Py_tp_iter, as_slot(events_self)},
    {Py_tp_iternext, as_slot(events_iternext)},
    {Py_am_aiter, as_slot(events_self)},
    {Py_am_anext, as_slot(events_self)},
    {Py_am_await, as_slot(events_self)},
    {Py_am_send, as_slot(events_am_send)},
    {0, nullptr},
};

PyType_Spec events_spec = {"velmorquist_proxy._host.UpstreamEvents", sizeof(EventsObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, events_slots};

bool intern(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

}  // namespace

int add_upstream_events_type(PyObject* module) {
    if (!intern(readany_name, "readany") || !intern(release_name, "release") ||
        !intern(close_name, "close"))
        return -1;
    PyTypeObject* type = type_from_spec(events_type_slot, events_spec);
    if (type == nullptr ||
        PyModule_AddIntConstant(module, "MOST_PENDING_BYTES", kMostPending) < 0)
        return -1;
    return PyModule_AddObjectRef(module, "UpstreamEvents", reinterpret_cast<PyObject*>(type));
}

}  // namespace velmorquist::binding
