// The server's reading of a request body (core/base/json_scan.hpp), listed
// in host_module.cpp's module table.
#pragma once

#include <cstddef>
#include <string_view>

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

// What scan_request() returns instead of its tuple when the body is refused.
enum class BodyFault : long { Invalid = 1, NotObject = 2, Repeated = 3 };
inline constexpr std::size_t kBodyFaultCount = 3;

// METH_O. A new reference, or nullptr with an error set.
PyObject* scan_request(PyObject* module, PyObject* body);

extern const char kScanRequestDoc[];

// METH_FASTCALL. A new reference, or nullptr with an error set.
PyObject* splice_body(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
extern const char kSpliceBodyDoc[];

// The server's readers take bytes: false with a TypeError naming `function`
// for anything else.
bool bytes_argument(const char* function, PyObject* object);

// A bytes object's contents, valid while it lives.
inline std::string_view bytes_text(PyObject* bytes) {
    return {PyBytes_AS_STRING(bytes), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes))};
}

}  // namespace velmorquist::binding
