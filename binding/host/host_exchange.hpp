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

// For the native readers of a request's replies.
bool is_exchange(PyObject* object);
// Adds to the time the request spent waiting on upstreams.
void exchange_add_waited(PyObject* exchange, double seconds);
// Exchange.set_usage(usage): None, or nullptr with an error set.
PyObject* exchange_take_usage(PyObject* exchange, PyObject* usage);
// Seconds on time.perf_counter's clock, which the exchange's times are on.
double perf_clock_s();

}  // namespace velmorquist::binding
