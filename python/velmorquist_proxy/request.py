"""One request through a context: which provider and key to try next, and
when to wait or give up. (What each outcome records is in attempt.py.)

Choice: each round starts with the providers ready for trial calls, then
follows the router's ranking; each provider is tried at most once per round
and is used when its breaker allows, its limits admit and its pool yields a
key. A key's problem (rate limit, auth, quota) moves on to the provider's
next key at once; a provider failure or refusal moves on to the next
provider. When every provider has failed or refused, the round is over:
the request waits `retry.delay_ms(round)`, but at least until some provider
can be used again and never past the deadline, then starts the next round
with every provider eligible again.

A request that fails names, besides its calls, the providers its last round
did not call and why (breaker open, rate limited, no usable key).
"""

from __future__ import annotations

import math
from itertools import chain

from velmorquist_proxy._state import NEUTRAL, REFUSED, TRIAL
from velmorquist_proxy.attempt import ENDED, KEY_FAILED, PENDING, SUCCEEDED, Attempt
from velmorquist_proxy.outcomes import AllProvidersFailed


# Sent by a hedging caller: the attempt just given runs on beside the next.
HEDGE = "hedge"

# No wait between rounds is longer: a trip or cool-down beyond it (a forged
# one, or a typo in a setting) fails the request instead of parking it, and
# no sleep is asked for more than the platform's timers hold.
_LONGEST_WAIT_S = 86400.0
# Sets of allowed providers kept per gateway, as requests name them.
_ALLOWED_KEPT = 1024


def run(context, deadline_s: float | None, tokens: int, sleep, excluded: int = 0):
    """Yields the attempts of one request through a context's `context`
    (context.py). With `sleep` None it also yields the seconds to wait
    between rounds, for a caller that waits its own way. `excluded` has bit p
    set for each provider p the request may not use.

    A hedging caller (hedge.py) may `send(HEDGE)` instead of calling next()
    while the attempt it was given still runs: the request moves on to the
    next provider without an outcome for that attempt. When the round has
    no other provider, None is yielded instead, and the loop is resumed
    only once the attempt in flight has ended."""
    state, clock = context.state, context.clock
    # The checks that fall due now and then, written out: this runs per request.
    if context.wall() >= context.next_reset:
        context.daily_reset_check()
    now = clock()
    if now >= context.next_file_check:
        context.file_check()
    deadline = math.inf if deadline_s is None else now + deadline_s
    allowed = context.allowed.get(excluded)
    if allowed is None:
        allowed = _allowed(context, excluded)
    round_ = number = 0
    done = excluded   # bit p set once provider p had its turn this round (or may not have one)
    order = None
    records = None   # the failed attempts' records, made on the first failure
    refusals = {}    # provider name -> why it was not called, in the current round
    last_p = -1
    attempt = None
    in_flight = None   # an attempt that runs on beside its hedge
    hedge_wanted = False
    finished = False   # counted as a success, a failure or ended by the caller
    try:
        while True:
            if deadline != math.inf and clock() >= deadline:
                _fail(context, "deadline passed", number, records, refusals)
            if order is None:
                trials = state.trial_candidates()
                ranked = state.rank(allowed)
                order = iter(chain(trials, ranked) if trials else ranked)
            p = -1
            for candidate in order:
                if not done >> candidate & 1:
                    p = candidate
                    break
            if p < 0:
                if hedge_wanted:
                    hedge_wanted = False
                    yield None   # nothing to hedge with in this round
                if in_flight is not None:
                    records = _with_record(records, in_flight)
                    in_flight = None
                wait = _end_of_round(context, round_, deadline, tokens, number, records,
                                     refusals, excluded)
                round_ += 1
                done = excluded
                order = None
                refusals = {}
                if sleep is None:
                    yield wait
                else:
                    sleep(wait)
                continue
            done |= 1 << p
            ticket = state.try_breaker(p)
            if ticket == REFUSED:
                _refused(context, refusals, p, "breaker")
                continue
            if state.try_limits(p, tokens):
                _release(context, p, ticket)
                _refused(context, refusals, p, "rate")
                continue
            k = state.select_key(p)
            if k < 0:
                state.release_limits(p, tokens)
                _release(context, p, ticket)
                _refused(context, refusals, p, "keys")
                continue
            for tries in range(1, len(context.keys[p]) + 1):
                # Made before any event: a handler that raises still leaves
                # the attempt to settle what it holds.
                attempt = Attempt(context, p, k, ticket == TRIAL, tokens, number, round_,
                                  deadline)
                number += 1
                if tries == 1 and ticket == TRIAL:
                    context.emit("trial", p, k, {})
                if last_p != p and last_p >= 0:
                    context.count_fallback(last_p, p)
                last_p = p
                hedge_wanted = False
                signal = yield attempt
                status = attempt._status
                if status == SUCCEEDED or status == ENDED:
                    finished = True
                    return
                if in_flight is not None and in_flight is not attempt:
                    records = _with_record(records, in_flight)
                    in_flight = None
                if signal == HEDGE and status == PENDING:
                    in_flight = attempt
                    hedge_wanted = True
                    last_p = -1   # a hedge is not a fallback
                    break
                if status == PENDING:
                    raise RuntimeError("use each attempt as `with attempt:` before the next")
                if records is None:
                    records = []
                records.append(attempt.record)
                if status != KEY_FAILED:
                    break
                k = _next_key(context, attempt, tokens, tries)
                if k < 0:
                    break
    except AllProvidersFailed:
        finished = True
        raise
    finally:
        if not finished:
            _close(context, attempt, number)


def _allowed(context, excluded: int) -> tuple:
    allowed = tuple(p for p in range(len(context.names)) if not excluded >> p & 1)
    if len(context.allowed) < _ALLOWED_KEPT:
        context.allowed[excluded] = allowed
    return allowed


def _next_key(context, attempt: Attempt, tokens: int, tries: int) -> int:
    """After a key's problem: the provider's next key, or -1 to move on.
    Each key gets one try per round, so keys that keep failing end it."""
    state, p = context.state, attempt._p
    if tries < len(context.keys[p]):
        if state.try_limits(p, tokens):
            attempt.release()
            return -1
        k = state.select_key(p)
        if k >= 0:
            return k
        state.release_limits(p, tokens)
    if attempt.record.kind == "rate_limit":
        attempt.every_key_cooling()
    else:
        attempt.release()
    return -1


def _with_record(records: list | None, attempt: Attempt) -> list | None:
    """The failed attempt's record joins the request's, once it ended."""
    if attempt.record is None:
        return records
    return [*(records or ()), attempt.record]


def _release(context, p: int, ticket: int) -> None:
    if ticket == TRIAL:
        context.state.breaker_outcome(p, True, NEUTRAL)


def _refused(context, refusals: dict, p: int, cause: str) -> None:
    refusals[context.names[p]] = cause
    context.count_refusal(cause)


def _end_of_round(context, round_: int, deadline: float, tokens: int,
                  number: int, records: list | None, refusals: dict, excluded: int) -> float:
    retry = context.retry
    if not retry.should_retry(round_):
        _fail(context, "no retries left", number, records, refusals)
    ready = ready_in(context.state, len(context.names), tokens, excluded)
    if ready == math.inf:
        _fail(context, "no provider can become usable", number, records, refusals)
    if ready > _LONGEST_WAIT_S:
        _fail(context, "no provider can become usable within a day", number, records, refusals)
    backoff = min(retry.delay_ms(round_) / 1000.0, _LONGEST_WAIT_S)
    wait = max(backoff, ready)
    now = context.clock()
    if now + ready >= deadline:
        _fail(context, "the deadline comes before any provider is usable again",
              number, records, refusals)
    if now + wait >= deadline:
        _fail(context, f"the back-off before the next round ({backoff:.3g} s) ends after "
              f"the deadline", number, records, refusals)
    context.emit("retry_wait", -1, -1, {"round": round_, "seconds": wait})
    return wait


def ready_in(state, providers: int, tokens: int, excluded: int) -> float:
    """Seconds until some provider not excluded can take a call of `tokens`."""
    return min((max(state.breaker_ready_in(p), state.limits_ready_in(p, tokens),
                    state.keys_ready_in(p))
                for p in range(providers) if not excluded >> p & 1), default=math.inf)


def _fail(context, reason: str, number: int, records: list | None, refusals: dict):
    context.request_failed(reason, number)
    raise AllProvidersFailed(reason, records or [], refusals)


def _close(context, attempt: Attempt | None, number: int) -> None:
    """A request left mid-way (the loop broken, an attempt never entered)
    gives back the trial slot it holds, and what an attempt never entered
    reserved, and counts as ended by the caller."""
    if attempt is not None:
        if attempt._status in (SUCCEEDED, ENDED):
            return   # its own exit counted it (a success, or raised to the caller)
        attempt.abandon()
    context.count_ended(number)
