#include "binding/host/host_body.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/base/json_scan.hpp"

namespace velmorquist::binding {
namespace {

enum Member : std::size_t { Model, Stream, StreamOptions, MaxTokens, MaxCompletionTokens, Count };

constexpr std::array<std::string_view, Count> kMembers = {
    "model", "stream", "stream_options", "max_tokens", "max_completion_tokens"};

// What a request may reserve for its reply: more than any model writes.
constexpr std::uint64_t kMostTokens = std::uint64_t{1} << 32;

// New reference: the model's name when it is a string, else None.
PyObject* model_name(std::string_view value) {
    if (value.empty() || value.front() != '"') return Py_NewRef(Py_None);
    const std::string_view inner = value.substr(1, value.size() - 2);
    if (inner.find('\\') == std::string_view::npos)
        return PyUnicode_DecodeUTF8(inner.data(), static_cast<Py_ssize_t>(inner.size()), nullptr);
    const std::string text = unescape_json_string(value);
    return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()),
                                "surrogatepass");
}

// Offsets into the body; -1 when the member is absent.
Py_ssize_t start_or_absent(const JsonMember& member) {
    return member.found ? static_cast<Py_ssize_t>(member.begin) : -1;
}

Py_ssize_t end_or_absent(const JsonMember& member) {
    return member.found ? static_cast<Py_ssize_t>(member.end) : -1;
}

}  // namespace

const char kScanRequestDoc[] =
    "scan_request(body, /)\n--\n\n"
    "Checks a request body (bytes) as JSON and finds its members without parsing it:\n"
    "(model, model_at, model_end, stream, options_at, options_end, most_tokens), where\n"
    "model is the model's name (None unless a string), [model_at, model_end) and\n"
    "[options_at, options_end) the texts of the `model` and `stream_options` values\n"
    "(-1 when absent), stream whether `stream` is true and most_tokens the reply's\n"
    "limit (`max_completion_tokens`, else `max_tokens`; 0 unless a positive integer).\n"
    "A refused body gives BODY_INVALID, BODY_NOT_OBJECT or BODY_REPEATED instead.";

bool bytes_argument(const char* function, PyObject* object) {
    if (PyBytes_Check(object)) return true;
    PyErr_Format(PyExc_TypeError, "%s() needs bytes, not %.200s", function,
                 Py_TYPE(object)->tp_name);
    return false;
}

PyObject* scan_request(PyObject*, PyObject* body) {
    if (!bytes_argument("scan_request", body)) return nullptr;
    const std::string_view text = bytes_text(body);
    std::array<JsonMember, Count> found;
    const auto scanned = scan_json_object(text, kMembers, found);
    if (!scanned) {
        const BodyFault fault = scanned.error() == JsonFault::NotObject ? BodyFault::NotObject
                                : scanned.error() == JsonFault::Repeated ? BodyFault::Repeated
                                                                         : BodyFault::Invalid;
        return PyLong_FromLong(static_cast<long>(fault));
    }
    auto value = [&](Member member) {
        const JsonMember& at = found[member];
        return at.found ? text.substr(at.begin, at.end - at.begin) : std::string_view();
    };
    PyRef model(model_name(value(Model)));
    if (!model) return nullptr;
    const std::uint64_t most = found[MaxCompletionTokens].found
                                   ? json_count(value(MaxCompletionTokens), kMostTokens)
                                   : json_count(value(MaxTokens), kMostTokens);
    return Py_BuildValue("(OnnOnnK)", model.get(), start_or_absent(found[Model]),
                         end_or_absent(found[Model]), value(Stream) == "true" ? Py_True : Py_False,
                         start_or_absent(found[StreamOptions]), end_or_absent(found[StreamOptions]),
                         static_cast<unsigned long long>(most));
}

}  // namespace velmorquist::binding
