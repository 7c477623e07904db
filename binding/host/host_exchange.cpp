#include "binding/host/host_exchange.hpp"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "binding/common/args.hpp"
#include "binding/common/class_support.hpp"
#include "binding/host/host_log.hpp"
#include "core/base/format.hpp"

namespace velmorquist::binding {
namespace {

// A client's request id is echoed back if it is this short and printable.
constexpr Py_ssize_t kMostRequestIdChars = 128;
// The access log keeps this much of a model name a client sent.
constexpr Py_ssize_t kMostLoggedModelChars = 200;

// Request ids unique across processes: a random prefix per process and a
// counter. The prefix is set anew in a forked child (restart_request_ids).
struct RequestIds {
    char prefix[16] = {'0', '0', '0', '0', '0', '0', '0', '0',
                       '0', '0', '0', '0', '0', '0', '0', '0'};
    std::uint64_t next = 0;
    long worker = 0;
};
RequestIds ids;

constexpr char kHex[] = "0123456789abcdef";

PyObject* new_request_id() {
    PyObject* text = PyUnicode_New(32, 127);
    if (text == nullptr) return nullptr;
    auto* out = static_cast<char*>(PyUnicode_DATA(text));
    std::memcpy(out, ids.prefix, sizeof ids.prefix);
    const std::uint64_t number = ids.next++;
    for (int i = 0; i < 16; ++i) out[16 + i] = kHex[(number >> (60 - 4 * i)) & 0xF];
    return text;
}

bool printable(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (!Py_UNICODE_ISPRINTABLE(PyUnicode_READ(kind, data, i))) return false;
    }
    return true;
}

// The client's id when it is short and printable, else a new one.
PyObject* request_id_of(PyObject* given) {
    if (PyUnicode_Check(given)) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(given);
        if (length > 0 && length <= kMostRequestIdChars && printable(given))
            return Py_NewRef(given);
    }
    return new_request_id();
}

// perf_counter's clock on Linux, so that the Python side's figures and
// these subtract.
double monotonic_s() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

double wall_s() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct ExchangeObject {
    PyObject_HEAD
    PyObject* request_id;
    PyObject* path;
    PyObject* model;           // as the client asked (for the log)
    PyObject* known_model;     // a configured model's name: bounded, for metric labels
    PyObject* provider;
    PyObject* tokens_in;
    PyObject* tokens_out;
    PyObject* attempt;         // the gateway's attempt of the latest upstream call
    PyObject* first_chunk_s;
    PyObject* outcome;         // for the metrics: success, upstream_error, ...
    PyObject* upstream_error;  // (status, body, headers) of a refused call
    double started;
    double waited;             // seconds spent waiting on upstreams (and a slow client)
    long long attempts;        // calls that went upstream
    long long status;
    bool stream;
};

ExchangeObject* exchange_of(PyObject* self) { return reinterpret_cast<ExchangeObject*>(self); }

// The object fields, for the collector and the constructor.
PyObject* ExchangeObject::*const kObjectFields[] = {
    &ExchangeObject::request_id, &ExchangeObject::path,       &ExchangeObject::model,
    &ExchangeObject::known_model, &ExchangeObject::provider,  &ExchangeObject::tokens_in,
    &ExchangeObject::tokens_out, &ExchangeObject::attempt,    &ExchangeObject::first_chunk_s,
    &ExchangeObject::outcome,    &ExchangeObject::upstream_error,
};

// A field a caller deleted reads as None.
PyObject* or_none(PyObject* value) { return value == nullptr ? Py_None : value; }

PyTypeObject* exchange_type_slot = nullptr;
PyObject* no_provider = nullptr;
PyObject* used_tokens_name = nullptr;

PyObject* exchange_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* given = nullptr;
    PyObject* path = nullptr;
    if ((kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0) ||
        !PyArg_UnpackTuple(args, "Exchange", 2, 2, &given, &path)) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_TypeError, "Exchange() takes no keyword arguments");
        return nullptr;
    }
    if (!PyUnicode_Check(path)) {
        PyErr_Format(PyExc_TypeError, "Exchange() path must be str, not %.200s",
                     Py_TYPE(path)->tp_name);
        return nullptr;
    }
    PyRef request_id(request_id_of(given));
    if (!request_id) return nullptr;
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    ExchangeObject* exchange = exchange_of(self);
    for (PyObject* ExchangeObject::*field : kObjectFields) exchange->*field = Py_NewRef(Py_None);
    Py_SETREF(exchange->request_id, request_id.release());
    Py_SETREF(exchange->path, Py_NewRef(path));
    Py_SETREF(exchange->known_model, Py_NewRef(Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR)));
    exchange->started = monotonic_s();
    return self;
}

int exchange_traverse(PyObject* self, visitproc visit, void* arg) {
    for (PyObject* ExchangeObject::*field : kObjectFields) Py_VISIT(exchange_of(self)->*field);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int exchange_clear(PyObject* self) {
    for (PyObject* ExchangeObject::*field : kObjectFields) Py_CLEAR(exchange_of(self)->*field);
    return 0;
}

void exchange_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    exchange_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// Time in the proxy up to `now` minus time waiting on upstreams.
double overhead_ms_at(const ExchangeObject* exchange, double now) {
    const double overhead_s = now - exchange->started - exchange->waited;
    return overhead_s > 0.0 ? overhead_s * 1000.0 : 0.0;
}

PyObject* exchange_overhead_ms(PyObject* self, PyObject*) {
    return PyFloat_FromDouble(overhead_ms_at(exchange_of(self), monotonic_s()));
}

// A response's headers are a copy of a dict that already names them all,
// its values then replaced: cloning a small dict's table and replacing four
// values costs about half of what inserting the names anew does. The names are
// multidict's istr when it is there, which aiohttp's header dict takes
// without folding their case again (4 thousand instructions a response).
enum HeaderTemplate { kPlainHeaders, kStreamHeaders, kHeaderTemplates };
PyObject* header_templates[kHeaderTemplates] = {};
PyObject* header_names[4] = {};
// The attempt counts most requests have, as header values made once.
constexpr long long kCountTexts = 16;
PyObject* count_texts[kCountTexts] = {};

bool make_header_templates() {
    static const char* const names[4] = {"x-request-id", "x-velmorquist-provider",
                                         "x-velmorquist-attempts", "x-velmorquist-overhead-ms"};
    static const char* const stream_headers[2][2] = {{"content-type", "text/event-stream"},
                                                     {"cache-control", "no-cache"}};
    PyRef multidict(PyImport_ImportModule("multidict"));
    PyRef istr(multidict ? PyObject_GetAttrString(multidict.get(), "istr") : nullptr);
    if (!istr) {
        if (!PyErr_ExceptionMatches(PyExc_ImportError) &&
            !PyErr_ExceptionMatches(PyExc_AttributeError))
            return false;
        PyErr_Clear();
    }
    auto name_of = [&](const char* text) {
        PyRef name(PyUnicode_InternFromString(text));
        if (name && istr) name.reset(PyObject_CallOneArg(istr.get(), name.get()));
        return name;
    };
    PyRef plain(PyDict_New());
    PyRef stream(PyDict_New());
    if (!plain || !stream) return false;
    for (const auto& [name_text, value_text] : stream_headers) {
        PyRef name = name_of(name_text);
        PyRef value(name ? PyUnicode_InternFromString(value_text) : nullptr);
        if (!value || PyDict_SetItem(stream.get(), name.get(), value.get()) < 0) return false;
    }
    PyRef made[4];
    for (int i = 0; i < 4; ++i) {
        made[i] = name_of(names[i]);
        if (!made[i] || PyDict_SetItem(plain.get(), made[i].get(), Py_None) < 0 ||
            PyDict_SetItem(stream.get(), made[i].get(), Py_None) < 0)
            return false;
    }
    PyRef counts[kCountTexts];
    for (long long i = 0; i < kCountTexts; ++i) {
        counts[i].reset(PyUnicode_FromFormat("%lld", i));
        if (!counts[i]) return false;
    }
    // Kept only once all are made, so a failure leaves nothing half set.
    for (int i = 0; i < 4; ++i) header_names[i] = made[i].release();
    for (long long i = 0; i < kCountTexts; ++i) count_texts[i] = counts[i].release();
    header_templates[kPlainHeaders] = plain.release();
    header_templates[kStreamHeaders] = stream.release();
    return true;
}

PyObject* count_text(long long count) {
    if (0 <= count && count < kCountTexts) return Py_NewRef(count_texts[count]);
    return PyUnicode_FromFormat("%lld", count);
}

PyObject* headers_from(PyObject* self, HeaderTemplate which) {
    if (header_templates[which] == nullptr && !make_header_templates()) return nullptr;
    ExchangeObject* exchange = exchange_of(self);
    PyObject* provider = or_none(exchange->provider);
    if (provider != Py_None && !PyUnicode_Check(provider)) {
        PyErr_Format(PyExc_TypeError, "Exchange.provider must be str or None, not %.200s",
                     Py_TYPE(provider)->tp_name);
        return nullptr;
    }
    std::string overhead;
    append_fixed(overhead, overhead_ms_at(exchange, monotonic_s()), 3);
    PyRef values[4] = {
        PyRef(Py_NewRef(or_none(exchange->request_id))),
        PyRef(Py_NewRef(provider == Py_None ? no_provider : provider)),
        PyRef(count_text(exchange->attempts)),
        PyRef(PyUnicode_FromStringAndSize(overhead.data(),
                                          static_cast<Py_ssize_t>(overhead.size()))),
    };
    PyRef headers(PyDict_Copy(header_templates[which]));
    if (!headers) return nullptr;
    for (int i = 0; i < 4; ++i) {
        if (!values[i] || PyDict_SetItem(headers.get(), header_names[i], values[i].get()) < 0)
            return nullptr;
    }
    return headers.release();
}

PyObject* exchange_headers(PyObject* self, PyObject*) { return headers_from(self, kPlainHeaders); }

PyObject* exchange_stream_headers(PyObject* self, PyObject*) {
    return headers_from(self, kStreamHeaders);
}

PyObject* exchange_log_line(PyObject* self, PyObject* method) {
    ExchangeObject* exchange = exchange_of(self);
    PyRef model(Py_NewRef(or_none(exchange->model)));
    if (PyUnicode_Check(model.get()) && PyUnicode_GET_LENGTH(model.get()) > kMostLoggedModelChars) {
        model.reset(PyUnicode_Substring(model.get(), 0, kMostLoggedModelChars));
        if (!model) return nullptr;
    }
    AccessFields fields;
    fields.time_s = wall_s();
    fields.request_id = or_none(exchange->request_id);
    fields.worker = ids.worker;
    fields.method = method;
    fields.path = or_none(exchange->path);
    fields.model = model.get();
    fields.provider = or_none(exchange->provider);
    fields.status = exchange->status;
    fields.attempts = exchange->attempts;
    fields.stream = exchange->stream;
    const double now = monotonic_s();   // one reading for both figures
    fields.latency_ms = (now - exchange->started) * 1000.0;
    fields.overhead_ms = overhead_ms_at(exchange, now);
    fields.tokens_in = or_none(exchange->tokens_in);
    fields.tokens_out = or_none(exchange->tokens_out);
    return access_line_of(fields);
}

PyObject* exchange_set_usage(PyObject* self, PyObject* usage) {
    ExchangeObject* exchange = exchange_of(self);
    if (!PyTuple_Check(usage) || PyTuple_GET_SIZE(usage) != 2) {
        PyErr_SetString(PyExc_TypeError, "Exchange.set_usage() takes a tuple (input, output)");
        return nullptr;
    }
    PyObject* input = PyTuple_GET_ITEM(usage, 0);
    PyObject* output = PyTuple_GET_ITEM(usage, 1);
    PyRef total(PyNumber_Add(input, output));
    if (!total) return nullptr;
    Py_XSETREF(exchange->tokens_in, Py_NewRef(input));
    Py_XSETREF(exchange->tokens_out, Py_NewRef(output));
    PyObject* attempt = or_none(exchange->attempt);
    if (attempt == Py_None) Py_RETURN_NONE;
    PyObject* call[] = {attempt, total.get()};
    return PyObject_VectorcallMethod(used_tokens_name, call, 2, nullptr);
}

constexpr const char kOverheadMsDoc[] =
    "overhead_ms($self)\n--\n\nTime in the proxy so far minus time waiting on upstreams.";
constexpr const char kHeadersDoc[] =
    "headers($self)\n--\n\nThe x-request-id and x-velmorquist-* response headers, as a dict.";
constexpr const char kStreamHeadersDoc[] =
    "stream_headers($self)\n--\n\n"
    "A stream's response headers, as a dict: its content type and cache control, then\n"
    "the same as headers().";
constexpr const char kLogLineDoc[] =
    "log_line($self, method)\n--\n\nThe request's access-log line (see access_line).";
constexpr const char kSetUsageDoc[] =
    "set_usage($self, usage)\n--\n\n"
    "The (input, output) token counts of the reply; the latest attempt settles their sum.";

PyMethodDef exchange_methods[] = {
    {"overhead_ms", exchange_overhead_ms, METH_NOARGS, kOverheadMsDoc},
    {"headers", exchange_headers, METH_NOARGS, kHeadersDoc},
    {"stream_headers", exchange_stream_headers, METH_NOARGS, kStreamHeadersDoc},
    {"log_line", exchange_log_line, METH_O, kLogLineDoc},
    {"set_usage", exchange_set_usage, METH_O, kSetUsageDoc},
    {nullptr, nullptr, 0, nullptr},
};

#define EXCHANGE_OBJECT(name, flags) \
    {#name, Py_T_OBJECT_EX, offsetof(ExchangeObject, name), flags, nullptr}

PyMemberDef exchange_members[] = {
    EXCHANGE_OBJECT(request_id, Py_READONLY),
    EXCHANGE_OBJECT(path, Py_READONLY),
    EXCHANGE_OBJECT(model, 0),
    EXCHANGE_OBJECT(known_model, 0),
    EXCHANGE_OBJECT(provider, 0),
    EXCHANGE_OBJECT(tokens_in, 0),
    EXCHANGE_OBJECT(tokens_out, 0),
    EXCHANGE_OBJECT(attempt, 0),
    EXCHANGE_OBJECT(first_chunk_s, 0),
    EXCHANGE_OBJECT(outcome, 0),
    EXCHANGE_OBJECT(upstream_error, 0),
    {"started", Py_T_DOUBLE, offsetof(ExchangeObject, started), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

#undef EXCHANGE_OBJECT

// The numbers are properties rather than members: a member's setter stores
// its conversion's -1 before it reports that the conversion failed.
bool settable(PyObject* value, const char* name) {
    if (value != nullptr) return true;
    PyErr_Format(PyExc_AttributeError, "Exchange.%s cannot be deleted", name);
    return false;
}

PyObject* get_waited(PyObject* self, void*) { return PyFloat_FromDouble(exchange_of(self)->waited); }

int set_waited(PyObject* self, PyObject* value, void*) {
    double waited = 0.0;
    if (!settable(value, "waited") || !to_double(value, waited)) return -1;
    exchange_of(self)->waited = waited;
    return 0;
}

template <long long ExchangeObject::*Field>
PyObject* get_count(PyObject* self, void*) {
    return PyLong_FromLongLong(exchange_of(self)->*Field);
}

template <long long ExchangeObject::*Field>
int set_count(PyObject* self, PyObject* value, void* name) {
    if (!settable(value, static_cast<const char*>(name))) return -1;
    PyRef index(PyNumber_Index(value));
    if (!index) return -1;
    const long long count = PyLong_AsLongLong(index.get());
    if (count == -1 && PyErr_Occurred()) return -1;
    exchange_of(self)->*Field = count;
    return 0;
}

PyObject* get_stream(PyObject* self, void*) { return PyBool_FromLong(exchange_of(self)->stream); }

int set_stream(PyObject* self, PyObject* value, void*) {
    if (!settable(value, "stream")) return -1;
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) return -1;
    exchange_of(self)->stream = truth != 0;
    return 0;
}

PyGetSetDef exchange_getsets[] = {
    {"waited", get_waited, set_waited, nullptr, nullptr},
    {"attempts", get_count<&ExchangeObject::attempts>, set_count<&ExchangeObject::attempts>,
     nullptr, const_cast<char*>("attempts")},
    {"status", get_count<&ExchangeObject::status>, set_count<&ExchangeObject::status>, nullptr,
     const_cast<char*>("status")},
    {"stream", get_stream, set_stream, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kExchangeDoc[] =
    "Exchange(request_id, path)\n--\n\n"
    "What the server knows about one request, for its response headers, its\n"
    "access-log line and its metrics. `request_id`: the client's, kept when it is\n"
    "a printable str of at most 128 characters, else a new one. `started` is on\n"
    "time.perf_counter's clock.";

PyType_Slot exchange_slots[] = {
    {Py_tp_new, as_slot(exchange_new)},
    {Py_tp_dealloc, as_slot(exchange_dealloc)},
    {Py_tp_traverse, as_slot(exchange_traverse)},
    {Py_tp_clear, as_slot(exchange_clear)},
    {Py_tp_doc, const_cast<char*>(kExchangeDoc)},
    {Py_tp_methods, exchange_methods},
    {Py_tp_members, exchange_members},
    {Py_tp_getset, exchange_getsets},
    {0, nullptr},
};

PyType_Spec exchange_spec = {"velmorquist_proxy._host.Exchange", sizeof(ExchangeObject), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, exchange_slots};

}  // namespace

const char kRestartRequestIdsDoc[] =
    "restart_request_ids(prefix, /)\n--\n\n"
    "Starts this process's request ids afresh: `prefix`, 8 random bytes, then a count.\n"
    "Called at import and in every forked child.";

PyObject* restart_request_ids(PyObject*, PyObject* prefix) {
    if (!PyBytes_Check(prefix) || PyBytes_GET_SIZE(prefix) != 8) {
        PyErr_SetString(PyExc_ValueError, "restart_request_ids() takes 8 bytes");
        return nullptr;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(prefix));
    for (int i = 0; i < 8; ++i) {
        ids.prefix[2 * i] = kHex[bytes[i] >> 4];
        ids.prefix[2 * i + 1] = kHex[bytes[i] & 0xF];
    }
    ids.next = 0;
    ids.worker = static_cast<long>(getpid());
    Py_RETURN_NONE;
}

bool is_exchange(PyObject* object) {
    return exchange_type_slot != nullptr && Py_IS_TYPE(object, exchange_type_slot);
}

void exchange_add_waited(PyObject* exchange, double seconds) {
    exchange_of(exchange)->waited += seconds;
}

PyObject* exchange_take_usage(PyObject* exchange, PyObject* usage) {
    return exchange_set_usage(exchange, usage);
}

double perf_clock_s() { return monotonic_s(); }

int add_exchange_type(PyObject* module) {
    if (no_provider == nullptr) no_provider = PyUnicode_InternFromString("none");
    if (used_tokens_name == nullptr) used_tokens_name = PyUnicode_InternFromString("used_tokens");
    if (no_provider == nullptr || used_tokens_name == nullptr) return -1;
    PyTypeObject* type = type_from_spec(exchange_type_slot, exchange_spec);
    if (type == nullptr) return -1;
    return PyModule_AddObjectRef(module, "Exchange", reinterpret_cast<PyObject*>(type));
}

}  // namespace velmorquist::binding
