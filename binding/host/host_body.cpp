#include "binding/host/host_body.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>

#include "binding/common/args.hpp"
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

namespace {

// An edit's place in `body`, read from Python ints: false with an error set
// unless 0 <= at <= end <= size.
bool edit_place(PyObject* at_object, PyObject* end_object, Py_ssize_t size, Py_ssize_t& at,
                Py_ssize_t& end) {
    at = PyLong_AsSsize_t(at_object);
    if (at == -1 && PyErr_Occurred()) return false;
    end = PyLong_AsSsize_t(end_object);
    if (end == -1 && PyErr_Occurred()) return false;
    if (0 <= at && at <= end && end <= size) return true;
    PyErr_Format(PyExc_ValueError, "splice_body() edit [%zd, %zd) lies outside the body", at, end);
    return false;
}

}  // namespace

const char kSpliceBodyDoc[] =
    "splice_body(edits, text, /)\n--\n\n"
    "edits is (body, at, end, other): body (bytes) with body[at:end] replaced by text\n"
    "(bytes) and, unless other is None, other = (at2, end2, text2) applied too; the\n"
    "two edits must not overlap.";

PyObject* splice_body(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!exact_arguments("splice_body", nargs, 2)) return nullptr;
    PyObject* edits = args[0];
    if (!PyTuple_Check(edits) || PyTuple_GET_SIZE(edits) != 4) {
        PyErr_SetString(PyExc_TypeError, "splice_body() edits must be (body, at, end, other)");
        return nullptr;
    }
    PyObject* body = PyTuple_GET_ITEM(edits, 0);
    PyObject* other = PyTuple_GET_ITEM(edits, 3);
    if (!bytes_argument("splice_body", body) || !bytes_argument("splice_body", args[1]))
        return nullptr;
    struct Edit {
        Py_ssize_t at = 0;
        Py_ssize_t end = 0;
        std::string_view text;
    };
    const Py_ssize_t size = PyBytes_GET_SIZE(body);
    Edit first{0, 0, bytes_text(args[1])};
    if (!edit_place(PyTuple_GET_ITEM(edits, 1), PyTuple_GET_ITEM(edits, 2), size, first.at,
                    first.end))
        return nullptr;
    Edit second{first.end, first.end, {}};
    if (other != Py_None) {
        if (!PyTuple_Check(other) || PyTuple_GET_SIZE(other) != 3) {
            PyErr_SetString(PyExc_TypeError, "splice_body() other must be (at, end, text)");
            return nullptr;
        }
        if (!bytes_argument("splice_body", PyTuple_GET_ITEM(other, 2)) ||
            !edit_place(PyTuple_GET_ITEM(other, 0), PyTuple_GET_ITEM(other, 1), size, second.at,
                        second.end))
            return nullptr;
        second.text = bytes_text(PyTuple_GET_ITEM(other, 2));
        if (second.at < first.at) std::swap(first, second);
        if (first.end > second.at) {
            PyErr_SetString(PyExc_ValueError, "splice_body() edits overlap");
            return nullptr;
        }
    }
    const std::string_view text = bytes_text(body);
    const auto length = [](Py_ssize_t from, Py_ssize_t to) { return static_cast<std::size_t>(to - from); };
    const std::string_view parts[] = {
        text.substr(0, length(0, first.at)), first.text,
        text.substr(static_cast<std::size_t>(first.end), length(first.end, second.at)),
        second.text, text.substr(static_cast<std::size_t>(second.end))};
    Py_ssize_t total = 0;
    for (const std::string_view part : parts) total += static_cast<Py_ssize_t>(part.size());
    PyObject* made = PyBytes_FromStringAndSize(nullptr, total);
    if (made == nullptr) return nullptr;
    char* out = PyBytes_AS_STRING(made);
    for (const std::string_view part : parts) {
        if (part.empty()) continue;   // an empty view may hold no pointer for memcpy
        std::memcpy(out, part.data(), part.size());
        out += part.size();
    }
    return made;
}

}  // namespace velmorquist::binding
