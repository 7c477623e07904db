#include "binding/host/host_chunks.hpp"

#include <cmath>
#include <cstddef>

#include "binding/common/awaiting.hpp"
#include "binding/common/class_support.hpp"

namespace velmorquist::binding {
namespace {

// Gaps are handed to the state in batches of this many, and at the end.
constexpr Py_ssize_t kGapBatch = 256;
constexpr double kNever = HUGE_VAL;

// The fields the Python subclass reads and writes are members under the
// names it uses; `clock`, `wait` and `asked` are this base's own. One wait
// is under way at a time, so __anext__ returns the object itself to await.
struct ChunksObject {
    PyObject_HEAD
    PyObject* attempt;
    PyObject* source;
    PyObject* gaps;           // list of milliseconds between chunks, not yet handed on
    PyObject* source_error;   // what the source raised (or the stall), by identity
    PyObject* first_at;       // when a held first chunk came (hedging), or None
    PyObject* task;           // the task whose wait the watchdog cancels on a stall
    PyObject* watchdog;       // the event loop's, from the first wait on
    PyObject* clock;          // the gateway's clock
    PyObject* wait;           // the wait under way (an awaitable's iterator), or nullptr
    double first_chunk_ms;
    double first_s;
    double gap_s;
    double deadline;
    double started;
    double until;             // when the current wait must end, on the loop's clock
    double gap_at;            // the gap limit and the deadline, on the loop's clock
    double deadline_at;
    double asked;             // when the current wait began, on the gateway's clock
    Py_ssize_t chunks;
    Py_ssize_t cancelling;    // the task's cancellation count when it adopted the wait
    bool committed;
    bool hold;                // the first chunk commits only when commit() is called
    bool finished;
    bool stall;               // the watchdog cancelled the wait
    bool epilogue;            // `wait` is what the subclass returned for a failed wait
};

ChunksObject* chunks_of(PyObject* self) { return reinterpret_cast<ChunksObject*>(self); }

PyObject* ChunksObject::*const kObjectFields[] = {
    &ChunksObject::attempt,  &ChunksObject::source, &ChunksObject::gaps,
    &ChunksObject::source_error, &ChunksObject::first_at, &ChunksObject::task,
    &ChunksObject::watchdog, &ChunksObject::clock,  &ChunksObject::wait,
};

// A member a caller deleted reads as None.
PyObject* or_none(PyObject* value) { return value == nullptr ? Py_None : value; }

PyTypeObject* chunks_type_slot = nullptr;
PyObject* current_task = nullptr;   // asyncio.current_task, looked up on first use
struct Names {
    PyObject* start;
    PyObject* failed_wait;
    PyObject* arrived_first;
    PyObject* flush_gaps;
    PyObject* release;
    PyObject* cancelling;
    PyObject* uncancel;
    PyObject* at;
    PyObject* arm;
    PyObject* close;
    PyObject* context;
    PyObject* clock;
    PyObject* deadline;
} names = {};

// The gateway's clock, read: false with an error set.
bool read_clock(ChunksObject* chunks, double& now) {
    PyRef reading(PyObject_CallNoArgs(chunks->clock));
    return reading && to_double(reading.get(), now);
}

PyObject* call_method(PyObject* self, PyObject* name) { return PyObject_CallMethodNoArgs(self, name); }

PyObject* call_method(PyObject* self, PyObject* name, double value) {
    PyRef number(PyFloat_FromDouble(value));
    return number ? PyObject_CallMethodOneArg(self, name, number.get()) : nullptr;
}

// Whoever asks for a chunk adopts the stall check (a hedge's winner is read
// by another task than its start): false with an error set.
bool adopt_task(ChunksObject* chunks) {
    if (current_task == nullptr) {
        PyRef asyncio(PyImport_ImportModule("asyncio"));
        current_task = asyncio ? PyObject_GetAttrString(asyncio.get(), "current_task") : nullptr;
        if (current_task == nullptr) return false;
    }
    PyRef task(PyObject_CallNoArgs(current_task));
    if (!task) return false;
    if (task.get() == Py_None) {
        PyErr_SetString(PyExc_RuntimeError, "an async stream is read outside a task");
        return false;
    }
    PyRef count(call_method(task.get(), names.cancelling));
    const Py_ssize_t cancelling = count ? PyLong_AsSsize_t(count.get()) : -1;
    if (cancelling == -1 && PyErr_Occurred()) return false;
    Py_XSETREF(chunks->task, task.release());
    chunks->cancelling = cancelling;
    return true;
}

// Sets when the coming wait must end and tells the watchdog when that is
// earlier than it will look: false with an error set.
bool watch(PyObject* self, ChunksObject* chunks) {
    double until = 0.0;
    if (or_none(chunks->watchdog) == Py_None) {
        PyRef watchdog(call_method(self, names.start, chunks->asked));
        if (!watchdog) return false;
        until = chunks->until;
    } else {
        until = chunks->asked + chunks->gap_at;
        if (until > chunks->deadline_at) until = chunks->deadline_at;
    }
    if (until == kNever) return true;
    chunks->until = until;
    if (or_none(chunks->task) == Py_None && !adopt_task(chunks)) return false;
    PyObject* watchdog = or_none(chunks->watchdog);
    PyRef at_object(PyObject_GetAttr(watchdog, names.at));
    double at = 0.0;
    if (!at_object || !to_double(at_object.get(), at)) return false;
    if (until < at) {
        PyRef armed(call_method(watchdog, names.arm, until));
        if (!armed) return false;
    }
    return true;
}

// How a wait could not start.
enum class Start { Started, Refused, WaitFailed };

Start start_wait(PyObject* self, ChunksObject* chunks) {
    if (chunks->finished) {
        PyErr_SetNone(PyExc_StopAsyncIteration);
        return Start::Refused;
    }
    if (!read_clock(chunks, chunks->asked) || !watch(self, chunks)) return Start::Refused;
    PyObject* source = or_none(chunks->source);
    const PyAsyncMethods* async = Py_TYPE(source)->tp_as_async;
    if (async == nullptr || async->am_anext == nullptr) {
        PyErr_Format(PyExc_TypeError, "an async stream's source must be an async iterator, not %.200s",
                     Py_TYPE(source)->tp_name);
        return Start::WaitFailed;
    }
    PyRef awaitable(async->am_anext(source));
    chunks->wait = awaitable ? await_iterator(awaitable.get(), "__anext__()") : nullptr;
    return chunks->wait != nullptr ? Start::Started : Start::WaitFailed;
}

Step advance(PyObject* self, PyObject* arg, PyObject** out);

// Raises `error` (a new reference) when it is an exception: true then.
bool raised(PyObject* error) {
    if (!PyExceptionInstance_Check(error)) return false;
    PyErr_SetRaisedException(error);
    return true;
}

// The wait for a chunk failed (its error set): the subclass ends the stream
// and returns the exception the caller gets, or an awaitable that does.
Step wait_failed(PyObject* self, ChunksObject* chunks, PyObject** out) {
    PyRef error(PyErr_GetRaisedException());
    PyRef then(PyObject_CallMethodOneArg(self, names.failed_wait, error.get()));
    if (!then) return Step::Failed;
    if (raised(then.get())) {
        then.release();
        return Step::Failed;
    }
    chunks->wait = await_iterator(then.get(), "_failed_wait()");
    if (chunks->wait == nullptr) return Step::Failed;
    chunks->epilogue = true;
    return advance(self, Py_None, out);
}

// A chunk came: its timing recorded, it is handed on.
Step chunk_came(PyObject* self, ChunksObject* chunks, PyObject* chunk, PyObject** out) {
    PyRef held(chunk);
    chunks->until = kNever;
    if (chunks->stall) {   // the watchdog fired as the chunk came: keep the chunk
        chunks->stall = false;
        PyRef uncancelled(call_method(or_none(chunks->task), names.uncancel));
        if (!uncancelled) return Step::Failed;
    }
    double now = 0.0;
    if (!read_clock(chunks, now)) return Step::Failed;
    const Py_ssize_t n = chunks->chunks;
    if (n != 0) {
        PyObject* gaps = or_none(chunks->gaps);
        if (!PyList_CheckExact(gaps)) {
            PyErr_SetString(PyExc_TypeError, "an async stream's gaps must be a list");
            return Step::Failed;
        }
        PyRef gap(PyFloat_FromDouble((now - chunks->asked) * 1000.0));
        if (!gap || PyList_Append(gaps, gap.get()) < 0) return Step::Failed;
        if (n % kGapBatch == 0) {
            PyRef flushed(call_method(self, names.flush_gaps));
            if (!flushed) return Step::Failed;
        }
    } else {
        PyRef arrived(call_method(self, names.arrived_first, now));
        if (!arrived) return Step::Failed;
        Py_XSETREF(chunks->task, Py_NewRef(Py_None));
    }
    chunks->chunks = n + 1;
    *out = held.release();
    return Step::Gave;
}

// The wait under way ended with `value` (a new reference), or with its
// error set when `value` is nullptr.
Step wait_ended(PyObject* self, PyObject* value, PyObject** out) {
    ChunksObject* chunks = chunks_of(self);
    Py_CLEAR(chunks->wait);
    if (chunks->epilogue) {
        chunks->epilogue = false;
        if (value == nullptr || raised(value)) return Step::Failed;
        *out = value;
        return Step::Gave;
    }
    if (value == nullptr) return wait_failed(self, chunks, out);
    return chunk_came(self, chunks, value, out);
}

Step advance(PyObject* self, PyObject* arg, PyObject** out) {
    ChunksObject* chunks = chunks_of(self);
    if (chunks->wait == nullptr) {
        switch (start_wait(self, chunks)) {
            case Start::Started: break;
            case Start::Refused: return Step::Failed;
            case Start::WaitFailed: return wait_failed(self, chunks, out);
        }
        arg = Py_None;
    }
    // Held: the wait's own code could drop the object's reference to it.
    PyRef wait(Py_NewRef(chunks->wait));
    PyObject* value = nullptr;
    const PySendResult sent = PyIter_Send(wait.get(), arg, &value);
    if (sent == PYGEN_NEXT) {
        *out = value;
        return Step::Waiting;
    }
    return wait_ended(self, sent == PYGEN_RETURN ? value : nullptr, out);
}

PyObject* chunks_iternext(PyObject* self) {
    PyObject* out = nullptr;
    const Step step = advance(self, Py_None, &out);
    return as_generator_result(step, out);
}

PySendResult chunks_am_send(PyObject* self, PyObject* arg, PyObject** result) {
    *result = nullptr;
    switch (advance(self, arg, result)) {
        case Step::Waiting: return PYGEN_NEXT;
        case Step::Gave: return PYGEN_RETURN;
        case Step::Failed: break;
    }
    return PYGEN_ERROR;
}

PyObject* chunks_send(PyObject* self, PyObject* arg) {
    PyObject* out = nullptr;
    const Step step = advance(self, arg, &out);
    return as_generator_result(step, out);
}

// throw(exception): into the wait under way (a task's cancellation comes
// this way), which may handle it; raised here when none is.
PyObject* chunks_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw() takes 1 to 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    ChunksObject* chunks = chunks_of(self);
    if (chunks->wait == nullptr) return raise_thrown(args, nargs);
    PyObject* value = nullptr;
    PyObject* yielded = throw_into(chunks->wait, args, nargs, &value);
    if (yielded != nullptr) return yielded;
    PyObject* out = nullptr;
    const Step step = wait_ended(self, value, &out);
    return as_generator_result(step, out);
}

// The coroutine awaiting a chunk was closed: the wait is closed and, unless
// it was the failure's own ending, the stream ends.
PyObject* chunks_close(PyObject* self, PyObject*) {
    ChunksObject* chunks = chunks_of(self);
    PyRef wait(chunks->wait);
    chunks->wait = nullptr;
    const bool epilogue = chunks->epilogue;
    chunks->epilogue = false;
    if (wait) {
        PyRef closed(call_method(wait.get(), names.close));
        if (!closed) return nullptr;
    }
    if (wait && !epilogue) return call_method(self, names.release);
    Py_RETURN_NONE;
}

PyObject* chunks_self(PyObject* self) { return Py_NewRef(self); }

PyObject* chunks_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* attempt = nullptr;
    PyObject* source = nullptr;
    PyObject* started = nullptr;
    PyObject* first_s = nullptr;
    PyObject* gap_s = nullptr;
    if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) ||
        !PyArg_UnpackTuple(args, "AsyncChunks", 5, 5, &attempt, &source, &started, &first_s,
                           &gap_s)) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "AsyncChunks() takes no keyword arguments");
        return nullptr;
    }
    double numbers[3] = {};
    PyObject* given[3] = {started, first_s, gap_s};
    for (int i = 0; i < 3; ++i) {
        if (!to_double(given[i], numbers[i])) return nullptr;
    }
    PyRef context(PyObject_GetAttr(attempt, names.context));
    PyRef clock(context ? PyObject_GetAttr(context.get(), names.clock) : nullptr);
    PyRef deadline_object(clock ? PyObject_GetAttr(attempt, names.deadline) : nullptr);
    double deadline = 0.0;
    if (!deadline_object || !to_double(deadline_object.get(), deadline)) return nullptr;
    PyRef gaps(PyList_New(0));
    if (!gaps) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    ChunksObject* chunks = chunks_of(self);
    for (PyObject* ChunksObject::*field : kObjectFields) {
        if (field != &ChunksObject::wait) chunks->*field = Py_NewRef(Py_None);
    }
    Py_SETREF(chunks->attempt, Py_NewRef(attempt));
    Py_SETREF(chunks->source, Py_NewRef(source));
    Py_SETREF(chunks->gaps, gaps.release());
    Py_SETREF(chunks->clock, clock.release());
    chunks->started = numbers[0];
    chunks->first_s = numbers[1];
    chunks->gap_s = numbers[2];
    chunks->deadline = deadline;
    chunks->until = kNever;
    chunks->gap_at = kNever;
    chunks->deadline_at = kNever;
    return self;
}

int chunks_traverse(PyObject* self, visitproc visit, void* arg) {
    for (PyObject* ChunksObject::*field : kObjectFields) Py_VISIT(chunks_of(self)->*field);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int chunks_clear(PyObject* self) {
    for (PyObject* ChunksObject::*field : kObjectFields) Py_CLEAR(chunks_of(self)->*field);
    return 0;
}

void chunks_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    chunks_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef chunks_methods[] = {
    {"send", chunks_send, METH_O, "send($self, value, /)\n--\n\nResumes the wait under way."},
    {"throw", as_method(chunks_throw), METH_FASTCALL,
     "throw($self, exception, /)\n--\n\nRaises `exception` in the wait under way."},
    {"close", chunks_close, METH_NOARGS,
     "close($self, /)\n--\n\nThe coroutine awaiting a chunk was closed: so is the stream."},
    {nullptr, nullptr, 0, nullptr},
};

#define CHUNKS_MEMBER(name, field, kind) \
    {name, kind, offsetof(ChunksObject, field), 0, nullptr}

PyMemberDef chunks_members[] = {
    CHUNKS_MEMBER("attempt", attempt, Py_T_OBJECT_EX),
    CHUNKS_MEMBER("source", source, Py_T_OBJECT_EX),
    CHUNKS_MEMBER("gaps", gaps, Py_T_OBJECT_EX),
    CHUNKS_MEMBER("source_error", source_error, Py_T_OBJECT_EX),
    CHUNKS_MEMBER("first_at", first_at, Py_T_OBJECT_EX),
    CHUNKS_MEMBER("_task", task, Py_T_OBJECT_EX),
    CHUNKS_MEMBER("_watchdog", watchdog, Py_T_OBJECT_EX),
    CHUNKS_MEMBER("first_chunk_ms", first_chunk_ms, Py_T_DOUBLE),
    CHUNKS_MEMBER("_first_s", first_s, Py_T_DOUBLE),
    CHUNKS_MEMBER("_gap_s", gap_s, Py_T_DOUBLE),
    CHUNKS_MEMBER("_deadline", deadline, Py_T_DOUBLE),
    CHUNKS_MEMBER("_started", started, Py_T_DOUBLE),
    CHUNKS_MEMBER("_until", until, Py_T_DOUBLE),
    CHUNKS_MEMBER("_gap_at", gap_at, Py_T_DOUBLE),
    CHUNKS_MEMBER("_deadline_at", deadline_at, Py_T_DOUBLE),
    CHUNKS_MEMBER("chunks", chunks, Py_T_PYSSIZET),
    CHUNKS_MEMBER("_cancelling", cancelling, Py_T_PYSSIZET),
    CHUNKS_MEMBER("committed", committed, Py_T_BOOL),
    CHUNKS_MEMBER("hold", hold, Py_T_BOOL),
    CHUNKS_MEMBER("finished", finished, Py_T_BOOL),
    CHUNKS_MEMBER("_stall", stall, Py_T_BOOL),
    {nullptr, 0, 0, 0, nullptr},
};

constexpr const char kChunksDoc[] =
    "AsyncChunks(attempt, source, started, first_s, gap_s, /)\n--\n\n"
    "The native base of stream.AsyncStream: iterates `source` (an async iterator),\n"
    "timing each chunk on the attempt's context clock. __anext__() returns the\n"
    "object itself to await. It calls its subclass's _start(asked) before the\n"
    "first wait, _arrived_first(now) with the first chunk, _flush_gaps() every\n"
    "256 chunks, _failed_wait(error) when a wait fails (which returns the exception\n"
    "to raise, or an awaitable that returns it) and release() when the awaiting\n"
    "coroutine is closed.";

PyType_Slot chunks_slots[] = {
    {Py_tp_new, as_slot(chunks_new)},
    {Py_tp_dealloc, as_slot(chunks_dealloc)},
    {Py_tp_traverse, as_slot(chunks_traverse)},
    {Py_tp_clear, as_slot(chunks_clear)},
    {Py_tp_doc, const_cast<char*>(kChunksDoc)},
    {Py_tp_methods, chunks_methods},
    {Py_tp_members, chunks_members},
    {Py_tp_iter, as_slot(chunks_self)},
    {Py_tp_iternext, as_slot(chunks_iternext)},
    {Py_am_aiter, as_slot(chunks_self)},
    {Py_am_anext, as_slot(chunks_self)},
    {Py_am_await, as_slot(chunks_self)},
    {Py_am_send, as_slot(chunks_am_send)},
    {0, nullptr},
};

// Subclassed by the gateway's AsyncStream, which adds the rare paths.
PyType_Spec chunks_spec = {"velmorquist_proxy._host.AsyncChunks", sizeof(ChunksObject), 0,
                           Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
                           chunks_slots};

bool intern(PyObject*& slot, const char* text) {
    if (slot == nullptr) slot = PyUnicode_InternFromString(text);
    return slot != nullptr;
}

}  // namespace

int add_async_chunks_type(PyObject* module) {
    if (!intern(names.start, "_start") || !intern(names.failed_wait, "_failed_wait") ||
        !intern(names.arrived_first, "_arrived_first") ||
        !intern(names.flush_gaps, "_flush_gaps") || !intern(names.release, "release") ||
        !intern(names.cancelling, "cancelling") || !intern(names.uncancel, "uncancel") ||
        !intern(names.at, "at") || !intern(names.arm, "arm") || !intern(names.close, "close") ||
        !intern(names.context, "_context") || !intern(names.clock, "clock") ||
        !intern(names.deadline, "_deadline"))
        return -1;
    PyTypeObject* type = type_from_spec(chunks_type_slot, chunks_spec);
    if (type == nullptr) return -1;
    return PyModule_AddObjectRef(module, "AsyncChunks", reinterpret_cast<PyObject*>(type));
}

}  // namespace velmorquist::binding
