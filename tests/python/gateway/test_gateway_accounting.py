"""What a request leaves behind in the state: daily counts, token and request
reservations, trial slots, breaker outcomes; and the operator's controls.
Each runs over the in-process state and over a HostState region."""

import pytest
from gateway_helpers import KEYS, Script, make_gateway, provider, request

from velmorquist_proxy import (
    AllProvidersFailed, HostState, ProviderFailure, RateLimitConfig, RetryPolicy,
)
from velmorquist_proxy._masking import mask_key

LIMITS = {"rate": RateLimitConfig(10, 3600.0), "token_rate": RateLimitConfig(1000, 3600.0)}
NO_RETRY = RetryPolicy(0, 0, 0, 0.0)


@pytest.fixture(params=["in-process", "host"])
def shared(request, tmp_path):
    return None if request.param == "in-process" else HostState(tmp_path / "region")


def levels(gateway, name="alpha"):
    bucket = gateway.snapshot()["providers"][name]["bucket"]
    return round(bucket["requests"], 1), round(bucket["tokens"])


def key_states(gateway, name="alpha"):
    return [key["status"] for key in gateway.snapshot()["providers"][name]["keys"]]


@pytest.mark.parametrize("strategy", ["adaptive", "round_robin", "least_used", "random"])
def test_a_daily_limit_is_spent_by_successful_calls_only(shared, strategy):
    gateway = make_gateway(provider("alpha", keys=["sk-only-key-0000000000000001"],
                                    daily_limits=[3], key_strategy=strategy),
                           provider("bravo"), shared=shared)
    served = [request(gateway, Script()).provider for _ in range(4)]
    assert served == ["alpha", "alpha", "alpha", "bravo"]
    key = gateway.snapshot()["providers"]["alpha"]["keys"][0]
    assert (key["requests"], key["status"]) == (3, "exhausted")


def test_an_attempt_never_entered_gives_its_reservation_back(shared):
    gateway = make_gateway(provider("alpha", **LIMITS), shared=shared)
    attempts = gateway.attempts(tokens=100)
    next(attempts)
    attempts.close()
    assert levels(gateway) == (10, 1000)
    assert gateway.snapshot()["counters"]["ended_by_caller"] == 1


@pytest.mark.parametrize("failure, used, tokens_left", [
    (503, None, 1000),            # the provider turned it away: the estimate comes back
    (TimeoutError, None, 900),    # it may have been processed: the estimate stands
    (503, 30, 970),               # a count given wins either way
    (TimeoutError, 30, 970),
])
def test_a_failed_call_settles_its_tokens(shared, failure, used, tokens_left):
    gateway = make_gateway(provider("alpha", **LIMITS), shared=shared, retry=NO_RETRY)
    with pytest.raises(AllProvidersFailed):
        for attempt in gateway.attempts(tokens=100):
            with attempt:
                if used is not None:
                    attempt.used_tokens(used)
                if failure is TimeoutError:
                    raise TimeoutError("upstream took too long")
                attempt.check(failure)
    assert levels(gateway) == (9, tokens_left)


def test_used_tokens_after_the_block_settles_at_once(shared):
    gateway = make_gateway(provider("alpha", **LIMITS), shared=shared)
    attempt = request(gateway, Script(), tokens=100)
    attempt.used_tokens(40)
    attempt.used_tokens(60)   # a later, larger count replaces the first
    assert levels(gateway) == (9, 940)


@pytest.mark.parametrize("value, error", [
    (-1, ValueError), (2**64, ValueError), (2.5, TypeError), ("3", TypeError), (None, TypeError),
])
def test_a_bad_token_count_is_refused_at_the_call_and_strands_nothing(shared, value, error):
    gateway = make_gateway(provider("alpha", threshold=1, recovery=0.0, successes=1),
                           shared=shared, retry=NO_RETRY)
    with pytest.raises(AllProvidersFailed):
        request(gateway, Script(alpha=[503]))   # open; the next request is a trial
    with pytest.raises(error, match="used_tokens"):
        for attempt in gateway.attempts():
            with attempt:
                attempt.used_tokens(value)
    with pytest.raises(error, match="tokens"):
        gateway.call(lambda provider, key: None, tokens=value)
    assert request(gateway, Script()).provider == "alpha"   # the trial slot came back
    assert gateway.snapshot()["providers"]["alpha"]["breaker"] == "closed"


def test_a_rate_limit_never_opens_the_breaker(shared):
    sleeps = []
    gateway = make_gateway(provider("alpha", keys=["sk-one-key-0000000000000001"], threshold=1),
                           provider("bravo"), shared=shared, sleeps=sleeps)
    assert request(gateway, Script(alpha=[(429, "0.01", "")])).provider == "bravo"
    alpha = gateway.snapshot()["providers"]["alpha"]
    assert alpha["breaker"] == "closed"
    assert alpha["posterior"]["beta"] > alpha["posterior"]["alpha"]   # the router heard it


def test_an_attempt_is_entered_once():
    gateway = make_gateway()
    attempt = request(gateway, Script())
    with pytest.raises(RuntimeError, match="entered once"):
        with attempt:
            pass
    assert gateway.snapshot()["counters"]["successes"] == 1


def test_a_classifier_answer_outside_the_kinds_is_refused_before_counting():
    gateway = make_gateway(classify=lambda error: "flaky")
    with pytest.raises(ValueError, match="classify returned 'flaky'") as raised:
        request(gateway, Script(alpha=[503]))
    assert isinstance(raised.value.__cause__, ProviderFailure)
    counters = gateway.snapshot()["counters"]
    assert (counters["failures"], counters["ended_by_caller"]) == ({}, 1)


def test_a_closed_gateway_says_so():
    gateway = make_gateway()
    gateway.close()
    for call in (gateway.snapshot, lambda: gateway.attempts(), lambda: gateway.reset_breaker("alpha")):
        with pytest.raises(RuntimeError, match="closed"):
            call()


def test_a_failed_request_names_the_refusals(shared):
    gateway = make_gateway(provider("alpha", threshold=1),
                           provider("bravo", rate=RateLimitConfig(1, 3600.0)),
                           provider("charlie"), shared=shared, retry=NO_RETRY)
    request(gateway, Script(alpha=[503]))   # alpha opens, bravo spends its one call
    for k in range(2):
        gateway.disable_key("charlie", k)
    with pytest.raises(AllProvidersFailed) as raised:
        request(gateway, Script())
    assert raised.value.refusals == {"alpha": "breaker", "bravo": "rate", "charlie": "keys"}
    assert ("0 attempt(s); refused alpha: breaker open; bravo: rate limited; "
            "charlie: no usable key") in str(raised.value)


def test_a_back_off_past_the_deadline_is_named_as_such():
    gateway = make_gateway(retry=RetryPolicy(2, 1000, 1000, 0.0))
    with pytest.raises(AllProvidersFailed, match=r"the back-off before the next round \(1 s\)"):
        request(gateway, Script(alpha=[503], bravo=[503], charlie=[503]), deadline_s=0.5)


def test_operator_controls(shared):
    events = []
    gateway = make_gateway(provider("alpha", threshold=1), provider("bravo"), shared=shared,
                           on_event=events.append)
    request(gateway, Script(alpha=[401]))
    assert key_states(gateway) == ["disabled", "active"]
    gateway.enable_key("alpha", 0)
    gateway.disable_key("alpha", KEYS["alpha"][1])
    assert key_states(gateway) == ["active", "disabled"]
    request(gateway, Script(alpha=[503]))
    assert gateway.snapshot()["providers"]["alpha"]["breaker"] == "open"
    gateway.reset_breaker("alpha")
    assert request(gateway, Script()).provider == "alpha"
    operator = [(e.kind, e.detail.get("state")) for e in events
                if e.detail.get("source") == "operator"]
    assert operator == [("key_enabled", None), ("key_disabled", None),
                        ("breaker_reset", None), ("breaker", "closed")]


@pytest.mark.parametrize("call, error, message", [
    (lambda g: g.enable_key("zulu", 0), ValueError, "no provider named 'zulu'"),
    (lambda g: g.enable_key("alpha", 2), ValueError, "keys 0 to 1, not 2"),
    (lambda g: g.disable_key("alpha", True), TypeError, "not bool"),
    (lambda g: g.disable_key("alpha", "sk-not-a-listed-key-0001"), ValueError, "no key sk-n"),
])
def test_operator_controls_name_a_bad_address_without_the_key(call, error, message):
    with pytest.raises(error, match=message) as raised:
        call(make_gateway())
    assert "not-a-listed" not in str(raised.value)


@pytest.mark.parametrize("length", [8, 9, 12, 17, 23, 24, 51])
def test_a_masked_key_never_shows_more_than_a_third(length):
    key = "k" * length
    shown = len(mask_key(key).replace("...", "").replace("***", ""))
    assert 0 < shown <= length // 3 or (length < 9 and shown == 0)


@pytest.mark.parametrize("kind, raised, script, successes", [
    ("trial", KeyboardInterrupt, {}, 2),
    ("fallback", KeyboardInterrupt, {"alpha": [503]}, 1),
    ("key_exhausted", SystemExit, {}, 2),   # the interrupted success still counts
])
def test_a_handler_that_raises_finds_the_state_settled(shared, kind, raised, script, successes):
    left = [1]

    def handler(event):
        if event.kind == kind and left and left.pop():
            raise raised

    gateway = make_gateway(provider("alpha", threshold=1, recovery=0.0, daily_limits=[1, 1]),
                           provider("bravo"), shared=shared, on_event=handler)
    if kind == "trial":
        request(gateway, Script(alpha=[503]))   # open; the next request is alpha's trial
    with pytest.raises(raised):
        request(gateway, Script(**script))
    served = request(gateway, Script()).provider
    shot = gateway.snapshot()
    assert shot["providers"]["alpha"]["breaker"] == "closed"   # a trial slot was free
    assert (served, shot["counters"]["successes"]) == ("alpha", successes)


def test_a_breaker_open_for_ages_fails_the_request_instead_of_sleeping():
    sleeps = []
    gateway = make_gateway(provider("alpha", threshold=1, recovery=1e10), sleeps=sleeps)
    with pytest.raises(AllProvidersFailed, match="within a day"):
        request(gateway, Script(alpha=[503]))
    assert sleeps == []
