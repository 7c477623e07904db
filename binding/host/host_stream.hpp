// HostRegion's latency and stream timing methods (core/shared_state_stream.cpp).
#pragma once

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

// Ends with a sentinel; host_region.cpp adds them to HostRegion's own.
extern PyMethodDef region_stream_methods[];

}  // namespace velmorquist::binding
