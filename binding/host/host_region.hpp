// HostRegion: the gateway state seam (python/velmorquist_proxy/_state.py)
// over a region (host-shared or private), providers and keys by index.
#pragma once

#include <memory>

#include "binding/common/py_ref.hpp"
#include "core/region/shared_state.hpp"

namespace velmorquist::binding {

// New reference to a HostRegion owning `state`; nullptr with an error set.
[[nodiscard]] PyObject* new_host_region(std::unique_ptr<SharedState> state);

}  // namespace velmorquist::binding
