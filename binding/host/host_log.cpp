#include "binding/host/host_log.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "binding/common/args.hpp"
#include "core/base/access_line.hpp"

namespace velmorquist::binding {
namespace {

enum Argument : Py_ssize_t {
    Time, RequestId, Worker, Method, Path, Model, Provider, Status, Attempts, Stream,
    LatencyMs, OverheadMs, TokensIn, TokensOut, Count
};

// A str's UTF-8 text, kept alive as long as this lives. A lone surrogate
// (a client's model name may hold one) is taken in its three-byte form.
class Utf8Text {
public:
    bool read(PyObject* object, const char* what) {
        if (!PyUnicode_Check(object)) {
            PyErr_Format(PyExc_TypeError, "access_line() %s must be str, not %.200s", what,
                         Py_TYPE(object)->tp_name);
            return false;
        }
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(object, &size);
        if (data == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
            PyErr_Clear();
            encoded_.reset(PyUnicode_AsEncodedString(object, "utf-8", "surrogatepass"));
            if (!encoded_) return false;
            data = PyBytes_AS_STRING(encoded_.get());
            size = PyBytes_GET_SIZE(encoded_.get());
        }
        text_ = std::string_view(data, static_cast<std::size_t>(size));
        return true;
    }

    std::string_view text() const { return text_; }

private:
    PyRef encoded_;
    std::string_view text_;
};

bool read_text_or_none(PyObject* object, const char* what, Utf8Text& text,
                       std::optional<std::string_view>& out) {
    if (object == nullptr || object == Py_None) return true;
    if (!text.read(object, what)) return false;
    out = text.text();
    return true;
}

bool read_int(PyObject* object, const char* what, std::int64_t& out) {
    if (!PyLong_Check(object)) {
        PyErr_Format(PyExc_TypeError, "access_line() %s must be int, not %.200s", what,
                     Py_TYPE(object)->tp_name);
        return false;
    }
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool read_int_or_none(PyObject* object, const char* what, std::optional<std::int64_t>& out) {
    if (object == nullptr || object == Py_None) return true;
    std::int64_t value = 0;
    if (!read_int(object, what, value)) return false;
    out = value;
    return true;
}

bool read_float(PyObject* object, double& out) {
    out = PyFloat_AsDouble(object);
    return !(out == -1.0 && PyErr_Occurred());
}

}  // namespace

PyObject* access_line_of(const AccessFields& fields) {
    AccessRecord record;
    record.time_s = fields.time_s;
    record.worker = fields.worker;
    record.status = fields.status;
    record.attempts = fields.attempts;
    record.stream = fields.stream;
    record.latency_ms = fields.latency_ms;
    record.overhead_ms = fields.overhead_ms;
    Utf8Text request_id, method, path, model, provider;
    if (!request_id.read(fields.request_id, "request_id") || !method.read(fields.method, "method") ||
        !path.read(fields.path, "path") ||
        !read_text_or_none(fields.model, "model", model, record.model) ||
        !read_text_or_none(fields.provider, "provider", provider, record.provider) ||
        !read_int_or_none(fields.tokens_in, "tokens_in", record.tokens_in) ||
        !read_int_or_none(fields.tokens_out, "tokens_out", record.tokens_out))
        return nullptr;
    record.request_id = request_id.text();
    record.method = method.text();
    record.path = path.text();
    const std::string line = velmorquist::access_line(record);
    return PyUnicode_DecodeASCII(line.data(), static_cast<Py_ssize_t>(line.size()), nullptr);
}

const char kAccessLineDoc[] =
    "access_line(ts, request_id, worker, method, path, model, provider, status, attempts,\n"
    "            stream, latency_ms, overhead_ms, tokens_in, tokens_out, /)\n--\n\n"
    "One request's access-log line: a JSON object in ASCII, without a line feed.\n"
    "model, provider, tokens_in and tokens_out may be None.";

PyObject* access_line(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!exact_arguments("access_line", nargs, Count)) return nullptr;
    AccessFields fields;
    fields.request_id = args[RequestId];
    fields.method = args[Method];
    fields.path = args[Path];
    fields.model = args[Model];
    fields.provider = args[Provider];
    fields.tokens_in = args[TokensIn];
    fields.tokens_out = args[TokensOut];
    if (!read_float(args[Time], fields.time_s) || !read_int(args[Worker], "worker", fields.worker) ||
        !read_int(args[Status], "status", fields.status) ||
        !read_int(args[Attempts], "attempts", fields.attempts) ||
        !read_float(args[LatencyMs], fields.latency_ms) ||
        !read_float(args[OverheadMs], fields.overhead_ms))
        return nullptr;
    const int stream = PyObject_IsTrue(args[Stream]);
    if (stream < 0) return nullptr;
    fields.stream = stream != 0;
    return access_line_of(fields);
}

}  // namespace velmorquist::binding
