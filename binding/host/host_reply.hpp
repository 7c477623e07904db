// The server's reading of upstream replies (core/base/reply_usage.hpp),
// listed in host_module.cpp's module table.
#pragma once

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

// Each returns a new reference, or nullptr with an error set.
PyObject* read_usage(PyObject* module, PyObject* data);                         // METH_O
PyObject* split_events(PyObject* module, PyObject* const* args, Py_ssize_t nargs);  // METH_FASTCALL

extern const char kReadUsageDoc[];
extern const char kSplitEventsDoc[];

}  // namespace velmorquist::binding
