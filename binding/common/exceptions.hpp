// The module's exception classes and the one way a ProxyError reaches Python.
#pragma once

#include <cstddef>

#include "binding/common/py_ref.hpp"
#include "core/base/error.hpp"

namespace velmorquist::binding {

// In publication order; ProxyBase is published as "ProxyError".
enum class ExceptionClass {
    ProxyBase,
    CircuitOpen,
    RateLimited,
    NoAvailableKeys,
    NoProviders,
    ProviderNotFound,
    InvalidParameter,
    Sampling,
};
// Sizes the tables indexed by class; Sampling stays the last class.
inline constexpr std::size_t kExceptionClassCount = 8;
static_assert(static_cast<std::size_t>(ExceptionClass::Sampling) + 1 == kExceptionClassCount);

// Borrowed; created once per process on first demand, never released.
// nullptr with an error set if the interpreter refuses to create it.
[[nodiscard]] PyObject* exception_class(ExceptionClass which);

// Raises the class of the error's variant with its message as the only
// argument. Always returns nullptr, so callers can `return to_python_exception(e);`.
PyObject* to_python_exception(const ProxyError& error);

// The internal-fault class: derived from BaseException (so `except Exception`
// does not swallow a broken invariant) and not published in the module.
[[nodiscard]] PyObject* internal_fault_class();
PyObject* raise_internal_fault(const char* message);

}  // namespace velmorquist::binding
