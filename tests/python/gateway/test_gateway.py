"""The gateway's behaviour: choice, the outcome table, waiting, recovery,
daily quotas, events, masking and the snapshot."""

import asyncio
import datetime
import json
import time

import pytest
from gateway_helpers import KEYS, NAMES, Script, make_gateway, provider, request

from velmorquist_proxy import (
    AllProvidersFailed, Gateway, Provider, ProviderFailure, RateLimitConfig, RetryPolicy,
    RouterConfig, ThompsonRouter,
)
from velmorquist_proxy._host import ManualClock
from velmorquist_proxy.outcomes import classify_failure, parse_retry_after
from velmorquist_proxy.providers import CATALOGUE


def snapshot_keys(gateway, name):
    return gateway.snapshot()["providers"][name]["keys"]


def posterior(gateway, name):
    value = gateway.snapshot()["providers"][name]["posterior"]
    return value["alpha"], value["beta"]


# ---- choice ---------------------------------------------------------------
def test_best_ranked_provider_first_then_fallback_within_the_round():
    sleeps = []
    gateway = make_gateway(sleeps=sleeps)
    script = Script(alpha=[503], bravo=[500])
    attempt = request(gateway, script)
    assert [p for p, _ in script.calls] == ["alpha", "bravo", "charlie"]
    assert (attempt.provider, attempt.number, attempt.round) == ("charlie", 2, 0)
    assert sleeps == [] and gateway.snapshot()["counters"]["fallbacks"] == 2


def test_next_round_after_every_provider_failed_waits_the_retry_delay():
    sleeps = []
    gateway = make_gateway(sleeps=sleeps)
    script = Script(alpha=[503], bravo=[503], charlie=[503])
    attempt = request(gateway, script)
    assert (attempt.provider, attempt.number, attempt.round) == ("alpha", 3, 1)
    assert sleeps == [0.1]   # delay_ms(0) without jitter


@pytest.mark.parametrize("cause, first_request", [
    ("breaker", Script(alpha=[503])),          # opens alpha's breaker
    ("rate", Script()),                        # takes alpha's only request
    ("keys", Script(alpha=[401, 401])),        # disables both of alpha's keys
])
def test_a_provider_that_refuses_is_skipped(cause, first_request):
    rate = RateLimitConfig(1, 3600.0) if cause == "rate" else False
    gateway = make_gateway(provider("alpha", threshold=1, rate=rate), provider("bravo"))
    request(gateway, first_request)
    script = Script()
    assert request(gateway, script).provider == "bravo"
    assert script.calls == [("bravo", script.calls[0][1])]
    assert gateway.snapshot()["counters"]["refusals"][cause] == 1


# ---- outcomes -------------------------------------------------------------
class ReadTimeout(Exception):
    """An HTTP client's timeout, mapped by its name."""


class ConnectError(Exception):
    """An HTTP client's connection error, mapped by its name."""


@pytest.mark.parametrize("failure, kind", [
    (500, "service_error"), (503, "service_error"), (408, "timeout"),
    (TimeoutError("slow"), "timeout"), (asyncio.TimeoutError(), "timeout"),
    (ReadTimeout("read"), "timeout"), (ConnectionResetError("reset"), "connection"),
    (OSError("unreachable"), "connection"), (ConnectError("refused"), "connection"),
    (ProviderFailure("upstream broke", kind="service_error"), "service_error"),
    (ProviderFailure("connection reset by peer"), "connection"),
])
def test_provider_failures_hit_breaker_router_and_key(failure, kind):
    gateway = make_gateway(provider("alpha", threshold=1), provider("bravo"))
    attempt = request(gateway, Script(alpha=[failure]))
    assert attempt.provider == "bravo"
    shot = gateway.snapshot()
    assert shot["providers"]["alpha"]["breaker"] == "open"
    assert posterior(gateway, "alpha") == (1.0, 1.95)
    assert sum(key["errors"] for key in shot["providers"]["alpha"]["keys"]) == 1
    assert shot["counters"]["failures"] == {kind: 1}


@pytest.mark.parametrize("status, retry_after, body, kind, key_status", [
    (429, "2", "", "rate_limit", "rate_limited"),
    (401, None, "", "auth", "disabled"),
    (403, None, "", "auth", "disabled"),
    (402, None, "", "quota", "exhausted"),
    (429, "5", '{"error": {"code": "insufficient_quota"}}', "quota", "exhausted"),
])
def test_a_key_problem_moves_to_the_next_key_at_once(status, retry_after, body, kind,
                                                     key_status):
    sleeps, events = [], []
    gateway = make_gateway(sleeps=sleeps, on_event=events.append)
    script = Script(alpha=[(status, retry_after, body)])
    attempt = request(gateway, script)
    assert [p for p, _ in script.calls] == ["alpha", "alpha"]
    assert script.calls[0][1] != script.calls[1][1] and attempt.number == 1
    assert sleeps == []
    statuses = [key["status"] for key in snapshot_keys(gateway, "alpha")]
    assert statuses == [key_status, "active"]
    assert posterior(gateway, "alpha") == (1.95, 1.0)   # only the success counted
    assert gateway.snapshot()["providers"]["alpha"]["breaker"] == "closed"
    assert gateway.snapshot()["counters"]["failures"] == {kind: 1}
    if kind == "rate_limit":
        cooled = [e for e in events if e.kind == "key_cooled"]
        assert cooled[0].detail == {"cooldown_s": 2.0}


def test_rate_limit_on_every_key_is_a_provider_failure_and_defaults_to_one_second():
    events = []
    gateway = make_gateway(on_event=events.append)
    attempt = request(gateway, Script(alpha=[429, 429]))
    assert attempt.provider == "bravo"
    assert posterior(gateway, "alpha") == (1.0, 1.95)
    assert [e.detail["cooldown_s"] for e in events if e.kind == "key_cooled"] == [1.0, 1.0]


@pytest.mark.parametrize("status", [400, 404, 413, 422])
def test_other_4xx_is_the_callers_fault(status):
    gateway = make_gateway()
    script = Script(alpha=[(status, None, "bad request")])
    with pytest.raises(ProviderFailure) as raised:
        request(gateway, script)
    assert raised.value.status == status and len(script.calls) == 1
    assert posterior(gateway, "alpha") == (1.0, 1.0)
    assert all(key["errors"] == 0 for key in snapshot_keys(gateway, "alpha"))
    counters = gateway.snapshot()["counters"]
    assert (counters["requests"], counters["ended_by_caller"]) == (1, 1)


def test_a_bug_in_the_block_is_reraised_and_nothing_recorded():
    gateway = make_gateway(provider("alpha"))
    with pytest.raises(KeyError):
        for attempt in gateway.attempts():
            with attempt:
                {}["missing"]
    assert posterior(gateway, "alpha") == (1.0, 1.0)
    assert gateway.snapshot()["counters"]["failures"] == {}


def test_classify_replaces_the_table():
    gateway = make_gateway(classify=lambda error: "auth" if "expired" in str(error)
                           else classify_failure(error))
    request(gateway, Script(alpha=[ProviderFailure("token expired")]))
    assert [key["status"] for key in snapshot_keys(gateway, "alpha")][0] == "disabled"


# ---- waiting --------------------------------------------------------------
@pytest.mark.parametrize("options, failure", [
    ({"keys": ["sk-only-key-000001"]}, (429, 30, "")),           # the key cools down
    ({"threshold": 1, "recovery": 30.0}, 503),                    # the breaker recovers
    ({"rate": RateLimitConfig(1, 30.0)}, 503),                    # the bucket refills
])
def test_wait_is_at_least_until_a_provider_is_usable_again(options, failure):
    sleeps = []
    gateway = make_gateway(provider("alpha", **options), sleeps=sleeps, max_retries=1)
    with pytest.raises(AllProvidersFailed):
        request(gateway, Script(alpha=[failure]))
    assert len(sleeps) == 1 and 29.0 < sleeps[0] <= 30.0


def test_no_wait_past_the_deadline_fails_at_once():
    sleeps = []
    gateway = make_gateway(provider("alpha", keys=["sk-only-key-000001"]), sleeps=sleeps)
    with pytest.raises(AllProvidersFailed, match="deadline"):
        request(gateway, Script(alpha=[(429, 30, "")]), deadline_s=5.0)
    assert sleeps == []


def test_retries_run_out_after_max_retries_rounds():
    sleeps = []
    gateway = make_gateway(sleeps=sleeps, max_retries=1)
    script = Script(**{name: [503, 503] for name in NAMES})
    with pytest.raises(AllProvidersFailed, match="no retries left") as raised:
        request(gateway, script)
    assert len(script.calls) == 6 and sleeps == [0.1]
    assert [record.provider for record in raised.value.attempts] == list(NAMES) * 2
    assert gateway.snapshot()["counters"]["failed"] == 1


def test_async_attempts_wait_with_the_injected_asleep():
    waits = []

    async def asleep(seconds):
        waits.append(seconds)

    gateway = make_gateway(provider("alpha"), _asleep=asleep)
    script = Script(alpha=[503])

    async def main():
        async def send(name, key):
            status, _, _ = script(name, key)
            if status != 200:
                raise ProviderFailure("down", status=status)
            return name
        return await gateway.acall(send)

    assert asyncio.run(main()) == "alpha" and waits == [0.1]


def test_attempt_steps_yield_the_wait_instead_of_sleeping():
    sleeps = []
    gateway = make_gateway(provider("alpha"), sleeps=sleeps)
    script = Script(alpha=[503])
    steps = []
    for step in gateway.attempt_steps():
        steps.append(step)
        if step.__class__ is not float:
            with step:
                status, _, _ = script(step.provider, step.key)
                if status != 200:
                    raise ProviderFailure("down", status=status)
    assert [type(step).__name__ for step in steps] == ["Attempt", "float", "Attempt"]
    assert steps[1] == 0.1 and sleeps == []


# ---- recovery -------------------------------------------------------------
def test_recovering_provider_gets_a_trial_first_and_starts_afresh():
    events, clock = [], ManualClock(1000.0)
    # charlie ranks last, but its recovery time passing earns it the first call.
    gateway = make_gateway(provider("alpha"), provider("charlie", threshold=1, recovery=0.02),
                           on_event=events.append, _clock=clock)
    gateway._state.reward(1, 0.0)
    request(gateway, Script(alpha=[503], charlie=[503]))   # opens charlie
    assert gateway.snapshot()["providers"]["charlie"]["breaker"] == "open"
    clock.advance(0.015)
    assert gateway.snapshot()["providers"]["charlie"]["breaker"] == "open"
    clock.advance(0.015)
    script = Script()
    assert request(gateway, script).provider == "charlie"
    assert [e.kind for e in events if e.kind in ("trial", "breaker", "posterior_reset")] == [
        "breaker", "trial", "breaker", "posterior_reset"]
    assert posterior(gateway, "charlie") == (1.0, 1.0)
    assert request(gateway, Script()).provider == "alpha"   # back to the ranking


def test_trials_are_bounded_and_a_failed_trial_reopens():
    clock = ManualClock(1000.0)
    gateway = make_gateway(provider("alpha", threshold=1, recovery=0.3, successes=2),
                           provider("bravo"), reset_posterior_on_recovery=False, _clock=clock)
    request(gateway, Script(alpha=[503]))
    clock.advance(0.31)   # past the recovery time
    held = [iter(gateway.attempts()) for _ in range(3)]
    firsts = [next(steps) for steps in held]
    assert [a.provider for a in firsts] == ["alpha", "alpha", "bravo"]
    with firsts[0]:
        raise ProviderFailure("still down", status=503)
    assert gateway.snapshot()["providers"]["alpha"]["breaker"] == "open"
    for steps in held:
        steps.close()
    assert request(gateway, Script()).provider == "bravo"
    assert not gateway._state.trial_candidates()   # slots given back, breaker open


# ---- daily quotas ---------------------------------------------------------
def test_daily_limit_exhausts_a_key_until_the_daily_reset():
    wall = [datetime.datetime(2030, 1, 1, 23, 0, tzinfo=datetime.timezone.utc).timestamp()]
    events = []
    only = "sk-only-key-000001"
    gateway = make_gateway(provider("alpha", keys=[only], daily_limits={only: 2}),
                           _wall=lambda: wall[0], on_event=events.append, max_retries=0)
    request(gateway, Script())
    request(gateway, Script())
    assert [e.detail for e in events if e.kind == "key_exhausted"] == [
        {"reason": "daily_limit"}]
    with pytest.raises(AllProvidersFailed):
        request(gateway, Script())
    wall[0] += 3600   # midnight UTC
    assert request(gateway, Script()).provider == "alpha"
    assert [e.kind for e in events].count("keys_reset") == 1


# ---- events, masking, snapshot --------------------------------------------
def test_failing_event_handler_is_logged_and_never_breaks_a_request(caplog):
    def handler(event):
        raise RuntimeError("handler bug")

    gateway = make_gateway(on_event=handler)
    assert request(gateway, Script(alpha=[503])).provider == "bravo"
    assert "on_event callback failed" in caplog.text


def test_keys_echoed_by_providers_are_masked_everywhere(caplog):
    events = []
    gateway = make_gateway(provider("alpha"), on_event=events.append, max_retries=0)
    secret = KEYS["alpha"][0]
    body = f"invalid key {secret} and {KEYS['alpha'][1]}"
    with pytest.raises(AllProvidersFailed) as raised:
        request(gateway, Script(alpha=[(500, None, body), (500, None, body)]))
    with pytest.raises(ProviderFailure) as caller:
        request(gateway, Script(alpha=[(400, None, body)]))
    texts = [str(raised.value), repr(raised.value.attempts), str(caller.value),
             repr(events), json.dumps(gateway.snapshot()), caplog.text,
             repr(gateway._descriptions), repr(Provider("alpha", list(KEYS["alpha"])))]
    for key in KEYS["alpha"]:
        assert all(key not in text for text in texts)
    assert "sk-...001" in str(raised.value)


def test_snapshot_is_json_and_counts_consistently():
    year = 365 * 86400.0   # refills too slowly to show
    gateway = make_gateway(provider("alpha", token_rate=RateLimitConfig(1000, year)))
    for attempt in gateway.attempts(tokens=300):
        with attempt:
            attempt.used_tokens(100)
    shot = json.loads(json.dumps(gateway.snapshot()))
    alpha = shot["providers"]["alpha"]
    assert alpha["bucket"]["requests"] is None
    assert 900.0 <= alpha["bucket"]["tokens"] < 900.01   # 300 reserved, 200 returned
    assert alpha["posterior"] == {"alpha": 1.95, "beta": 1.0, "mean": 1.95 / 2.95}
    assert sorted(alpha["keys"][0]) == ["avg_latency_ms", "errors", "health", "key",
                                        "requests", "status"]
    assert shot["counters"]["requests"] == shot["counters"]["successes"] == 1


@pytest.mark.parametrize("value, seconds", [
    (3, 3.0), (2.5, 2.5), ("7", 7.0), (" 1.5 ", 1.5), (-4, 0.0), ("soon", None),
    (None, None), ("Wed, 21 Oct 2015 07:28:00 GMT", 0.0),
    ("inf", 86400.0), ("1e400", 86400.0), (10**400, 86400.0), (float("nan"), None),
])
def test_retry_after_accepts_seconds_and_http_dates(value, seconds):
    assert parse_retry_after(value) == seconds


def test_http_date_in_the_future_reads_as_seconds_from_now():
    moment = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=90)
    seconds = parse_retry_after(moment.strftime("%a, %d %b %Y %H:%M:%S GMT"))
    assert 85.0 < seconds <= 90.0


def test_default_profiles_match_the_router_catalogue():
    ours = ThompsonRouter(RouterConfig(explore_mode=False))
    native = ThompsonRouter(RouterConfig(explore_mode=False))
    native.load_defaults()
    for name in CATALOGUE:
        ours.add_provider(Provider(name, ["k"]).resolve().profile)
    assert [(d.provider_id, d.score) for d in ours.rank_among()] == [
        (d.provider_id, d.score) for d in native.rank_among()]


@pytest.mark.parametrize("arguments, message", [
    ((["a"], ["k"]), None),
    (([],), "at least one provider"),
    ((["a", "a"],), "unique"),
])
def test_gateway_checks_its_provider_list(arguments, message):
    names = arguments[0]
    providers = [Provider(name, ["k-" + name]) for name in names]
    if message is None:
        with Gateway(providers) as gateway:
            assert gateway.providers == ("a",)
        with pytest.raises(RuntimeError, match="closed"):
            list(gateway.attempts())
        return
    with pytest.raises(ValueError, match=message):
        Gateway(providers)


def test_retry_policy_default_and_jitter_free_delay():
    assert make_gateway()._retry.delay_ms(1) == 200
    assert Gateway([Provider("a", ["k"])])._retry.max_retries == RetryPolicy().max_retries


def test_state_posterior_matches_the_router():
    gateway = make_gateway(provider("alpha"))
    state = gateway._state
    router = ThompsonRouter(RouterConfig(explore_mode=False))
    router.add_provider(gateway._descriptions[0].profile)
    for reward in [1.0, 0.0, 1.0, 1.0, float("nan")] * 40:
        state.reward(0, reward)
        router.record_outcome("alpha", reward)
    (decision,) = router.rank_among()
    alpha, beta = state.posterior(0)
    # Deterministic score: 0.35 * mean * quality - cost and latency terms.
    native_mean = (decision.score + 0.15 * 0.1) / (0.35 * 0.9)
    assert alpha / (alpha + beta) == pytest.approx(native_mean, rel=1e-12)
