// UpstreamEvents: an upstream stream's complete server-sent events, read,
// cut, counted and masked natively. Native because an async generator doing
// the same cost the server a tenth of its own work per streamed request.
#pragma once

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

// Adds the UpstreamEvents type to the module: 0, or -1 with an error set.
int add_upstream_events_type(PyObject* module);

}  // namespace velmorquist::binding
