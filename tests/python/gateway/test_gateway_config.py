"""Gateways from mappings and TOML files; one ValueError naming the field."""

import datetime
import tomllib

import pytest

from velmorquist_proxy import Gateway
from velmorquist_proxy.config import gateway_arguments

GOOD = """
deadline_s = 30.0
daily_reset = "06:30"
[retry]
max_retries = 3
base_delay_ms = 200
[router]
explore_mode = false
[[providers]]
name = "openai"
keys_env = ["GATEWAY_TEST_KEY"]
rate = false
[providers.breaker]
failure_threshold = 2
[[providers]]
name = "local"
keys = ["k1", "k2"]
key_strategy = "least_used"
daily_limits = [100, 5]
profile = { cost_per_1k = 0.0, base_quality = 0.8, base_latency_ms = 50.0 }
rate = { max_calls = 100, time_window_secs = 1.0 }
token_rate = { max_calls = 10000, time_window_secs = 60.0, burst_size = 12000 }
"""


def test_from_toml_builds_every_field(tmp_path, monkeypatch):
    monkeypatch.setenv("GATEWAY_TEST_KEY", "sk-from-the-environment")
    path = tmp_path / "gateway.toml"
    path.write_text(GOOD)
    providers, arguments = gateway_arguments(tomllib.loads(GOOD))
    openai, local = (provider.resolve() for provider in providers)
    assert openai.keys == ("sk-from-the-environment",) and openai.rate is None
    assert (openai.breaker.failure_threshold, openai.breaker.recovery_timeout_secs) == (2, 60.0)
    assert local.daily_limits == (100, 5) and local.key_strategy == "least_used"
    assert (local.profile.base_latency_ms, local.rate.max_calls) == (50.0, 100)
    assert local.token_rate.burst_size == 12000
    assert (arguments["retry"].max_retries, arguments["deadline_s"]) == (3, 30.0)
    assert arguments["router"].explore_mode is False
    assert arguments["daily_reset"] == datetime.time(6, 30)
    gateway = Gateway.from_toml(path)
    assert gateway.providers == ("openai", "local")
    shot = gateway.snapshot()["providers"]["local"]
    assert shot["bucket"] == {"requests": 100.0, "tokens": 12000.0}


def provider(**fields):
    return {"name": "p", "keys": ["k1"], **fields}


@pytest.mark.parametrize("config, path", [
    ({}, "providers: missing"),
    ({"providers": []}, "providers: must be"),
    ({"providers": [provider()], "colour": 1}, "colour: unknown field"),
    ({"providers": [provider(), provider(rate={"max_calls": -1, "time_window_secs": 1})]},
     "providers[1].rate.max_calls:"),
    ({"providers": [provider(rate={"max_calls": 5})]}, "providers[0].rate.time_window_secs:"),
    ({"providers": [provider(breaker={"failure_threshold": "3"})]},
     "providers[0].breaker.failure_threshold:"),
    ({"providers": [provider(profile={"quality": 1})]}, "providers[0].profile.quality:"),
    ({"providers": [provider(key_strategy="best")]}, "providers[0].key_strategy:"),
    ({"providers": [provider(keys_env=["GATEWAY_TEST_UNSET"])]}, "providers[0].keys_env[0]:"),
    ({"providers": [provider(daily_limits=[0])]}, "providers[0].daily_limits[0]:"),
    ({"providers": [provider(weights=[1.0, 2.0])]}, "providers[0]: provider 'p': weights"),
    ({"providers": [{"keys": ["k"]}]}, "providers[0].name: missing"),
    ({"providers": [provider()], "retry": {"max_retries": 1.5}}, "retry.max_retries:"),
    ({"providers": [provider()], "router": {"explore_mode": 1}}, "router.explore_mode:"),
    ({"providers": [provider()], "deadline_s": 0}, "deadline_s:"),
    ({"providers": [provider()], "daily_reset": "noon"}, "daily_reset:"),
    ({"providers": [provider()], "retry": {"jitter_factor": 2}}, "retry.jitter_factor:"),
    ({"providers": [provider()], "retry": {"jitter_factor": -1}}, "retry.jitter_factor:"),
    ({"providers": [provider()], "retry": {"max_retries": 2**32}}, "retry.max_retries:"),
    ({"providers": [provider()], "router": {"decay_factor": 5}}, "router.decay_factor:"),
    ({"providers": [provider()], "router": {"decay_factor": 0}}, "router.decay_factor:"),
    ({"providers": [provider()], "router": {"fallback_provider": "p"}},
     "router.fallback_provider:"),
    ({"providers": [provider(breaker={"recovery_timeout_secs": -1})]},
     "providers[0].breaker.recovery_timeout_secs:"),
    ({"providers": [provider(profile={"base_quality": 7})]}, "providers[0].profile.base_quality:"),
    ({"providers": [provider(weights=[-1])]}, "providers[0].weights[0]:"),
    ({"providers": [provider(rate={"max_calls": 10**30, "time_window_secs": 1})]},
     "providers[0].rate.max_calls:"),
    ({"providers": [provider(rate={"max_calls": 1, "time_window_secs": 10**400})]},
     "providers[0].rate.time_window_secs:"),
])
def test_a_bad_field_raises_one_value_error_naming_its_path(config, path, monkeypatch):
    monkeypatch.delenv("GATEWAY_TEST_UNSET", raising=False)
    with pytest.raises(ValueError) as raised:
        Gateway.from_config(config)
    assert str(raised.value).startswith(path)


def test_toml_time_and_key_file_newlines_are_read(tmp_path, monkeypatch):
    monkeypatch.setenv("GATEWAY_TEST_KEY", "sk-from-a-file\n")
    path = tmp_path / "gateway.toml"
    path.write_text('daily_reset = 06:30:00\n[[providers]]\nname = "p"\n'
                    'keys_env = ["GATEWAY_TEST_KEY"]\n')
    with open(path, "rb") as file:
        providers, arguments = gateway_arguments(tomllib.load(file))
    assert providers[0].resolve().keys == ("sk-from-a-file",)
    assert arguments["daily_reset"] == datetime.time(6, 30)


def test_snapshot_stays_strict_json_for_any_accepted_router():
    import json

    from velmorquist_proxy import Provider, RouterConfig
    with pytest.raises(ValueError, match="decay_factor"):
        Gateway([Provider("p", ["k1"])], router=RouterConfig(decay_factor=5))
    gateway = Gateway.from_config({"providers": [provider()], "router": {"decay_factor": 1.0}})
    json.dumps(gateway.snapshot(), allow_nan=False)
