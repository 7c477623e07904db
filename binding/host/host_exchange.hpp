// The server's record of one request (Exchange) and its request ids, listed
// in host_module.cpp's module table. Native because the request path makes
// one per request and reads it three times: in Python, making it, its
// headers and its log line cost as much as a quarter of the proxy's own work.
#pragma once

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

// METH_O. None, or nullptr with an error set.
PyObject* restart_request_ids(PyObject* module, PyObject* prefix);
extern const char kRestartRequestIdsDoc[];

// Adds the Exchange type to the module: 0, or -1 with an error set.
int add_exchange_type(PyObject* module);

}  // namespace velmorquist::binding
