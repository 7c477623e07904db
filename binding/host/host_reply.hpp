// The server's reading of upstream replies (core/base/reply_usage.hpp),
// listed in host_module.cpp's module table.
#pragma once

#include <optional>

#include "binding/common/py_ref.hpp"
#include "core/base/reply_usage.hpp"

namespace velmorquist::binding {

// A batch of streamed bytes cut after its last complete event.
struct EventBatch {
    PyRef ready;                      // the complete events, less usage-only ones unless kept
    PyRef rest;                       // what follows them
    std::optional<TokenUsage> usage;  // the last usage read among them
};

// Cuts `data` (bytes): false with an error set.
bool cut_events(PyObject* data, bool keep_usage, EventBatch& batch);

// New reference: (input, output), or None.
PyObject* usage_value(const std::optional<TokenUsage>& usage);

// Each returns a new reference, or nullptr with an error set.
PyObject* read_usage(PyObject* module, PyObject* data);                         // METH_O
PyObject* split_events(PyObject* module, PyObject* const* args, Py_ssize_t nargs);  // METH_FASTCALL

extern const char kReadUsageDoc[];
extern const char kSplitEventsDoc[];

}  // namespace velmorquist::binding
