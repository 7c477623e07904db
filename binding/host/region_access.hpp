// What every HostRegion method needs: the region behind `self`, and its
// provider and key index arguments (host_region.cpp, host_fleet.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "binding/common/args.hpp"
#include "binding/common/class_support.hpp"
#include "core/region/shared_state.hpp"

namespace velmorquist::binding {

// Empty once closed. Every method runs under the GIL from its last argument
// conversion to its result, so a close() cannot free the state under a call.
using StateHandle = std::unique_ptr<SharedState>;

// Borrowed; nullptr with ValueError set once the region was closed.
inline SharedState* open_state(PyObject* self) {
    SharedState* state = core_of<StateHandle>(self).get();
    if (state == nullptr) PyErr_SetString(PyExc_ValueError, "the gateway state is closed");
    return state;
}

// Runs `body(state)` at the boundary; converting arguments may have run
// Python code that closed the region, so it is looked up only now.
template <class Body>
inline PyObject* with_state(PyObject* self, Body&& body) {
    SharedState* state = open_state(self);
    if (state == nullptr) return nullptr;
    return guarded([&] { return body(*state); });
}

// ---- argument helpers: false with a Python error set --------------------------

inline bool arg_count(const char* name, Py_ssize_t expected, Py_ssize_t given) {
    if (given == expected) return true;
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd argument%s (%zd given)", name, expected,
                 expected == 1 ? "" : "s", given);
    return false;
}

inline bool to_index(PyObject* object, std::size_t limit, const char* what, std::size_t& out) {
    const Py_ssize_t value = PyNumber_AsSsize_t(object, PyExc_IndexError);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || static_cast<std::size_t>(value) >= limit) {
        PyErr_Format(PyExc_IndexError, "%s index %zd out of range", what, value);
        return false;
    }
    out = static_cast<std::size_t>(value);
    return true;
}

inline bool provider_arg(PyObject* self, PyObject* object, std::size_t& p) {
    const SharedState* state = open_state(self);
    return state != nullptr && to_index(object, state->provider_count(), "provider", p);
}

inline bool key_arg(PyObject* self, std::size_t p, PyObject* object, std::size_t& k) {
    const SharedState* state = open_state(self);
    return state != nullptr && to_index(object, state->key_count(p), "key", k);
}

// The one positional provider index of the single-argument methods.
inline bool only_provider(PyObject* self, PyObject* const* args, Py_ssize_t nargs, const char* name,
                   std::size_t& p) {
    return arg_count(name, 1, nargs) && provider_arg(self, args[0], p);
}

// A provider index and a token count.
inline bool provider_and_tokens(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         const char* name, std::size_t& p, std::uint64_t& tokens) {
    return arg_count(name, 2, nargs) && provider_arg(self, args[0], p) && to_u64(args[1], tokens);
}

inline bool to_enum(PyObject* object, long count, const char* what, long& out) {
    out = PyLong_AsLong(object);
    if (out == -1 && PyErr_Occurred()) return false;
    if (out < 0 || out >= count) {
        PyErr_Format(PyExc_ValueError, "unknown %s %ld", what, out);
        return false;
    }
    return true;
}

// Method table entries by calling convention.
template <auto Function>
constexpr PyMethodDef fast(const char* name, const char* doc) {
    return {name, as_method(Function), METH_FASTCALL, doc};
}
template <auto Function>
constexpr PyMethodDef fast_keywords(const char* name, const char* doc) {
    return {name, as_method(Function), METH_FASTCALL | METH_KEYWORDS, doc};
}
template <auto Function>
constexpr PyMethodDef no_args(const char* name, const char* doc) {
    return {name, as_method(Function), METH_NOARGS, doc};
}

}  // namespace velmorquist::binding
