"""What a gateway is told about each provider, and the defaults it fills in.

`Provider` is what a user writes; `ProviderSpec` is the same provider with
every default resolved, immutable, and the only form the gateway and its
state objects read.
"""

from __future__ import annotations

import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass

from velmorquist_proxy._host import PROVIDER_CATALOGUE
from velmorquist_proxy._masking import mask_key
from velmorquist_proxy._native import (
    CircuitBreaker,
    CircuitBreakerConfig,
    KeyPool,
    ProviderProfile,
    RateLimitConfig,
    TokenBucket,
)

STRATEGIES = ("round_robin", "least_used", "random", "weighted", "adaptive")

# The router's built-in catalogue (`ThompsonRouter.load_defaults`), read from
# the native side: id -> (cost per 1k tokens, quality, latency ms).
CATALOGUE = PROVIDER_CATALOGUE
# A provider the catalogue does not know sits in its middle: it neither wins
# nor loses by default, and learns its place from outcomes.
NEUTRAL_PROFILE = (0.01, 0.85, 500.0)


@dataclass(frozen=True, slots=True, repr=False)
class ProviderSpec:
    """One provider with every default resolved; keys are addressed by index."""

    name: str
    keys: tuple[str, ...]
    profile: ProviderProfile
    breaker: CircuitBreakerConfig
    rate: RateLimitConfig | None
    token_rate: RateLimitConfig | None
    key_strategy: str
    weights: tuple[float, ...]
    daily_limits: tuple[int | None, ...]
    first_chunk_timeout_s: float | None = None
    chunk_timeout_s: float | None = None

    def __repr__(self) -> str:
        return f"ProviderSpec({self.name!r}, keys={[mask_key(k) for k in self.keys]})"


class Provider:
    """A provider as the user describes it; see `resolve` for the defaults.

    `rate=None` takes `TokenBucket.provider_preset(name)` (no limit without
    one) and `rate=False` means no request limit at all. `weights` and
    `daily_limits` are a mapping from key to value or a sequence in key order.
    `first_chunk_timeout_s` and `chunk_timeout_s` are the stall limits of
    `attempt.stream()` for this provider (None: no limit).
    """

    __slots__ = ("name", "keys", "profile", "breaker", "rate", "token_rate",
                 "key_strategy", "weights", "daily_limits", "first_chunk_timeout_s",
                 "chunk_timeout_s")

    def __init__(self, name: str, keys: Sequence[str], *,
                 profile: ProviderProfile | None = None,
                 breaker: CircuitBreakerConfig | None = None,
                 rate: RateLimitConfig | None | bool = None,
                 token_rate: RateLimitConfig | None = None,
                 key_strategy: str = "adaptive",
                 weights: Mapping[str, float] | Sequence[float] | None = None,
                 daily_limits: Mapping[str, int | None] | Sequence[int | None] | None = None,
                 first_chunk_timeout_s: float | None = None,
                 chunk_timeout_s: float | None = None):
        if not isinstance(name, str) or not name:
            raise ValueError("provider name must be a non-empty str")
        self.name = name
        self.keys = _keys(name, keys)
        self.profile = _instance(name, "profile", profile, ProviderProfile)
        self.breaker = _instance(name, "breaker", breaker, CircuitBreakerConfig)
        if rate is not False:
            _instance(name, "rate", rate, RateLimitConfig)
        self.rate = rate
        self.token_rate = _instance(name, "token_rate", token_rate, RateLimitConfig)
        if key_strategy not in STRATEGIES:
            raise ValueError(f"provider {name!r}: key_strategy must be one of "
                             f"{', '.join(STRATEGIES)}, not {key_strategy!r}")
        self.key_strategy = key_strategy
        self.weights = tuple(float(w) for w in _per_key(name, "weights", weights, self.keys, 1.0))
        self.daily_limits = tuple(_daily_limit(name, n)
                                  for n in _per_key(name, "daily_limits", daily_limits,
                                                    self.keys, None))
        self.first_chunk_timeout_s = _seconds(name, "first_chunk_timeout_s",
                                              first_chunk_timeout_s)
        self.chunk_timeout_s = _seconds(name, "chunk_timeout_s", chunk_timeout_s)

    def resolve(self) -> ProviderSpec:
        name = self.name
        profile = self.profile or ProviderProfile(name, *CATALOGUE.get(name, NEUTRAL_PROFILE))
        breaker = (self.breaker or CircuitBreaker.provider_defaults(name)
                   or CircuitBreakerConfig(name))
        rate = None if self.rate is False else (self.rate or TokenBucket.provider_preset(name))
        return ProviderSpec(name, self.keys, profile, breaker, rate, self.token_rate,
                            self.key_strategy, self.weights, self.daily_limits,
                            self.first_chunk_timeout_s, self.chunk_timeout_s)

    def __repr__(self) -> str:
        return f"Provider({self.name!r}, keys={[mask_key(k) for k in self.keys]})"


def _keys(name: str, keys: Sequence[str]) -> tuple[str, ...]:
    if isinstance(keys, str) or not all(isinstance(k, str) for k in keys):
        raise ValueError(f"provider {name!r}: keys must be a list of str")
    result = tuple(keys)
    if not result:
        raise ValueError(f"provider {name!r}: needs at least one key")
    if len(set(result)) != len(result):
        raise ValueError(f"provider {name!r}: a key is listed twice")
    return result


def _instance(name: str, field: str, value, cls):
    if value is not None and not isinstance(value, cls):
        raise ValueError(f"provider {name!r}: {field} must be a {cls.__name__} or None, "
                         f"not {type(value).__name__}")
    return value


def _per_key(name: str, field: str, values, keys: tuple[str, ...], default) -> list:
    if values is None:
        return [default] * len(keys)
    if isinstance(values, Mapping):
        unknown = [k for k in values if k not in keys]
        if unknown:
            raise ValueError(f"provider {name!r}: {field} names a key that is not in keys "
                             f"({mask_key(str(unknown[0]))})")
        return [values.get(k, default) for k in keys]
    values = list(values)
    if len(values) != len(keys):
        raise ValueError(f"provider {name!r}: {field} needs one value per key "
                         f"({len(keys)}), got {len(values)}")
    return values


def _daily_limit(name: str, limit) -> int | None:
    if limit is None:
        return None
    if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
        raise ValueError(f"provider {name!r}: a daily limit must be a positive int or None, "
                         f"not {limit!r}")
    return limit


def _seconds(name: str, field: str, value) -> float | None:
    if value is None:
        return None
    if (isinstance(value, bool) or not isinstance(value, (int, float))
            or not math.isfinite(value) or value <= 0):
        raise ValueError(f"provider {name!r}: {field} must be a positive number of seconds "
                         f"or None, not {value!r}")
    return float(value)
