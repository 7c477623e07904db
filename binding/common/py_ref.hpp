// Owning handle for one Python reference.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

namespace velmorquist::binding {

struct PyRefRelease {
    void operator()(PyObject* object) const noexcept { Py_DECREF(object); }
};

// Owns one strong reference; releases it when it goes out of scope. Use
// release() to hand the reference on to the interpreter.
using PyRef = std::unique_ptr<PyObject, PyRefRelease>;

}  // namespace velmorquist::binding
