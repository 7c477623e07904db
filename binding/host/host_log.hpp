// The server's access-log line (core/base/access_line.hpp), listed in
// host_module.cpp's module table.
#pragma once

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

// METH_FASTCALL. A new reference, or nullptr with an error set.
PyObject* access_line(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

extern const char kAccessLineDoc[];

}  // namespace velmorquist::binding
