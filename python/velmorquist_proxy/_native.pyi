"""Native extension module: `velmorquist_proxy._native`"""

from collections.abc import Sequence
from typing import Literal, Self, SupportsFloat, SupportsIndex, TypeAlias, final

__all__: list[str]

# Numbers are converted like the interpreter's own float() and index
# conversions: an int, a float, or any object with __float__ / __index__.
_Float: TypeAlias = SupportsFloat | SupportsIndex
_FailureType: TypeAlias = Literal[
    "rate_limit", "auth", "timeout", "connection", "service_error", "unknown"
]
_KeyStatus: TypeAlias = Literal[
    "active", "rate_limited", "cooling_down", "disabled", "exhausted"
]

# Exceptions. The base class is published as ProxyError; its __name__ is
# "ProxyBaseError". Each is raised with its message as the only argument.
class ProxyError(Exception): ...
class CircuitOpenError(ProxyError): ...
class RateLimitedError(ProxyError): ...
class NoAvailableKeysError(ProxyError): ...
class NoProvidersError(ProxyError): ...
class ProviderNotFoundError(ProxyError): ...
class InvalidParameterError(ProxyError): ...
class SamplingError(ProxyError): ...

@final
class ThompsonRouter:
    """Thompson sampling router for LLM providers."""

    def __new__(cls, config: RouterConfig | None = None) -> Self: ...
    def add_provider(self, profile: ProviderProfile) -> None:
        """Add a provider to the router."""
    def remove_provider(self, provider_id: str) -> bool:
        """Remove a provider by ID. Returns true if found and removed."""
    @property
    def provider_count(self) -> int:
        """Number of registered providers."""
    def select(self) -> RoutingDecision:
        """Select a provider (auto mode: explore or deterministic based on config)."""
    def select_deterministic(self) -> RoutingDecision:
        """Select deterministically (no sampling)."""
    def record_outcome(self, provider_id: str, reward: _Float) -> None:
        """Record an outcome for a provider. Reward should be in [0, 1]."""
    def rank_among(self, eligible_ids: Sequence[str] = ...) -> list[RoutingDecision]:
        """Rank providers by score (best-to-worst).
        If `eligible_ids` is empty, all providers are ranked.
        """
    def load_defaults(self) -> None:
        """Load default profiles for 12 common providers."""

@final
class RouterConfig:
    """Python-visible router config."""

    def __new__(
        cls,
        cost_weight: _Float = 0.5,
        quality_weight: _Float = 0.35,
        latency_weight: _Float = 0.15,
        explore_mode: bool = True,
        decay_factor: _Float = 0.95,
        fallback_provider: str | None = None,
    ) -> Self: ...
    @property
    def cost_weight(self) -> float: ...
    @property
    def quality_weight(self) -> float: ...
    @property
    def latency_weight(self) -> float: ...
    @property
    def explore_mode(self) -> bool: ...
    @property
    def decay_factor(self) -> float: ...
    @property
    def fallback_provider(self) -> str | None: ...

@final
class ProviderProfile:
    """Python-visible provider profile."""

    def __new__(
        cls, id: str, cost_per_1k: _Float, base_quality: _Float, base_latency_ms: _Float
    ) -> Self: ...
    @property
    def id(self) -> str: ...
    @property
    def cost_per_1k(self) -> float: ...
    @property
    def base_quality(self) -> float: ...
    @property
    def base_latency_ms(self) -> float: ...

@final
class RoutingDecision:
    """Python-visible routing decision."""

    @property
    def provider_id(self) -> str: ...
    @property
    def score(self) -> float: ...
    @property
    def is_explore(self) -> bool: ...

@final
class CircuitBreaker:
    """Circuit breaker for LLM provider resilience."""

    def __new__(
        cls, config: CircuitBreakerConfig | None = None, provider: str | None = None
    ) -> Self: ...
    @property
    def state(self) -> Literal["closed", "open", "half_open"]:
        """Current state as a string: "closed", "open", or "half_open"."""
    def allow_request(self) -> None:
        """Check if the circuit allows a request through."""
    def record_success(self) -> None:
        """Record a successful call."""
    def record_failure(self, failure_type: str = "unknown") -> None:
        """Record a failed call with a failure type string.

        Valid types: "rate_limit", "auth", "timeout", "connection", "service_error", "unknown".
        """
    def reset(self) -> None:
        """Reset the circuit breaker to closed state."""
    @staticmethod
    def classify_error(error_msg: str) -> _FailureType:
        """Classify an error message into a failure type string."""
    @staticmethod
    def provider_defaults(provider: str) -> CircuitBreakerConfig | None:
        """Get provider-specific default config, or None if unknown."""

@final
class CircuitBreakerConfig:
    """Python-visible circuit breaker config."""

    def __new__(
        cls,
        provider: str,
        failure_threshold: SupportsIndex = 5,
        recovery_timeout_secs: _Float = 60.0,
        success_threshold: SupportsIndex = 2,
    ) -> Self: ...
    @property
    def provider(self) -> str: ...
    @property
    def failure_threshold(self) -> int: ...
    @property
    def recovery_timeout_secs(self) -> float: ...
    @property
    def success_threshold(self) -> int: ...

@final
class TokenBucket:
    """Token bucket rate limiter."""

    def __new__(
        cls,
        config: RateLimitConfig | None = None,
        max_calls: SupportsIndex | None = None,
        time_window_secs: _Float | None = None,
    ) -> Self: ...
    def try_acquire(self, n: SupportsIndex = 1) -> Literal[True]:
        """Try to acquire `n` tokens. Returns True on success, raises RateLimitedError on failure."""
    @property
    def available_tokens(self) -> float:
        """Number of tokens currently available."""
    @staticmethod
    def provider_preset(provider: str) -> RateLimitConfig | None:
        """Get a provider preset config, or None if unknown."""

@final
class RateLimitConfig:
    """Python-visible rate limit config."""

    def __new__(
        cls,
        max_calls: SupportsIndex,
        time_window_secs: _Float,
        burst_size: SupportsIndex | None = None,
    ) -> Self: ...
    @property
    def max_calls(self) -> int: ...
    @property
    def time_window_secs(self) -> float: ...
    @property
    def burst_size(self) -> int | None: ...

@final
class KeyPool:
    """API key pool with 5 rotation strategies."""

    def __new__(cls, strategy: str = "round_robin") -> Self: ...
    def __len__(self) -> int: ...
    def __bool__(self) -> bool: ...
    def add_key(
        self, key: str, weight: _Float = 1.0, daily_limit: SupportsIndex | None = None
    ) -> None:
        """Add a key to the pool."""
    def select_key(self) -> str:
        """Select a key using the configured strategy."""
    def record_success(self, key: str, latency_ms: _Float) -> None:
        """Record a successful request."""
    def record_error(self, key: str) -> None:
        """Record an error."""
    def record_rate_limit(self, key: str, cooldown_secs: _Float) -> None:
        """Record a rate limit hit with cooldown."""
    def record_exhausted(self, key: str) -> None:
        """Record quota exhaustion."""
    def disable_key(self, key: str) -> None:
        """Disable a key."""
    def enable_key(self, key: str) -> None:
        """Re-enable a disabled key."""
    def reset_daily_counters(self) -> None:
        """Reset daily counters for all keys."""
    def has_key(self, key: str) -> bool:
        """Check if a key exists in the pool."""
    def remove_key(self, key: str) -> bool:
        """Remove a key from the pool. Returns true if it was present."""
    def list_keys(self) -> list[KeySummary]:
        """List all keys with masked key material and current metrics."""

@final
class KeySummary:
    """Summary of a key's state (key material is masked)."""

    @property
    def key_masked(self) -> str: ...
    @property
    def status(self) -> _KeyStatus: ...
    @property
    def total_requests(self) -> int: ...
    @property
    def total_errors(self) -> int: ...
    @property
    def total_rate_limits(self) -> int: ...
    @property
    def avg_latency_ms(self) -> float: ...
    @property
    def health_score(self) -> float: ...
    @property
    def weight(self) -> float: ...

@final
class RetryPolicy:
    """Retry policy with exponential backoff and jitter."""

    def __new__(
        cls,
        max_retries: SupportsIndex = 2,
        base_delay_ms: SupportsIndex = 500,
        max_delay_ms: SupportsIndex = 10000,
        jitter_factor: _Float = 0.5,
    ) -> Self: ...
    @property
    def max_retries(self) -> int: ...
    @property
    def base_delay_ms(self) -> int: ...
    @property
    def max_delay_ms(self) -> int: ...
    @property
    def jitter_factor(self) -> float: ...
    def should_retry(self, attempt: SupportsIndex) -> bool:
        """Whether attempt `n` (0-indexed) should be retried."""
    def delay_ms(self, attempt: SupportsIndex) -> int:
        """Delay in milliseconds before attempt `n` (exponential backoff + jitter)."""
