#include "binding/host/host_fleet.hpp"

#include <cstddef>
#include <vector>

#include "binding/host/region_access.hpp"

namespace velmorquist::binding {
namespace {

// ---- request path ---------------------------------------------------------------

PyObject* fleet_try_limits(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    std::uint64_t tokens = 0;
    if (!provider_and_tokens(self, args, nargs, "fleet_try_limits", p, tokens)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        return PyFloat_FromDouble(state.fleet_try_limits(p, tokens));
    });
}

PyObject* fleet_limits_ready_in(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    std::uint64_t tokens = 0;
    if (!provider_and_tokens(self, args, nargs, "fleet_limits_ready_in", p, tokens))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        return PyFloat_FromDouble(state.fleet_limits_ready_in(p, tokens));
    });
}

PyObject* fleet_release_limits(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    std::uint64_t tokens = 0;
    if (!provider_and_tokens(self, args, nargs, "fleet_release_limits", p, tokens))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.fleet_release_limits(p, tokens);
        return new_none();
    });
}

PyObject* fleet_settle_tokens(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    std::uint64_t reserved = 0;
    std::uint64_t used = 0;
    if (!arg_count("fleet_settle_tokens", 3, nargs) || !provider_arg(self, args[0], p) ||
        !to_u64(args[1], reserved) || !to_u64(args[2], used))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.fleet_settle_tokens(p, reserved, used);
        return new_none();
    });
}

PyObject* fleet_bucket_levels(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    if (!only_provider(self, args, nargs, "fleet_bucket_levels", p)) return nullptr;
    return with_state(self, [&](SharedState& state) -> PyObject* {
        const auto [requests, tokens] = state.fleet_bucket_levels(p);
        PyRef first(to_python(requests));
        if (!first) return nullptr;
        PyRef second(to_python(tokens));
        if (!second) return nullptr;
        return PyTuple_Pack(2, first.get(), second.get());
    });
}

PyObject* fleet_reward(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    double reward = 0.0;
    if (!arg_count("fleet_reward", 2, nargs) || !provider_arg(self, args[0], p) ||
        !to_double(args[1], reward))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.fleet_reward(p, reward);
        return new_none();
    });
}

// A trip or a reset takes any key index (-1 by custom); the others a valid one.
PyObject* fleet_note(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    std::size_t k = 0;
    long what = 0;
    if (!arg_count("fleet_note", 3, nargs) || !provider_arg(self, args[0], p) ||
        !to_enum(args[2], 6, "fleet note", what))
        return nullptr;
    const auto note = static_cast<FleetNote>(what);
    const bool about_provider = note == FleetNote::Trip || note == FleetNote::Reset;
    if (!about_provider && !key_arg(self, p, args[1], k)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.fleet_note(p, k, note);
        return new_none();
    });
}

// ---- the syncer -----------------------------------------------------------------

// New reference: a list of `make(item)` for each item; nullptr with an error set.
template <class Item, class Make>
PyObject* list_of(const std::vector<Item>& items, Make&& make) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = make(items[i]);
        if (item == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject* fleet_changes(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    bool everything = false;
    if (!arg_count("fleet_changes", 1, nargs) || !to_bool(args[0], everything)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        return list_of(state.fleet_changes(everything), [](const FleetChange& change) {
            return Py_BuildValue("(innd)", static_cast<int>(change.what),
                                 static_cast<Py_ssize_t>(change.p),
                                 change.what == FleetNote::Trip || change.what == FleetNote::Reset
                                     ? Py_ssize_t{-1}
                                                                : static_cast<Py_ssize_t>(change.k),
                                 change.value);
        });
    });
}

PyObject* fleet_take_outcomes(PyObject* self, PyObject* /*unused*/) {
    return with_state(self, [](SharedState& state) {
        return list_of(state.fleet_take_outcomes(), [](const std::pair<double, double>& counts) {
            return Py_BuildValue("(dd)", counts.first, counts.second);
        });
    });
}

PyObject* fleet_lease_asks(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    double elapsed = 0.0;
    bool all = false;
    if (!arg_count("fleet_lease_asks", 2, nargs) || !to_double(args[0], elapsed) ||
        !to_bool(args[1], all))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        return list_of(state.fleet_lease_asks(elapsed, all), [](const LeaseRequest& request) {
            return Py_BuildValue("(niKK)", static_cast<Py_ssize_t>(request.p),
                                 static_cast<int>(request.kind),
                                 static_cast<unsigned long long>(request.ask.want),
                                 static_cast<unsigned long long>(request.ask.back));
        });
    });
}

PyObject* fleet_grant(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::size_t p = 0;
    long kind = 0;
    double amount = 0.0;
    bool leased = false;
    if (!arg_count("fleet_grant", 4, nargs) || !provider_arg(self, args[0], p) ||
        !to_enum(args[1], 2, "lease limit", kind) || !to_double(args[2], amount) ||
        !to_bool(args[3], leased))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.fleet_grant(p, static_cast<LeaseKind>(kind), amount, leased);
        return new_none();
    });
}

PyObject* fleet_status(PyObject* self, PyObject* /*unused*/) {
    return with_state(self, [](SharedState& state) {
        const FleetStatus status = state.fleet_status();
        return Py_BuildValue("(NI)", new_bool(status.degraded), status.hosts);
    });
}

PyObject* fleet_set_degraded(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    bool degraded = false;
    if (!arg_count("fleet_set_degraded", 1, nargs) || !to_bool(args[0], degraded)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.fleet_set_degraded(degraded);
        return new_none();
    });
}

PyObject* fleet_set_hosts(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    std::uint32_t hosts = 0;
    if (!arg_count("fleet_set_hosts", 1, nargs) || !to_u32(args[0], hosts)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.fleet_set_hosts(hosts);
        return new_none();
    });
}

}  // namespace

PyMethodDef region_fleet_methods[] = {
    fast<fleet_try_limits>("fleet_try_limits",
                           "fleet_try_limits($self, p, tokens, /)\n--\n\n"
                           "try_limits over the host's leases of the fleet's buckets."),
    fast<fleet_limits_ready_in>("fleet_limits_ready_in",
                                "fleet_limits_ready_in($self, p, tokens, /)\n--\n\n"),
    fast<fleet_release_limits>("fleet_release_limits",
                               "fleet_release_limits($self, p, tokens, /)\n--\n\n"),
    fast<fleet_settle_tokens>("fleet_settle_tokens",
                              "fleet_settle_tokens($self, p, reserved, used, /)\n--\n\n"),
    fast<fleet_bucket_levels>("fleet_bucket_levels", "fleet_bucket_levels($self, p, /)\n--\n\n"),
    fast<fleet_reward>("fleet_reward",
                       "fleet_reward($self, p, reward, /)\n--\n\n"
                       "reward(), also counted for the fleet's learning."),
    fast<fleet_note>("fleet_note",
                     "fleet_note($self, p, k, what, /)\n--\n\n"
                     "Marks a change for the syncer: 0 trip, 1 cool, 2 exhausted, "
                     "3 disabled, 4 enabled."),
    fast<fleet_changes>("fleet_changes",
                        "fleet_changes($self, everything, /)\n--\n\n"
                        "[(what, p, k, value)]: the noted changes (cleared), or all held."),
    no_args<fleet_take_outcomes>("fleet_take_outcomes",
                                 "fleet_take_outcomes($self, /)\n--\n\n"
                                 "[(successes, failures)] per provider since the last call."),
    fast<fleet_lease_asks>("fleet_lease_asks",
                           "fleet_lease_asks($self, elapsed, all, /)\n--\n\n"
                           "[(p, kind, want, back)]; the hand-backs are already taken."),
    fast<fleet_grant>("fleet_grant",
                      "fleet_grant($self, p, limit, amount, leased, /)\n--\n\n"
                      "Adds to the lease of limit 0 (requests) or 1 (tokens)."),
    no_args<fleet_status>("fleet_status", "fleet_status($self, /)\n--\n\n(degraded, hosts)."),
    fast<fleet_set_degraded>("fleet_set_degraded",
                             "fleet_set_degraded($self, degraded, /)\n--\n\n"),
    fast<fleet_set_hosts>("fleet_set_hosts", "fleet_set_hosts($self, hosts, /)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace velmorquist::binding
