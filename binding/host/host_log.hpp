// The server's access-log line (core/base/access_line.hpp), listed in
// host_module.cpp's module table.
#pragma once

#include <cstdint>

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

// One request's figures, as access_line() takes them. The texts are
// borrowed; model, provider and the token counts may be None or null.
struct AccessFields {
    double time_s = 0.0;
    PyObject* request_id = nullptr;
    std::int64_t worker = 0;
    PyObject* method = nullptr;
    PyObject* path = nullptr;
    PyObject* model = nullptr;
    PyObject* provider = nullptr;
    std::int64_t status = 0;
    std::int64_t attempts = 0;
    bool stream = false;
    double latency_ms = 0.0;
    double overhead_ms = 0.0;
    PyObject* tokens_in = nullptr;
    PyObject* tokens_out = nullptr;
};

// The line as a new str, or nullptr with an error set.
PyObject* access_line_of(const AccessFields& fields);

// METH_FASTCALL. A new reference, or nullptr with an error set.
PyObject* access_line(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

extern const char kAccessLineDoc[];

}  // namespace velmorquist::binding
