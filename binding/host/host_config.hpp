// Reading the gateway's provider descriptions (plain tuples built by
// host_state.py) into the core's HostConfig.
#pragma once

#include "binding/common/py_ref.hpp"
#include "core/region/shared_state.hpp"

namespace velmorquist::binding {

// `providers`: a sequence of (name, (id, cost_per_1k, base_quality,
// base_latency_ms), (failure_threshold, recovery_timeout_secs,
// success_threshold), rate, token_rate, key_strategy, keys, weights,
// daily_limits) where a rate is None or (max_calls, time_window_secs,
// burst_size or None) and a daily limit is an int or None.
// `router`: (cost_weight, quality_weight, latency_weight, explore_mode,
// decay_factor). False with a Python error set on a malformed description.
[[nodiscard]] bool read_host_config(PyObject* providers, PyObject* router, HostConfig& out);

}  // namespace velmorquist::binding
