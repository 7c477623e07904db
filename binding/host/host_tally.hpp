// The server's per-request counts (core/base/request_tally.hpp), listed in
// host_module.cpp's module table.
#pragma once

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

// METH_FASTCALL. None, or nullptr with an error set.
PyObject* tally_request(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// New references: the histograms' bounds as tuples of floats.
PyObject* overhead_bounds();
PyObject* first_token_bounds();
PyObject* token_bounds();

extern const char kTallyRequestDoc[];

}  // namespace velmorquist::binding
