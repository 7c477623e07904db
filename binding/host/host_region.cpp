// velmorquist_proxy._host: the gateway state seam (python/velmorquist_proxy/
// _state.py) over a host-shared region. `attach(...)` returns a HostRegion;
// its methods are the seam's, with providers and keys by index.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "binding/args.hpp"
#include "binding/class_support.hpp"
#include "binding/host/host_config.hpp"
#include "core/shared_state.hpp"

namespace velmorquist::binding {
namespace {

using StateHandle = std::unique_ptr<SharedState>;

SharedState& state_of(PyObject* self) { return *core_of<StateHandle>(self); }

PyTypeObject* region_type_slot = nullptr;

// ---- argument helpers: false with a Python error set --------------------------

bool to_index(PyObject* object, std::size_t limit, const char* what, std::size_t& out) {
    const Py_ssize_t value = PyNumber_AsSsize_t(object, PyExc_IndexError);
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || static_cast<std::size_t>(value) >= limit) {
        PyErr_Format(PyExc_IndexError, "%s index %zd out of range", what, value);
        return false;
    }
    out = static_cast<std::size_t>(value);
    return true;
}

bool provider_arg(PyObject* self, PyObject* object, std::size_t& p) {
    return to_index(object, state_of(self).provider_count(), "provider", p);
}

// The one positional provider index of the single-argument methods.
bool only_provider(PyObject* self, PyObject* const* args, Py_ssize_t nargs, const char* name,
                   std::size_t& p) {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument (%zd given)", name, nargs);
        return false;
    }
    return provider_arg(self, args[0], p);
}

bool to_enum(PyObject* object, long count, const char* what, long& out) {
    out = PyLong_AsLong(object);
    if (out == -1 && PyErr_Occurred()) return false;
    if (out < 0 || out >= count) {
        PyErr_Format(PyExc_ValueError, "unknown %s %ld", what, out);
        return false;
    }
    return true;
}

PyObject* new_float(double value) { return PyFloat_FromDouble(value); }

PyObject* state_text_object(CircuitState state) {
    static PyObject* texts[3] = {};
    return cached_str(texts[static_cast<int>(state)], std::string(state_text(state)).c_str());
}

// ---- routing ------------------------------------------------------------------

PyObject* region_rank(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "rank() takes exactly one argument");
        return nullptr;
    }
    PyRef sequence(PySequence_Fast(args[0], "rank() candidates must be a sequence"));
    if (!sequence) return nullptr;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
    PyObject** items = PySequence_Fast_ITEMS(sequence.get());
    return guarded([&]() -> PyObject* {
        std::vector<std::size_t> candidates(static_cast<std::size_t>(size));
        for (Py_ssize_t i = 0; i < size; ++i) {
            if (!provider_arg(self, items[i], candidates[static_cast<std::size_t>(i)]))
                return nullptr;
        }
        const std::vector<std::size_t> order = state_of(self).rank(candidates, thread_rng());
        PyRef result(PyList_New(size));
        if (!result) return nullptr;
        // The caller's own objects, in the new order.
        for (Py_ssize_t i = 0; i < size; ++i) {
            const auto from = static_cast<Py_ssize_t>(order[static_cast<std::size_t>(i)]);
            PyList_SET_ITEM(result.get(), i, Py_NewRef(items[from]));
        }
        return result.release();
    });
}

PyObject* region_posterior(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "posterior", p)) return nullptr;
    return guarded([&] {
        const Posterior posterior = state_of(self).posterior(p);
        return Py_BuildValue("(dd)", posterior.alpha, posterior.beta);
    });
}

PyObject* region_reward(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    double reward = 0.0;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "reward() takes exactly two arguments");
        return nullptr;
    }
    if (!provider_arg(self, args[0], p) || !to_double(args[1], reward)) return nullptr;
    return guarded([&] {
        state_of(self).reward(p, reward);
        return new_none();
    });
}

PyObject* region_reset_posterior(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "reset_posterior", p)) return nullptr;
    return guarded([&] {
        state_of(self).reset_posterior(p);
        return new_none();
    });
}

// ---- breaker ------------------------------------------------------------------

PyObject* region_try_breaker(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "try_breaker", p)) return nullptr;
    return guarded([&] {
        return PyLong_FromLong(static_cast<long>(state_of(self).try_breaker(p)));
    });
}

const Signature kBreakerOutcome("breaker_outcome()", 3, "p", "trial", "outcome", "kind");

PyObject* region_breaker_outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    BoundArgs bound;
    if (!bind(kBreakerOutcome, args, nargs, kwnames, bound)) return nullptr;
    std::size_t p = 0;
    long outcome = 0;
    std::string_view kind;
    if (!provider_arg(self, bound[0], p)) return nullptr;
    const int trial = PyObject_IsTrue(bound[1]);
    if (trial < 0 || !to_enum(bound[2], 3, "breaker outcome", outcome)) return nullptr;
    // Every failure kind counts the same, as CircuitBreaker.record_failure's does.
    if (bound[3] != nullptr && !convert_arg("kind", to_utf8, bound[3], kind)) return nullptr;
    return guarded([&] {
        const std::optional<CircuitState> changed =
            state_of(self).breaker_outcome(p, trial != 0, static_cast<BreakerOutcome>(outcome));
        return changed ? state_text_object(*changed) : new_none();
    });
}

PyObject* region_breaker_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "breaker_state", p)) return nullptr;
    return guarded([&] { return state_text_object(state_of(self).breaker_state(p)); });
}

PyObject* region_breaker_ready_in(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "breaker_ready_in", p)) return nullptr;
    return guarded([&] { return new_float(state_of(self).breaker_ready_in(p)); });
}

// ---- rate limits --------------------------------------------------------------

PyObject* region_try_limits(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    std::uint64_t tokens = 0;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "try_limits() takes exactly two arguments");
        return nullptr;
    }
    if (!provider_arg(self, args[0], p) || !to_u64(args[1], tokens)) return nullptr;
    return guarded([&] { return new_float(state_of(self).try_limits(p, tokens)); });
}

PyObject* region_settle_tokens(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    std::uint64_t reserved = 0;
    std::uint64_t used = 0;
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "settle_tokens() takes exactly three arguments");
        return nullptr;
    }
    if (!provider_arg(self, args[0], p) || !to_u64(args[1], reserved) || !to_u64(args[2], used))
        return nullptr;
    return guarded([&] {
        state_of(self).settle_tokens(p, reserved, used);
        return new_none();
    });
}

PyObject* region_bucket_levels(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "bucket_levels", p)) return nullptr;
    return guarded([&]() -> PyObject* {
        const auto [requests, tokens] = state_of(self).bucket_levels(p);
        PyRef first(to_python(requests));
        if (!first) return nullptr;
        PyRef second(to_python(tokens));
        if (!second) return nullptr;
        return PyTuple_Pack(2, first.get(), second.get());
    });
}

// ---- keys ---------------------------------------------------------------------

PyObject* region_select_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "select_key", p)) return nullptr;
    return guarded([&] {
        ThreadRandom& rng = thread_rng();
        const std::optional<std::size_t> key = state_of(self).select_key(p, rng);
        return PyLong_FromSsize_t(key ? static_cast<Py_ssize_t>(*key) : -1);
    });
}

PyObject* region_keys_ready_in(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "keys_ready_in", p)) return nullptr;
    return guarded([&] { return new_float(state_of(self).keys_ready_in(p)); });
}

const Signature kKeyOutcome("key_outcome()", 3, "p", "k", "outcome", "latency_ms",
                            "cooldown_s");

PyObject* region_key_outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    BoundArgs bound;
    if (!bind(kKeyOutcome, args, nargs, kwnames, bound)) return nullptr;
    std::size_t p = 0;
    std::size_t k = 0;
    long outcome = 0;
    double latency_ms = 0.0;
    double cooldown_s = 0.0;
    if (!provider_arg(self, bound[0], p) ||
        !to_index(bound[1], state_of(self).key_count(p), "key", k) ||
        !to_enum(bound[2], 6, "key outcome", outcome))
        return nullptr;
    if (bound[3] != nullptr && !convert_arg("latency_ms", to_double, bound[3], latency_ms))
        return nullptr;
    if (bound[4] != nullptr && !convert_arg("cooldown_s", to_double, bound[4], cooldown_s))
        return nullptr;
    return guarded([&] {
        return new_bool(state_of(self).key_outcome(p, k, static_cast<KeyOutcome>(outcome),
                                                   latency_ms, cooldown_s));
    });
}

PyObject* key_view_dict(const KeyView& view) {
    return Py_BuildValue("{s:s,s:d,s:K,s:K,s:d}", "status",
                         std::string(status_text(view.status)).c_str(), "health", view.health,
                         "requests", static_cast<unsigned long long>(view.requests), "errors",
                         static_cast<unsigned long long>(view.errors), "avg_latency_ms",
                         view.avg_latency_ms);
}

PyObject* region_key_summaries(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "key_summaries", p)) return nullptr;
    return guarded([&]() -> PyObject* {
        const std::vector<KeyView> views = state_of(self).key_summaries(p);
        PyRef list(PyList_New(static_cast<Py_ssize_t>(views.size())));
        if (!list) return nullptr;
        for (std::size_t i = 0; i < views.size(); ++i) {
            PyObject* item = key_view_dict(views[i]);
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
        }
        return list.release();
    });
}

PyObject* region_daily_reset_due(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "daily_reset_due() takes exactly one argument");
        return nullptr;
    }
    const long long day = PyLong_AsLongLong(args[0]);
    if (day == -1 && PyErr_Occurred()) return nullptr;
    return guarded([&] { return new_bool(state_of(self).daily_reset_due(day)); });
}

// Test hook: parks this thread holding provider p's lock until the process is killed.
PyObject* region_park_holding_lock(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "_park_holding_lock() takes exactly two arguments");
        return nullptr;
    }
    if (!provider_arg(self, args[0], p)) return nullptr;
    const int ready_fd = PyLong_AsInt(args[1]);
    if (ready_fd == -1 && PyErr_Occurred()) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    state_of(self).park_holding_lock(p, ready_fd);
    Py_END_ALLOW_THREADS
}

template <auto Function>
constexpr PyMethodDef fast(const char* name, const char* doc) {
    return {name, as_method(Function), METH_FASTCALL, doc};
}
template <auto Function>
constexpr PyMethodDef fast_keywords(const char* name, const char* doc) {
    return {name, as_method(Function), METH_FASTCALL | METH_KEYWORDS, doc};
}

PyMethodDef region_methods[] = {
    fast<region_rank>("rank", "rank($self, candidates, /)\n--\n\nCandidates best first."),
    fast<region_posterior>("posterior", "posterior($self, p, /)\n--\n\n(alpha, beta)."),
    fast<region_reward>("reward", "reward($self, p, reward, /)\n--\n\nDecay, then add."),
    fast<region_reset_posterior>("reset_posterior",
                                 "reset_posterior($self, p, /)\n--\n\nBack to Beta(1, 1)."),
    fast<region_try_breaker>("try_breaker",
                             "try_breaker($self, p, /)\n--\n\nREFUSED, ALLOWED or TRIAL."),
    fast_keywords<region_breaker_outcome>(
        "breaker_outcome",
        "breaker_outcome($self, p, trial, outcome, kind='unknown')\n--\n\n"
        "The new state's text when the outcome changed it, else None."),
    fast<region_breaker_state>("breaker_state", "breaker_state($self, p, /)\n--\n\n"),
    fast<region_breaker_ready_in>("breaker_ready_in", "breaker_ready_in($self, p, /)\n--\n\n"),
    fast<region_try_limits>("try_limits",
                            "try_limits($self, p, tokens, /)\n--\n\n0.0 when taken, else the wait."),
    fast<region_settle_tokens>("settle_tokens",
                               "settle_tokens($self, p, reserved, used, /)\n--\n\n"),
    fast<region_bucket_levels>("bucket_levels", "bucket_levels($self, p, /)\n--\n\n"),
    fast<region_select_key>("select_key", "select_key($self, p, /)\n--\n\nKey index or -1."),
    fast<region_keys_ready_in>("keys_ready_in", "keys_ready_in($self, p, /)\n--\n\n"),
    fast_keywords<region_key_outcome>(
        "key_outcome",
        "key_outcome($self, p, k, outcome, latency_ms=0.0, cooldown_s=0.0)\n--\n\n"
        "True when a success made the key reach its daily limit."),
    fast<region_key_summaries>("key_summaries", "key_summaries($self, p, /)\n--\n\n"),
    fast<region_daily_reset_due>("daily_reset_due", "daily_reset_due($self, day, /)\n--\n\n"),
    fast<region_park_holding_lock>("_park_holding_lock",
                                   "_park_holding_lock($self, p, ready_fd, /)\n--\n\nTest hook: parks holding the lock."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot region_slots[] = {
    {Py_tp_new, as_slot(no_constructor)},
    {Py_tp_dealloc, as_slot(dealloc_instance<StateHandle>)},
    {Py_tp_doc, const_cast<char*>("The gateway's state in a host-shared region.")},
    {Py_tp_methods, region_methods},
    {0, nullptr},
};

PyType_Spec region_spec = {"velmorquist_proxy._host.HostRegion", sizeof(Instance<StateHandle>),
                           0, Py_TPFLAGS_DEFAULT, region_slots};

// ---- attach -------------------------------------------------------------------

PyObject* raise_region_error(const RegionError& error) {
    switch (error.fault) {
        case RegionFault::NotFound: {
            PyRef exception(PyObject_CallFunction(PyExc_FileNotFoundError, "iss", ENOENT,
                                                  std::strerror(ENOENT), error.message.c_str()));
            if (exception) PyErr_SetObject(PyExc_FileNotFoundError, exception.get());
            return nullptr;
        }
        case RegionFault::System: {
            // OSError(errno, text) becomes the errno's own subclass.
            PyRef exception(
                PyObject_CallFunction(PyExc_OSError, "is", error.os_error, error.message.c_str()));
            if (exception)
                PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.get())),
                                exception.get());
            return nullptr;
        }
        case RegionFault::NotOurs:
        case RegionFault::Refused:
            PyErr_SetString(PyExc_ValueError, error.message.c_str());
            return nullptr;
    }
    return nullptr;
}

const Signature kAttach("attach()", 5, "path", "create", "fresh", "providers", "router");

PyObject* host_attach(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs bound;
    if (!bind(kAttach, args, nargs, kwnames, bound)) return nullptr;
    std::string path;
    bool create = true;
    bool fresh = false;
    HostConfig config;
    if (!convert_arg("path", to_string, bound[0], path) ||
        !convert_arg("create", to_bool, bound[1], create) ||
        !convert_arg("fresh", to_bool, bound[2], fresh) ||
        !read_host_config(bound[3], bound[4], config))
        return nullptr;
    PyTypeObject* type = type_from_spec(region_type_slot, region_spec);
    if (type == nullptr) return nullptr;
    return guarded([&]() -> PyObject* {
        std::expected<StateHandle, RegionError> attached = std::unexpected(RegionError{});
        // Attaching may wait for another process's attach to finish.
        Py_BEGIN_ALLOW_THREADS
        attached = SharedState::attach(path, create, fresh, std::move(config),
                                       std::make_shared<HostClock>());
        Py_END_ALLOW_THREADS
        if (!attached) return raise_region_error(attached.error());
        return new_instance<StateHandle>(type, std::move(*attached));
    });
}

PyMethodDef module_methods[] = {
    {"attach", as_method(host_attach), METH_FASTCALL | METH_KEYWORDS,
     "attach(path, create, fresh, providers, router)\n--\n\n"
     "A HostRegion over the region at `path` for these providers."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_host",
    "The gateway's state shared by every process on a host: `velmorquist_proxy._host`",
    0,
    module_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace velmorquist::binding

PyMODINIT_FUNC PyInit__host() {
    using namespace velmorquist::binding;
    return PyModule_Create(&module_definition);
}
