// The type objects of the module's classes. Each function returns a borrowed
// reference, creating the type on first demand (kept for the process), or
// nullptr with an error set on failure.
#pragma once

#include "binding/common/py_ref.hpp"

namespace velmorquist::binding {

PyTypeObject* thompson_router_type();
PyTypeObject* router_config_type();
PyTypeObject* provider_profile_type();
PyTypeObject* routing_decision_type();
PyTypeObject* circuit_breaker_type();
PyTypeObject* circuit_breaker_config_type();
PyTypeObject* token_bucket_type();
PyTypeObject* rate_limit_config_type();
PyTypeObject* key_pool_type();
PyTypeObject* key_summary_type();
PyTypeObject* retry_policy_type();

}  // namespace velmorquist::binding
