// Reading the gateway's provider descriptions (providers.ProviderSpec) and
// router settings (RouterConfig) into the core's HostConfig, each setting
// by its attribute's name.
#pragma once

#include "binding/common/py_ref.hpp"
#include "core/region/shared_state.hpp"

namespace velmorquist::binding {

// `providers`: a sequence of objects with name, profile (id, cost_per_1k,
// base_quality, base_latency_ms), breaker (failure_threshold,
// recovery_timeout_secs, success_threshold), rate and token_rate (None or
// max_calls, time_window_secs, burst_size), key_strategy, keys, weights and
// daily_limits. `router`: an object with cost_weight, quality_weight,
// latency_weight, explore_mode and decay_factor. False with a Python error
// set on a malformed description.
[[nodiscard]] bool read_host_config(PyObject* providers, PyObject* router, HostConfig& out);

}  // namespace velmorquist::binding
