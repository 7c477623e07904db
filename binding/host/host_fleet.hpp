// HostRegion's fleet methods: what a FleetState over a host region needs
// from it (python/velmorquist_proxy/fleet/host.py).
#pragma once

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

// Ends with a sentinel; host_region.cpp adds them to HostRegion's own.
extern PyMethodDef region_fleet_methods[];

}  // namespace velmorquist::binding
