// HostRegion's latency and stream timing methods (core/region/shared_state_stream.cpp);
// host_region.cpp lists them in HostRegion's one method table.
#pragma once

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

// Each returns a new reference, or nullptr with an error set.
PyObject* region_learn_latency(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames);
PyObject* region_absorb_latency(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
PyObject* region_chunk_gaps(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames);
PyObject* region_stream_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
PyObject* region_fleet_take_latencies(PyObject* self, PyObject* unused);

}  // namespace velmorquist::binding
