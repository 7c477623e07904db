"""Resilience and routing machinery for a proxy in front of LLM provider APIs.

The first nineteen names are the native objects themselves, re-exported
from `velmorquist_proxy._native`: calls through the package cost nothing
extra. `Gateway` and its companions compose them into one object.
"""

from velmorquist_proxy._native import (
    CircuitBreaker,
    CircuitBreakerConfig,
    CircuitOpenError,
    InvalidParameterError,
    KeyPool,
    KeySummary,
    NoAvailableKeysError,
    NoProvidersError,
    ProviderNotFoundError,
    ProviderProfile,
    ProxyError,
    RateLimitConfig,
    RateLimitedError,
    RetryPolicy,
    RouterConfig,
    RoutingDecision,
    SamplingError,
    ThompsonRouter,
    TokenBucket,
)

__version__ = "0.1.0"

# The native module's publication order.
__all__ = [
    "ProxyError",
    "CircuitOpenError",
    "RateLimitedError",
    "NoAvailableKeysError",
    "NoProvidersError",
    "ProviderNotFoundError",
    "InvalidParameterError",
    "SamplingError",
    "ThompsonRouter",
    "RouterConfig",
    "ProviderProfile",
    "RoutingDecision",
    "CircuitBreaker",
    "CircuitBreakerConfig",
    "TokenBucket",
    "RateLimitConfig",
    "KeyPool",
    "KeySummary",
    "RetryPolicy",
]

# The gateway: Python over the native classes above.
from velmorquist_proxy.attempt import Attempt  # noqa: E402
from velmorquist_proxy.events import GatewayEvent  # noqa: E402
from velmorquist_proxy.gateway import Gateway  # noqa: E402
from velmorquist_proxy.outcomes import (  # noqa: E402
    AllProvidersFailed,
    AttemptRecord,
    ProviderFailure,
    classify_failure,
)
from velmorquist_proxy.fleet import FleetState  # noqa: E402  (redis-py loads on use)
from velmorquist_proxy.host_state import HostState  # noqa: E402
from velmorquist_proxy.providers import Provider, ProviderSpec  # noqa: E402
from velmorquist_proxy.stream import StreamInterrupted, StreamStalled  # noqa: E402

__all__ += [
    "Gateway",
    "Provider",
    "ProviderSpec",
    "Attempt",
    "AttemptRecord",
    "ProviderFailure",
    "AllProvidersFailed",
    "GatewayEvent",
    "classify_failure",
    "HostState",
    "FleetState",
    "StreamInterrupted",
    "StreamStalled",
]
