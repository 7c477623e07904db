// AsyncChunks: the native base of the gateway's async stream wrapper
// (stream.AsyncStream), which times each chunk of an async source. Native
// because as a coroutine per chunk, the wrapper cost the server more than a
// twentieth of its own work per streamed request; what is rare (the first
// wait, a failure, the first chunk's commit) stays in Python, as methods
// of the subclass this base calls.
#pragma once

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

// Adds the AsyncChunks type to the module: 0, or -1 with an error set.
int add_async_chunks_type(PyObject* module);

}  // namespace velmorquist::binding
