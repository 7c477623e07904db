#include "binding/host/host_fleet.hpp"

#include <cstddef>
#include <vector>

#include "binding/host/region_access.hpp"

namespace velmorquist::binding {
namespace {

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

// A trip or a reset is about a provider and takes no key.
bool about_provider(FleetNote what) { return what == FleetNote::Trip || what == FleetNote::Reset; }

// New reference: (what, p, k, value), k = -1 for a trip or a reset.
PyObject* change_tuple(const FleetChange& change) {
    const Py_ssize_t k =
        about_provider(change.what) ? Py_ssize_t{-1} : static_cast<Py_ssize_t>(change.k);
    return Py_BuildValue("(innd)", static_cast<int>(change.what),
                         static_cast<Py_ssize_t>(change.p), k, change.value);
}

// New reference: (p, limit, want, back, capacity, refill rate per second).
PyObject* lease_tuple(const LeaseRequest& request) {
    return Py_BuildValue("(niKKdd)", static_cast<Py_ssize_t>(request.p),
                         static_cast<int>(request.kind),
                         static_cast<unsigned long long>(request.ask.want),
                         static_cast<unsigned long long>(request.ask.back),
                         request.limits.capacity_tokens, request.limits.refill_rate);
}

}  // namespace

const Signature kFleetNote("HostRegion.fleet_note()", 3, "p", "k", "what");

// A trip or a reset takes any key index (-1 by custom); the others a valid one.
PyObject* region_fleet_note(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    BoundArgs bound(kFleetNote);
    std::size_t p = 0;
    std::size_t k = 0;
    FleetNote what{};
    if (!bound.bind(args, nargs, kwnames) || !provider_arg(self, bound[0], p) ||
        !to_enum<FleetNote, kFleetNoteCount>(bound[2], "fleet note", what))
        return nullptr;
    if (!about_provider(what) && !key_arg(self, p, bound[1], k)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.fleet_note(p, k, what);
        return new_none();
    });
}

PyObject* region_fleet_changes(PyObject* self, PyObject* /*unused*/) {
    return with_state(self, [](SharedState& state) {
        return list_of(state.fleet_changes(), change_tuple);
    });
}

PyObject* region_fleet_holdings(PyObject* self, PyObject* /*unused*/) {
    return with_state(self, [](SharedState& state) {
        return list_of(state.fleet_holdings(), change_tuple);
    });
}

PyObject* region_fleet_take_outcomes(PyObject* self, PyObject* /*unused*/) {
    return with_state(self, [](SharedState& state) {
        return list_of(state.fleet_take_outcomes(), [](const std::pair<double, double>& counts) {
            return Py_BuildValue("(dd)", counts.first, counts.second);
        });
    });
}

const Signature kFleetLeaseAsks("HostRegion.fleet_lease_asks()", 2, "elapsed", "every_lease");

PyObject* region_fleet_lease_asks(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
    BoundArgs bound(kFleetLeaseAsks);
    double elapsed = 0.0;
    bool every_lease = false;
    if (!bound.bind(args, nargs, kwnames) || !bound.convert(0, to_double, elapsed) ||
        !bound.convert(1, to_bool, every_lease))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        return list_of(state.fleet_lease_asks(elapsed, every_lease), lease_tuple);
    });
}

PyObject* region_fleet_hand_back(PyObject* self, PyObject* /*unused*/) {
    return with_state(self, [](SharedState& state) {
        return list_of(state.fleet_hand_back(), lease_tuple);
    });
}

const Signature kFleetGrant("HostRegion.fleet_grant()", 4, "p", "limit", "amount", "leased");

PyObject* region_fleet_grant(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    BoundArgs bound(kFleetGrant);
    std::size_t p = 0;
    LeaseKind limit{};
    double amount = 0.0;
    bool leased = false;
    if (!bound.bind(args, nargs, kwnames) || !provider_arg(self, bound[0], p) ||
        !to_enum<LeaseKind, kLeaseKindCount>(bound[1], "lease limit", limit) ||
        !bound.convert(2, to_double, amount) || !bound.convert(3, to_bool, leased))
        return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.fleet_grant(p, limit, amount, leased);
        return new_none();
    });
}

PyObject* region_fleet_status(PyObject* self, PyObject* /*unused*/) {
    return with_state(self, [](SharedState& state) {
        const FleetStatus status = state.fleet_status();
        return Py_BuildValue("(NI)", new_bool(status.degraded), status.hosts);
    });
}

const Signature kFleetSetDegraded("HostRegion.fleet_set_degraded()", 1, "degraded");

PyObject* region_fleet_set_degraded(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    BoundArgs bound(kFleetSetDegraded);
    bool degraded = false;
    if (!bound.bind(args, nargs, kwnames) || !bound.convert(0, to_bool, degraded)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.fleet_set_degraded(degraded);
        return new_none();
    });
}

const Signature kFleetSetHosts("HostRegion.fleet_set_hosts()", 1, "hosts");

PyObject* region_fleet_set_hosts(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    BoundArgs bound(kFleetSetHosts);
    std::uint32_t hosts = 0;
    if (!bound.bind(args, nargs, kwnames) || !bound.convert(0, to_u32, hosts)) return nullptr;
    return with_state(self, [&](SharedState& state) {
        state.fleet_set_hosts(hosts);
        return new_none();
    });
}

}  // namespace velmorquist::binding
