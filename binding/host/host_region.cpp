#include "binding/host/host_region.hpp"

#include <cstddef>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "binding/common/args.hpp"
#include "binding/common/class_support.hpp"
#include "binding/host/host_fleet.hpp"
#include "binding/host/host_stream.hpp"
#include "binding/host/region_access.hpp"

namespace velmorquist::binding {
namespace {

PyTypeObject* region_type_slot = nullptr;

PyObject* state_text_object(CircuitState state) {
    static PyObject* texts[3] = {};
    return cached_str(texts[static_cast<int>(state)], std::string(state_text(state)).c_str());
}

// New reference: a list of the indices in `values`.
PyObject* index_list(const std::vector<std::size_t>& values) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyLong_FromSize_t(values[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

// ---- routing ------------------------------------------------------------------

// An empty `candidates` ranks every provider.
PyObject* region_rank(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (!arg_count("rank", 1, nargs)) return nullptr;
    PyRef sequence(PySequence_Fast(args[0], "rank() candidates must be a sequence"));
    if (!sequence) return nullptr;
    const Py_ssize_t size = PySequence_Fast_GET_SIZE(sequence.get());
    PyObject** items = PySequence_Fast_ITEMS(sequence.get());
    std::vector<std::size_t> candidates(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
        if (!provider_arg(self, items[i], candidates[static_cast<std::size_t>(i)])) return nullptr;
    }
    return with_state(self, [&](SharedState& state) -> PyObject* {
        if (candidates.empty()) {
            candidates.resize(state.provider_count());
            for (std::size_t p = 0; p < candidates.size(); ++p) candidates[p] = p;
        }
        std::vector<std::size_t> order = state.rank(candidates, thread_rng());
        for (std::size_t& at : order) at = candidates[at];
        return index_list(order);
    });
}

PyObject* region_posterior(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "posterior", p)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        const Posterior posterior = state.posterior(p);
        return Py_BuildValue("(dd)", posterior.alpha, posterior.beta);
    });
}

PyObject* region_reward(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    double reward = 0.0;
    if (!arg_count("reward", 2, nargs) || !provider_arg(self, args[0], p) ||
        !to_double(args[1], reward))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.reward(p, reward);
        return new_none();
    });
}

PyObject* region_reset_posterior(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "reset_posterior", p)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.reset_posterior(p);
        return new_none();
    });
}

// ---- breaker ------------------------------------------------------------------

PyObject* region_try_breaker(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "try_breaker", p)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        return PyLong_FromLong(static_cast<long>(state.try_breaker(p)));
    });
}

const Signature kBreakerOutcome("breaker_outcome()", 3, "p", "trial", "outcome", "kind");

PyObject* region_breaker_outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    BoundArgs bound(kBreakerOutcome);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::size_t p = 0;
    long outcome = 0;
    std::string_view kind;
    if (!provider_arg(self, bound[0], p)) return nullptr;
    const int trial = PyObject_IsTrue(bound[1]);
    if (trial < 0 || !to_enum(bound[2], 3, "breaker outcome", outcome)) return nullptr;
    // Every failure kind counts the same, as CircuitBreaker.record_failure's does.
    if (bound[3] != nullptr && !bound.convert(3, to_utf8, kind)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        const std::optional<CircuitState> changed =
            state.breaker_outcome(p, trial != 0, static_cast<BreakerOutcome>(outcome));
        return changed ? state_text_object(*changed) : new_none();
    });
}

PyObject* region_trial_candidates(PyObject* self, PyObject* /*unused*/) {
    return with_state(self, [](SharedState& state) { return index_list(state.trial_candidates()); });
}

PyObject* region_still_named(PyObject* self, PyObject* /*unused*/) {
    return with_state(self, [](SharedState& state) { return PyBool_FromLong(state.region_still_named()); });
}

PyObject* region_reset_breaker(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "reset_breaker", p)) return nullptr;
    return with_state(self, [&](SharedState& state) { return PyBool_FromLong(state.reset_breaker(p)); });
}

PyObject* region_breaker_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "breaker_state", p)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        return state_text_object(state.breaker_state(p));
    });
}

PyObject* region_breaker_ready_in(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "breaker_ready_in", p)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        return PyFloat_FromDouble(state.breaker_ready_in(p));
    });
}

// ---- rate limits --------------------------------------------------------------

PyObject* region_try_limits(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    std::uint64_t tokens = 0;
    if (!provider_and_tokens(self, args, nargs, "try_limits", p, tokens)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        return PyFloat_FromDouble(state.try_limits(p, tokens));
    });
}

PyObject* region_limits_ready_in(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    std::uint64_t tokens = 0;
    if (!provider_and_tokens(self, args, nargs, "limits_ready_in", p, tokens)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        return PyFloat_FromDouble(state.limits_ready_in(p, tokens));
    });
}

PyObject* region_release_limits(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    std::uint64_t tokens = 0;
    if (!provider_and_tokens(self, args, nargs, "release_limits", p, tokens)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.release_limits(p, tokens);
        return new_none();
    });
}

PyObject* region_settle_tokens(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    std::uint64_t reserved = 0;
    std::uint64_t used = 0;
    if (!arg_count("settle_tokens", 3, nargs) || !provider_arg(self, args[0], p) ||
        !to_u64(args[1], reserved) || !to_u64(args[2], used))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.settle_tokens(p, reserved, used);
        return new_none();
    });
}

PyObject* region_bucket_levels(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "bucket_levels", p)) return nullptr;
    return with_state(self, [&](SharedState& state) -> PyObject* {
        const auto [requests, tokens] = state.bucket_levels(p);
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
    return with_state(self, [&](SharedState& state) {
        const std::optional<std::size_t> key = state.select_key(p, thread_rng());
        return PyLong_FromSsize_t(key ? static_cast<Py_ssize_t>(*key) : -1);
    });
}

PyObject* region_keys_ready_in(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "keys_ready_in", p)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        return PyFloat_FromDouble(state.keys_ready_in(p));
    });
}

const Signature kKeyOutcome("key_outcome()", 3, "p", "k", "outcome", "latency_ms",
                            "cooldown_s");

PyObject* region_key_outcome(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    BoundArgs bound(kKeyOutcome);
    if (!bound.bind(args, nargs, kwnames)) return nullptr;
    std::size_t p = 0;
    std::size_t k = 0;
    long outcome = 0;
    double latency_ms = 0.0;
    double cooldown_s = 0.0;
    if (!provider_arg(self, bound[0], p) || !key_arg(self, p, bound[1], k) ||
        !to_enum(bound[2], 6, "key outcome", outcome))
        return nullptr;
    if (bound[3] != nullptr && !bound.convert(3, to_double, latency_ms))
        return nullptr;
    if (bound[4] != nullptr && !bound.convert(4, to_double, cooldown_s))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        return new_bool(
            state.key_outcome(p, k, static_cast<KeyOutcome>(outcome), latency_ms, cooldown_s));
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
    return with_state(self, [&](SharedState& state) -> PyObject* {
        const std::vector<KeyView> views = state.key_summaries(p);
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
    if (!arg_count("daily_reset_due", 1, nargs)) return nullptr;
    const long long day = PyLong_AsLongLong(args[0]);
    if (day == -1 && PyErr_Occurred()) return nullptr;
    return with_state(self, [&](SharedState& state) { return new_bool(state.daily_reset_due(day)); });
}

// ---- lifetime -----------------------------------------------------------------

// Unmaps the region and drops this attachment; a second close does nothing.
PyObject* region_close(PyObject* self, PyObject* /*unused*/) {
    core_of<StateHandle>(self).reset();
    return new_none();
}

PyObject* region_closed(PyObject* self, void* /*closure*/) {
    return new_bool(core_of<StateHandle>(self) == nullptr);
}

// Test hook: parks this thread holding provider p's lock until the process is killed.
PyObject* region_park_holding_lock(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    int ready_fd = -1;
    if (!arg_count("_park_holding_lock", 2, nargs) || !provider_arg(self, args[0], p))
        return nullptr;
    ready_fd = PyLong_AsInt(args[1]);
    if (ready_fd == -1 && PyErr_Occurred()) return nullptr;
    SharedState* state = open_state(self);
    if (state == nullptr) return nullptr;
    Py_BEGIN_ALLOW_THREADS
    state->park_holding_lock(p, ready_fd);
    Py_END_ALLOW_THREADS
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
    no_args<region_still_named>(
        "still_named",
        "still_named($self, /)\n--\n\n"
        "False once the region's path no longer names this region's file."),
    no_args<region_trial_candidates>(
        "trial_candidates",
        "trial_candidates($self, /)\n--\n\nProviders that would answer TRIAL now."),
    fast<region_reset_breaker>("reset_breaker",
                               "reset_breaker($self, p, /)\n--\n\n"
                               "Closed, failures forgotten; True when it was not closed."),
    fast<region_breaker_state>("breaker_state", "breaker_state($self, p, /)\n--\n\n"),
    fast<region_breaker_ready_in>("breaker_ready_in", "breaker_ready_in($self, p, /)\n--\n\n"),
    fast<region_try_limits>("try_limits",
                            "try_limits($self, p, tokens, /)\n--\n\n0.0 when taken, else the wait."),
    fast<region_limits_ready_in>("limits_ready_in",
                                 "limits_ready_in($self, p, tokens, /)\n--\n\nThe wait, taking nothing."),
    fast<region_release_limits>("release_limits",
                                "release_limits($self, p, tokens, /)\n--\n\n"
                                "Gives back what try_limits took."),
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
    no_args<region_close>("close", "close($self, /)\n--\n\nDetaches from the region."),
    fast<region_park_holding_lock>(
        "_park_holding_lock",
        "_park_holding_lock($self, p, ready_fd, /)\n--\n\nTest hook: parks holding the lock."),
    {nullptr, nullptr, 0, nullptr},
};

// The methods above, the fleet's (host_fleet.cpp) and the stream timing
// ones (host_stream.cpp), with one sentinel.
PyMethodDef* all_region_methods() {
    static std::vector<PyMethodDef> all = [] {
        std::vector<PyMethodDef> methods(std::begin(region_methods), std::end(region_methods) - 1);
        for (const PyMethodDef* table : {region_fleet_methods, region_stream_methods}) {
            for (const PyMethodDef* method = table; method->ml_name != nullptr; ++method)
                methods.push_back(*method);
        }
        methods.push_back({nullptr, nullptr, 0, nullptr});
        return methods;
    }();
    return all.data();
}

PyGetSetDef region_properties[] = {
    {"closed", region_closed, nullptr, "True once close() was called.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot region_slots[] = {
    {Py_tp_new, as_slot(no_constructor)},
    {Py_tp_dealloc, as_slot(dealloc_instance<StateHandle>)},
    {Py_tp_doc, const_cast<char*>("The gateway's state in a region: host-shared, or in private memory.")},
    {Py_tp_methods, nullptr},  // all_region_methods(), set before the type is made
    {Py_tp_getset, region_properties},
    {0, nullptr},
};

PyType_Spec region_spec = {"velmorquist_proxy._host.HostRegion", sizeof(Instance<StateHandle>),
                           0, Py_TPFLAGS_DEFAULT, region_slots};

}  // namespace

PyObject* new_host_region(std::unique_ptr<SharedState> state) {
    region_slots[3].pfunc = all_region_methods();
    PyTypeObject* type = type_from_spec(region_type_slot, region_spec);
    if (type == nullptr) return nullptr;
    return new_instance<StateHandle>(type, std::move(state));
}

}  // namespace velmorquist::binding
