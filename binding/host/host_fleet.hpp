// HostRegion's methods for a fleet's syncer (python/velmorquist_proxy/fleet/):
// the changes and outcomes noted for the fleet, the leases, the fleet's
// status. host_region.cpp lists them in HostRegion's one method table.
#pragma once

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

// Each returns a new reference, or nullptr with an error set.
PyObject* region_fleet_note(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* region_fleet_changes(PyObject* self, PyObject* unused);
PyObject* region_fleet_holdings(PyObject* self, PyObject* unused);
PyObject* region_fleet_take_outcomes(PyObject* self, PyObject* unused);
PyObject* region_fleet_lease_asks(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames);
PyObject* region_fleet_hand_back(PyObject* self, PyObject* unused);
PyObject* region_fleet_grant(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);
PyObject* region_fleet_status(PyObject* self, PyObject* unused);
PyObject* region_fleet_set_degraded(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames);
PyObject* region_fleet_set_hosts(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);

}  // namespace velmorquist::binding
