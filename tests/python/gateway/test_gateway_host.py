"""The gateway over a host-shared region: it behaves as over its in-process
state (the same native state in private memory), and every worker process on
the host obeys one set of limits, trips and cool-downs."""

import itertools

import pytest

import gateway_helpers
import test_gateway as behaviour
# The gateway's own behaviour tests, run again below over a fresh region each.
from test_gateway import (  # noqa: F401
    test_a_key_problem_moves_to_the_next_key_at_once,
    test_best_ranked_provider_first_then_fallback_within_the_round,
    test_daily_limit_exhausts_a_key_until_the_daily_reset,
    test_provider_failures_hit_breaker_router_and_key,
    test_rate_limit_on_every_key_is_a_provider_failure_and_defaults_to_one_second,
    test_recovering_provider_gets_a_trial_first_and_starts_afresh,
    test_snapshot_is_json_and_counts_consistently,
    test_trials_are_bounded_and_a_failed_trial_reopens,
)

from velmorquist_proxy import (
    AllProvidersFailed,
    CircuitBreakerConfig,
    Gateway,
    HostState,
    Provider,
    ProviderFailure,
    RateLimitConfig,
    RetryPolicy,
    RouterConfig,
)
from worker_processes import run_all

KEYS = ("sk-alpha-key-0001", "sk-alpha-key-0002")
NO_RETRY = RetryPolicy(0, 0, 0, 0.0)


@pytest.fixture(autouse=True)
def gateways_over_host_state(monkeypatch, tmp_path):
    regions = (tmp_path / f"region-{n}" for n in itertools.count())

    def make_gateway(*providers, **options):
        return gateway_helpers.make_gateway(*providers, shared=HostState(next(regions)),
                                            **options)

    monkeypatch.setattr(behaviour, "make_gateway", make_gateway)


@pytest.mark.parametrize("cause, steps", [
    ("breaker", {"alpha": [503]}), ("rate", {}), ("keys", {"alpha": [401, 401]}),
])
def test_a_provider_that_refuses_is_skipped(cause, steps):
    # Its own scripts: the behaviour test's parametrised ones are used up.
    behaviour.test_a_provider_that_refuses_is_skipped(cause, gateway_helpers.Script(**steps))


def providers(rate=False, keys=KEYS):
    breaker = CircuitBreakerConfig("alpha", 1, 60.0, 1)
    return [Provider("alpha", list(keys), breaker=breaker, rate=rate, key_strategy="round_robin"),
            Provider("beta", ["sk-beta-key-00001"], rate=False)]


def gateway(shared, **options):
    # Ranking by the mean: ties keep the given order, so alpha goes first.
    return Gateway(providers(**options), shared=shared, retry=NO_RETRY, deadline_s=1.0,
                   router=RouterConfig(explore_mode=False))


@pytest.fixture
def shared(tmp_path):
    return HostState(tmp_path / "region")


def fail_alpha(provider, key):
    if provider == "alpha":
        raise ProviderFailure("overloaded", status=503)
    return provider


def cool_first_key(seen):
    def call(provider, key):
        seen.append(key)
        if key == KEYS[0]:
            raise ProviderFailure("slow down", status=429, retry_after=30)
        return key
    return call


def test_a_failure_trips_the_breaker_and_requests_fall_back(shared):
    with gateway(shared) as g:
        assert [g.call(fail_alpha) for _ in range(3)] == ["beta"] * 3
        snapshot = g.snapshot()
    assert snapshot["providers"]["alpha"]["breaker"] == "open"
    assert snapshot["counters"]["fallbacks"] == 1


def test_a_rate_limited_key_cools_and_the_other_key_serves(shared):
    seen = []
    with gateway(shared) as g:
        assert g.call(cool_first_key(seen)) == KEYS[1]
        assert g.call(cool_first_key(seen)) == KEYS[1]
        keys = g.snapshot()["providers"]["alpha"]["keys"]
    assert seen == [KEYS[0], KEYS[1], KEYS[1]]
    assert [key["status"] for key in keys] == ["rate_limited", "active"]
    assert KEYS[0] not in repr(keys)


def test_a_call_without_a_usable_key_gives_its_limit_back(shared):
    def revoked(provider, key):
        raise ProviderFailure("invalid key", status=401)

    with gateway(shared, rate=RateLimitConfig(2, 3600.0), keys=KEYS[:1]) as g:
        for _ in range(3):  # one call goes out; then no key is usable
            with pytest.raises(AllProvidersFailed):
                g.call(revoked)
        requests, _ = g.snapshot()["providers"]["alpha"]["bucket"].values()
    assert 1.0 <= requests < 1.01


def test_eight_workers_admit_exactly_one_bucket(tmp_path):
    capacity = 40  # refills one request per 90 s: none during the test

    def worker(_):
        with gateway(HostState(tmp_path / "region"), rate=RateLimitConfig(capacity, 3600.0),
                     keys=KEYS[:1]) as g:
            admitted = 0
            for _ in range(20):
                try:
                    admitted += g.call(lambda provider, key: provider) == "alpha"
                except AllProvidersFailed:
                    pass
            return admitted

    assert sum(run_all(worker)) == capacity


def test_trips_and_cool_downs_reach_the_other_workers(tmp_path):
    shared = HostState(tmp_path / "region")

    def trip_and_cool(_):
        seen = []
        with gateway(shared) as g:
            g.call(cool_first_key(seen))
            g.call(fail_alpha)

    with gateway(shared) as g:
        run_all(trip_and_cool, count=1)
        snapshot = g.snapshot()["providers"]["alpha"]
        assert snapshot["breaker"] == "open"
        assert snapshot["keys"][0]["status"] == "rate_limited"
        assert g.call(fail_alpha) == "beta"
        assert g.snapshot()["counters"]["fallbacks"] == 0  # alpha was never tried here
