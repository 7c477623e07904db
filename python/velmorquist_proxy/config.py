"""A gateway from a plain mapping, such as a parsed TOML file.

    deadline_s = 30.0
    daily_reset = "00:00"            # UTC
    [retry]                           # RetryPolicy's fields
    max_retries = 3
    [router]                          # RouterConfig's fields
    explore_mode = true
    [[providers]]
    name = "openai"
    keys_env = ["OPENAI_KEY_1"]       # environment variables holding keys
    first_chunk_timeout_s = 10.0      # stalls of attempt.stream(); chunk_timeout_s too
    rate = { max_calls = 500, time_window_secs = 60.0 }   # or false: no limit
    [providers.breaker]
    failure_threshold = 5

Fields mirror the constructors; a section given in part takes the rest from
the provider's defaults. `daily_reset` is a string or a TOML time; a value
read from `keys_env` loses surrounding whitespace (such as the newline of a
key file). Any unknown field or bad value (wrong type, out of range: a
jitter or quality outside 0..1, a decay outside (0, 1], a negative weight or
time, an integer too large for the native field) raises one ValueError
whose message starts with the field's path, such as
`providers[1].rate.max_calls`.
"""

from __future__ import annotations

import datetime
import math
import os
from collections.abc import Mapping
from typing import NamedTuple

from velmorquist_proxy._native import (
    CircuitBreakerConfig, ProviderProfile, RateLimitConfig, RetryPolicy, RouterConfig,
)
from velmorquist_proxy.providers import STRATEGIES, Provider

_TOP = ("providers", "retry", "router", "deadline_s", "reset_posterior_on_recovery",
        "daily_reset")
_PROVIDER = ("name", "keys", "keys_env", "profile", "breaker", "rate", "token_rate",
             "key_strategy", "weights", "daily_limits", "first_chunk_timeout_s",
             "chunk_timeout_s")


class _Whole(NamedTuple):
    """A whole number in [low, high]: the native fields are 32- or 64-bit."""
    low: int
    high: int


class _Number(NamedTuple):
    """A finite number in [low, high]; above `low` only when `above`."""
    low: float
    high: float = math.inf
    above: bool = False


_U32 = 2**32 - 1
_U64 = 2**64 - 1
_COUNT = _Whole(0, _U32)
_POSITIVE = _Whole(1, _U64)
_NON_NEGATIVE = _Number(0.0)
_RETRY = {"max_retries": _COUNT, "base_delay_ms": _Whole(0, _U64),
          "max_delay_ms": _Whole(0, _U64), "jitter_factor": _Number(0.0, 1.0)}
# A decay of 0 or above 1 sends the posterior to 0 or infinity.
_ROUTER = {"cost_weight": _NON_NEGATIVE, "quality_weight": _NON_NEGATIVE,
           "latency_weight": _NON_NEGATIVE, "explore_mode": "bool",
           "decay_factor": _Number(0.0, 1.0, above=True)}
_PROFILE = {"cost_per_1k": _NON_NEGATIVE, "base_quality": _Number(0.0, 1.0),
            "base_latency_ms": _NON_NEGATIVE}
_BREAKER = {"failure_threshold": _COUNT, "recovery_timeout_secs": _NON_NEGATIVE,
            "success_threshold": _COUNT}
_RATE = {"max_calls": _POSITIVE, "time_window_secs": _Number(0.0, above=True),
         "burst_size": _POSITIVE}
_DEADLINE = _Number(0.0, above=True)
_SECONDS = _Number(0.0, above=True)


def gateway_arguments(config) -> tuple[list[Provider], dict]:
    """The providers and keyword arguments for `Gateway`."""
    _fields(config, "config", _TOP)
    if "providers" not in config:
        raise ValueError("providers: missing")
    providers = config["providers"]
    if not isinstance(providers, list) or not providers:
        raise ValueError("providers: must be a non-empty list")
    arguments = {}
    if "retry" in config:
        arguments["retry"] = RetryPolicy(**_values(config["retry"], "retry", _RETRY))
    if "router" in config:
        if isinstance(config["router"], Mapping) and "fallback_provider" in config["router"]:
            raise ValueError("router.fallback_provider: a gateway does not use it: every "
                             "provider is tried in each round")
        arguments["router"] = RouterConfig(**_values(config["router"], "router", _ROUTER))
    if "deadline_s" in config:
        arguments["deadline_s"] = _value(config["deadline_s"], "deadline_s", _DEADLINE)
    if "reset_posterior_on_recovery" in config:
        arguments["reset_posterior_on_recovery"] = _value(
            config["reset_posterior_on_recovery"], "reset_posterior_on_recovery", "bool")
    if "daily_reset" in config:
        arguments["daily_reset"] = _time_of_day(config["daily_reset"], "daily_reset")
    return [_provider(entry, f"providers[{i}]") for i, entry in enumerate(providers)], arguments


def _provider(entry, path: str) -> Provider:
    _fields(entry, path, _PROVIDER)
    if "name" not in entry:
        raise ValueError(f"{path}.name: missing")
    name = _value(entry["name"], f"{path}.name", "str")
    keys = _strings(entry.get("keys", []), f"{path}.keys")
    for i, variable in enumerate(_strings(entry.get("keys_env", []), f"{path}.keys_env")):
        # A key written to a file with `echo` ends in a newline that no
        # provider would accept.
        key = os.environ.get(variable, "").strip()
        if not key:
            raise ValueError(f"{path}.keys_env[{i}]: environment variable {variable} "
                             f"is not set")
        keys.append(key)
    options = {}
    defaults = Provider(name, ["-"], rate=False).resolve()
    if "profile" in entry:
        given = _values(entry["profile"], f"{path}.profile", _PROFILE)
        base = defaults.profile
        options["profile"] = ProviderProfile(
            name, given.get("cost_per_1k", base.cost_per_1k),
            given.get("base_quality", base.base_quality),
            given.get("base_latency_ms", base.base_latency_ms))
    if "breaker" in entry:
        given = _values(entry["breaker"], f"{path}.breaker", _BREAKER)
        base = defaults.breaker
        options["breaker"] = CircuitBreakerConfig(
            name, given.get("failure_threshold", base.failure_threshold),
            given.get("recovery_timeout_secs", base.recovery_timeout_secs),
            given.get("success_threshold", base.success_threshold))
    if "rate" in entry:
        options["rate"] = False if entry["rate"] is False else _rate(entry["rate"],
                                                                     f"{path}.rate")
    if "token_rate" in entry:
        options["token_rate"] = _rate(entry["token_rate"], f"{path}.token_rate")
    if "key_strategy" in entry:
        strategy = _value(entry["key_strategy"], f"{path}.key_strategy", "str")
        if strategy not in STRATEGIES:
            raise ValueError(f"{path}.key_strategy: must be one of {', '.join(STRATEGIES)}")
        options["key_strategy"] = strategy
    for field in ("first_chunk_timeout_s", "chunk_timeout_s"):
        if field in entry:
            options[field] = _value(entry[field], f"{path}.{field}", _SECONDS)
    for field, kind in (("weights", _NON_NEGATIVE), ("daily_limits", _POSITIVE)):
        if field in entry:
            options[field] = _per_key(entry[field], f"{path}.{field}", kind)
    try:
        return Provider(name, keys, **options)
    except ValueError as error:
        raise ValueError(f"{path}: {error}") from None


def _rate(section, path: str) -> RateLimitConfig:
    given = _values(section, path, _RATE)
    for field in ("max_calls", "time_window_secs"):
        if field not in given:
            raise ValueError(f"{path}.{field}: missing")
    return RateLimitConfig(**given)


def _per_key(values, path: str, kind: str):
    if isinstance(values, Mapping):
        return {key: _value(value, f"{path}.<key {i}>", kind)
                for i, (key, value) in enumerate(values.items())}
    if not isinstance(values, list):
        raise ValueError(f"{path}: must be a list in key order or a table by key")
    return [_value(value, f"{path}[{i}]", kind) for i, value in enumerate(values)]


def _fields(section, path: str, allowed) -> None:
    if not isinstance(section, Mapping):
        raise ValueError(f"{path}: must be a table")
    for field in section:
        if field not in allowed:
            raise ValueError(f"{path}.{field}: unknown field" if path != "config"
                             else f"{field}: unknown field")


def _values(section, path: str, schema: dict) -> dict:
    _fields(section, path, schema)
    return {field: _value(value, f"{path}.{field}", schema[field])
            for field, value in section.items()}


def _value(value, path: str, kind):
    if kind == "bool":
        if not isinstance(value, bool):
            raise ValueError(f"{path}: must be true or false")
        return value
    if kind == "str":
        if not isinstance(value, str) or not value:
            raise ValueError(f"{path}: must be a non-empty string")
        return value
    if isinstance(kind, _Whole):
        if isinstance(value, bool) or not isinstance(value, int) or not (
                kind.low <= value <= kind.high):
            raise ValueError(f"{path}: must be a whole number from {kind.low} to {kind.high}")
        return value
    if (isinstance(value, bool) or not isinstance(value, (int, float))
            or not _in_range(value, kind)):
        low = f"above {kind.low:g}" if kind.above else f"at least {kind.low:g}"
        high = "" if kind.high == math.inf else f" and at most {kind.high:g}"
        raise ValueError(f"{path}: must be a finite number {low}{high}")
    return float(value)


def _in_range(value, kind: _Number) -> bool:
    try:
        number = float(value)
    except OverflowError:   # an int past the largest double
        return False
    if not math.isfinite(number) or number > kind.high:
        return False
    return number > kind.low if kind.above else number >= kind.low


def _strings(values, path: str) -> list[str]:
    if not isinstance(values, list):
        raise ValueError(f"{path}: must be a list of strings")
    return [_value(value, f"{path}[{i}]", "str") for i, value in enumerate(values)]


def _time_of_day(value, path: str) -> datetime.time:
    if isinstance(value, datetime.time):   # a TOML local time
        return value
    try:
        return datetime.time.fromisoformat(_value(value, path, "str"))
    except ValueError:
        raise ValueError(f"{path}: must be a time of day such as \"00:00\" (UTC)") from None
