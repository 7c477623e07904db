#include "binding/host/host_reply.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "binding/common/args.hpp"
#include "binding/host/host_body.hpp"
#include "core/base/reply_usage.hpp"

namespace velmorquist::binding {
namespace {

// The gateway's largest token count: an upstream's absurd count must not
// fail the request that reads it.
constexpr std::uint64_t kMostTokens = std::numeric_limits<std::int64_t>::max();

// New reference: the complete events (`data` up to `cut`), less the
// usage-only events unless kept; `usage` is set to the last usage read.
PyObject* events_read(PyObject* data, std::size_t cut, bool keep_usage,
                      std::optional<TokenUsage>& usage) {
    const std::string_view events = bytes_text(data).substr(0, cut);
    PyObject* kept = nullptr;   // made at the first event left out
    char* write = nullptr;
    std::size_t done = 0;
    for (auto event = next_usage_event(events, 0, kMostTokens); event;
         event = next_usage_event(events, event->end, kMostTokens)) {
        usage = event->usage;
        if (keep_usage || !event->usage_only) continue;
        if (kept == nullptr) {
            kept = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(cut));
            if (kept == nullptr) return nullptr;
            write = PyBytes_AS_STRING(kept);
        }
        std::memcpy(write, events.data() + done, event->begin - done);
        write += event->begin - done;
        done = event->end;
    }
    if (kept == nullptr) {
        if (cut == static_cast<std::size_t>(PyBytes_GET_SIZE(data))) return Py_NewRef(data);
        return PyBytes_FromStringAndSize(events.data(), static_cast<Py_ssize_t>(cut));
    }
    std::memcpy(write, events.data() + done, cut - done);
    write += cut - done;
    if (_PyBytes_Resize(&kept, write - PyBytes_AS_STRING(kept)) < 0) return nullptr;
    return kept;
}

}  // namespace

PyObject* usage_value(const std::optional<TokenUsage>& usage) {
    if (!usage) return Py_NewRef(Py_None);
    return Py_BuildValue("(KK)", static_cast<unsigned long long>(usage->input),
                         static_cast<unsigned long long>(usage->output));
}

bool cut_events(PyObject* data, bool keep_usage, EventBatch& batch) {
    const std::string_view text = bytes_text(data);
    const std::size_t cut = complete_events_end(text);
    batch.ready.reset(events_read(data, cut, keep_usage, batch.usage));
    if (!batch.ready) return false;
    batch.rest.reset(PyBytes_FromStringAndSize(text.data() + cut,
                                               static_cast<Py_ssize_t>(text.size() - cut)));
    return batch.rest != nullptr;
}

const char kReadUsageDoc[] =
    "read_usage(data, /)\n--\n\n"
    "The token counts (input, output) of the last `usage` object in a reply (bytes),\n"
    "or None: `prompt_tokens` and `completion_tokens`, else `total_tokens` as input.";

PyObject* read_usage(PyObject*, PyObject* data) {
    if (!bytes_argument("read_usage", data)) return nullptr;
    return usage_value(last_usage(bytes_text(data), kMostTokens));
}

const char kSplitEventsDoc[] =
    "split_events(data, keep_usage, /)\n--\n\n"
    "Cuts streamed bytes after their last complete server-sent event:\n"
    "(events, rest, usage), where usage is the token counts (input, output) of the\n"
    "last usage object among the events, or None. Unless keep_usage is true, the\n"
    "events leave out the chunk sent for the usage alone (its `choices` empty).";

PyObject* split_events(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (!exact_arguments("split_events", nargs, 2)) return nullptr;
    PyObject* data = args[0];
    if (!bytes_argument("split_events", data)) return nullptr;
    const int keep_usage = PyObject_IsTrue(args[1]);
    if (keep_usage < 0) return nullptr;
    EventBatch batch;
    if (!cut_events(data, keep_usage != 0, batch)) return nullptr;
    PyRef counts(usage_value(batch.usage));
    if (!counts) return nullptr;
    return PyTuple_Pack(3, batch.ready.get(), batch.rest.get(), counts.get());
}

}  // namespace velmorquist::binding
