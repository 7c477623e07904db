// The server's reading of a request body (core/base/json_scan.hpp), listed
// in host_module.cpp's module table.
#pragma once

#include <cstddef>

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

// What scan_request() returns instead of its tuple when the body is refused.
enum class BodyFault : long { Invalid = 1, NotObject = 2, Repeated = 3 };
inline constexpr std::size_t kBodyFaultCount = 3;

// METH_O. A new reference, or nullptr with an error set.
PyObject* scan_request(PyObject* module, PyObject* body);

extern const char kScanRequestDoc[];

}  // namespace velmorquist::binding
