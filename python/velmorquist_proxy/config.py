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
the provider's defaults. Any unknown field or bad value raises one
ValueError whose message starts with the field's path, such as
`providers[1].rate.max_calls`.
"""

from __future__ import annotations

import datetime
import math
import os
from collections.abc import Mapping

from velmorquist_proxy._native import (
    CircuitBreakerConfig, ProviderProfile, RateLimitConfig, RetryPolicy, RouterConfig,
)
from velmorquist_proxy.providers import STRATEGIES, Provider

_TOP = ("providers", "retry", "router", "deadline_s", "reset_posterior_on_recovery",
        "daily_reset")
_PROVIDER = ("name", "keys", "keys_env", "profile", "breaker", "rate", "token_rate",
             "key_strategy", "weights", "daily_limits", "first_chunk_timeout_s",
             "chunk_timeout_s")
_RETRY = {"max_retries": "count", "base_delay_ms": "count", "max_delay_ms": "count",
          "jitter_factor": "number"}
_ROUTER = {"cost_weight": "number", "quality_weight": "number", "latency_weight": "number",
           "explore_mode": "bool", "decay_factor": "number", "fallback_provider": "str"}
_PROFILE = {"cost_per_1k": "number", "base_quality": "number", "base_latency_ms": "number"}
_BREAKER = {"failure_threshold": "count", "recovery_timeout_secs": "number",
            "success_threshold": "count"}
_RATE = {"max_calls": "positive", "time_window_secs": "positive_number",
         "burst_size": "positive"}


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
        arguments["router"] = RouterConfig(**_values(config["router"], "router", _ROUTER))
    if "deadline_s" in config:
        arguments["deadline_s"] = _value(config["deadline_s"], "deadline_s", "positive_number")
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
        if not os.environ.get(variable):
            raise ValueError(f"{path}.keys_env[{i}]: environment variable {variable} "
                             f"is not set")
        keys.append(os.environ[variable])
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
            options[field] = _value(entry[field], f"{path}.{field}", "positive_number")
    for field, kind in (("weights", "number"), ("daily_limits", "positive")):
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


def _value(value, path: str, kind: str):
    if kind == "bool":
        if not isinstance(value, bool):
            raise ValueError(f"{path}: must be true or false")
        return value
    if kind == "str":
        if not isinstance(value, str) or not value:
            raise ValueError(f"{path}: must be a non-empty string")
        return value
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise ValueError(f"{path}: must be a number")
    if kind in ("count", "positive"):
        if not isinstance(value, int) or value < (1 if kind == "positive" else 0):
            raise ValueError(f"{path}: must be a{' positive' if kind == 'positive' else ''} "
                             f"whole number{'' if kind == 'positive' else ' (0 or more)'}")
        return value
    if not math.isfinite(value) or (kind == "positive_number" and value <= 0):
        raise ValueError(f"{path}: must be a finite"
                         f"{' positive' if kind == 'positive_number' else ''} number")
    return float(value)


def _strings(values, path: str) -> list[str]:
    if not isinstance(values, list):
        raise ValueError(f"{path}: must be a list of strings")
    return [_value(value, f"{path}[{i}]", "str") for i, value in enumerate(values)]


def _time_of_day(text, path: str) -> datetime.time:
    try:
        return datetime.time.fromisoformat(_value(text, path, "str"))
    except ValueError:
        raise ValueError(f"{path}: must be a time of day such as \"00:00\" (UTC)") from None
