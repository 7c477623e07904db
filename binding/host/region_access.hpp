// What every HostRegion method needs: the region behind `self`, and its
// provider and key index arguments (host_region.cpp, host_fleet.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/common/args.hpp"
#include "binding/common/class_support.hpp"
#include "core/region/shared_state.hpp"

namespace velmorquist::binding {

// The state behind a HostRegion. A call may wait for a region lock with the
// interpreter lock released (another process holds it), so a close() while
// calls are in flight only marks the handle closing and the last call out
// frees the state. Both counts change only under the interpreter lock.
struct StateHandle {
    explicit StateHandle(std::unique_ptr<SharedState> opened) : state(std::move(opened)) {}

    // Borrowed; nullptr once closing.
    [[nodiscard]] SharedState* open() const { return closing ? nullptr : state.get(); }
    void close() {
        closing = true;
        if (calls == 0) state.reset();
    }

    std::unique_ptr<SharedState> state;
    int calls = 0;
    bool closing = false;
};

// Borrowed; nullptr with ValueError set once the region was closed.
inline SharedState* open_state(PyObject* self) {
    SharedState* state = core_of<StateHandle>(self).open();
    if (state == nullptr) PyErr_SetString(PyExc_ValueError, "the gateway state is closed");
    return state;
}

// Runs `body(state)` at the boundary; converting arguments may have run
// Python code that closed the region, so it is looked up only now.
template <class Body>
inline PyObject* with_state(PyObject* self, Body&& body) {
    StateHandle& handle = core_of<StateHandle>(self);
    SharedState* state = open_state(self);
    if (state == nullptr) return nullptr;
    ++handle.calls;
    PyObject* result = guarded([&] { return body(*state); });
    // A region truncated under this call was read as zeros: the answer means
    // nothing, and the caller hears what happened instead.
    if (std::string damage = state->damage(); !damage.empty()) [[unlikely]] {
        Py_XDECREF(result);
        result = guarded([&]() -> PyObject* { throw DamagedState(std::move(damage)); });
    }
    if (--handle.calls == 0 && handle.closing) handle.state.reset();
    return result;
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

// ---- results --------------------------------------------------------------------

// New reference (cached): the state's text, as CircuitBreaker.state gives it.
inline PyObject* state_text_object(CircuitState state) {
    static PyObject* texts[kCircuitStateCount] = {};
    return cached_str(texts[static_cast<std::size_t>(state)],
                      std::string(state_text(state)).c_str());
}

// New reference: a list of the indices in `values`.
inline PyObject* index_list(const std::vector<std::size_t>& values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyLong_FromSize_t(values[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// New reference: (first, second), None where absent.
inline PyObject* optional_pair(const std::pair<std::optional<double>, std::optional<double>>& pair) {
    PyRef first(to_python(pair.first));
    if (!first) return nullptr;
    PyRef second(to_python(pair.second));
    if (!second) return nullptr;
    return PyTuple_Pack(2, first.get(), second.get());
}

inline bool to_i64(PyObject* object, std::int64_t& out) {
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return false;
    out = value;
    return true;
}

// The methods that take one provider index, and those that take a provider
// index and a token count: parse, then call `Body` on the open state.
template <const Signature& Sig, PyObject* (*Body)(SharedState&, std::size_t)>
PyObject* on_provider(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs bound(Sig);
    std::size_t p = 0;
    if (!bound.bind(args, nargs, kwnames) || !provider_arg(self, bound[0], p)) return nullptr;
    return with_state(self, [&](SharedState& state) { return Body(state, p); });
}

template <const Signature& Sig, PyObject* (*Body)(SharedState&, std::size_t, std::uint64_t)>
PyObject* on_provider_tokens(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    BoundArgs bound(Sig);
    std::size_t p = 0;
    std::uint64_t tokens = 0;
    if (!bound.bind(args, nargs, kwnames) || !provider_arg(self, bound[0], p) ||
        !bound.convert(1, to_u64, tokens))
        return nullptr;
    return with_state(self, [&](SharedState& state) { return Body(state, p, tokens); });
}

// reward() and learn_from_fleet(): a provider index and a reward.
template <const Signature& Sig, void (SharedState::*Record)(std::size_t, double)>
PyObject* on_reward(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs bound(Sig);
    std::size_t p = 0;
    double reward = 0.0;
    if (!bound.bind(args, nargs, kwnames) || !provider_arg(self, bound[0], p) ||
        !bound.convert(1, to_double, reward))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        (state.*Record)(p, reward);
        return new_none();
    });
}

}  // namespace velmorquist::binding
