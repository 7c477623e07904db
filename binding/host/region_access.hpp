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

// One of an enum's `Count` values, given as its number (exported by _host).
template <class Enum, std::size_t Count>
bool to_enum(PyObject* object, const char* what, Enum& out) {
    const long value = PyLong_AsLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || static_cast<std::size_t>(value) >= Count) {
        PyErr_Format(PyExc_ValueError, "unknown %s %ld", what, value);
        return false;
    }
    out = static_cast<Enum>(value);
    return true;
}

}  // namespace velmorquist::binding
