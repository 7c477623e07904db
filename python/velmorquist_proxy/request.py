"""One request through a gateway: which provider and key to try next, what
each outcome means, and when to wait or give up.

Choice: at the start of each round the providers ready for trial calls come
first, then the router's ranking; each provider is tried at most once per
round (with as many of its keys as key problems call for) and is used when
its breaker allows, its limits admit and its pool yields a key. When every
provider has failed or refused, the round is over: the request waits and
starts the next round with every provider eligible again.
"""

from __future__ import annotations

import math
from itertools import chain

from velmorquist_proxy._state import (
    FAILURE, KEY_DISABLED, KEY_ERROR, KEY_EXHAUSTED, KEY_RATE_LIMITED, KEY_SUCCESS,
    NEUTRAL, REFUSED, SUCCESS, TRIAL,
)
from velmorquist_proxy.attempt import ENDED, FAILED, PENDING, SUCCEEDED, Attempt
from velmorquist_proxy.outcomes import (
    DEFAULT_RETRY_AFTER_S, PROVIDER_KINDS, AllProvidersFailed, AttemptRecord,
    ProviderFailure,
)

_KEY_OUTCOMES = {"rate_limit": KEY_RATE_LIMITED, "auth": KEY_DISABLED, "quota": KEY_EXHAUSTED}


class Request:
    __slots__ = ("_gateway", "_state", "clock", "_deadline", "_tokens", "_round",
                 "_number", "_done", "_order", "_current", "_ticket", "_key_problem",
                 "_key_tries", "_attempt", "_last_p", "_records", "_finished")

    def __init__(self, gateway, deadline_s: float | None, tokens: int):
        self._gateway = gateway
        self._state = gateway._state
        self.clock = clock = gateway._clock
        self._deadline = math.inf if deadline_s is None else clock() + deadline_s
        self._tokens = tokens
        self._round = 0
        self._number = 0
        self._done = 0          # bit p: provider p was tried or refused this round
        self._order = None      # this round's remaining candidates
        self._current = -1      # provider being tried with another key
        self._ticket = REFUSED  # what its breaker answered
        self._key_problem = None
        self._key_tries = 0
        self._attempt = None
        self._last_p = -1
        self._records = None
        self._finished = False
        gateway._daily_reset_check()

    # ---- for Attempt -------------------------------------------------------
    def masked_key(self, p: int, k: int) -> str:
        return self._gateway._masked_keys[p][k]

    def mask_text(self, p: int, text: str) -> str:
        return self._gateway._maskers[p](text)

    # ---- stepping ----------------------------------------------------------
    def step(self):
        """The next Attempt, a float of seconds to wait first, or None when
        the request succeeded. Raises AllProvidersFailed."""
        attempt = self._attempt
        if attempt is not None:
            self._attempt = None
            if attempt._status == SUCCEEDED:
                self._finished = True
                return None
            if attempt._status == PENDING:
                self.close()
                raise RuntimeError("use each attempt as `with attempt:` before the next")
        while True:
            if self._deadline != math.inf and self.clock() >= self._deadline:
                self._leave()
                self._fail("deadline passed")
            if self._current >= 0:
                attempt = self._same_provider()
                if attempt is not None:
                    return attempt
            p = self._next_candidate()
            if p < 0:
                return self._end_round()
            attempt = self._open(p)
            if attempt is not None:
                return attempt

    def _next_candidate(self) -> int:
        order = self._order
        if order is None:
            trials = self._state.trial_candidates()
            ranked = self._state.rank(())
            self._order = order = iter(chain(trials, ranked) if trials else ranked)
        done = self._done
        for p in order:
            if not done >> p & 1:
                return p
        return -1

    def _open(self, p: int):
        state = self._state
        self._done |= 1 << p
        ticket = state.try_breaker(p)
        if ticket == REFUSED:
            self._gateway._count_refusal("breaker")
            return None
        if state.try_limits(p, self._tokens):
            self._release_ticket(p, ticket)
            self._gateway._count_refusal("rate")
            return None
        k = state.select_key(p)
        if k < 0:
            state.release_limits(p, self._tokens)
            self._release_ticket(p, ticket)
            self._gateway._count_refusal("keys")
            return None
        if ticket == TRIAL:
            self._gateway._emit("trial", p, k, {})
        self._current = p
        self._ticket = ticket
        self._key_problem = None
        self._key_tries = 1
        return self._new_attempt(p, k)

    def _same_provider(self):
        """After a key's problem: the provider's next key, if any."""
        state, p = self._state, self._current
        if self._key_tries >= len(self._gateway._masked_keys[p]):
            self._leave()
            return None
        if state.try_limits(p, self._tokens):
            self._gateway._count_refusal("rate")
            self._leave()
            return None
        k = state.select_key(p)
        if k < 0:
            state.release_limits(p, self._tokens)
            if self._key_problem == "rate_limit":
                # Every key cooling is the provider's problem after all.
                self._provider_failed(p, "rate_limit")
            self._leave()
            return None
        self._key_tries += 1
        return self._new_attempt(p, k)

    def _new_attempt(self, p: int, k: int) -> Attempt:
        gateway = self._gateway
        if self._last_p != p and self._last_p >= 0:
            gateway._count_fallback(self._last_p, p)
        self._last_p = p
        attempt = Attempt(self, p, k, gateway._names[p], gateway._keys[p][k],
                          self._number, self._round)
        self._number += 1
        self._attempt = attempt
        return attempt

    def _end_round(self) -> float:
        gateway = self._gateway
        retry = gateway._retry
        if not retry.should_retry(self._round):
            self._fail("no retries left")
        state = self._state
        ready = min(max(state.breaker_ready_in(p), state.limits_ready_in(p, self._tokens),
                        state.keys_ready_in(p))
                    for p in range(len(gateway._names)))
        if ready == math.inf:
            self._fail("no provider can become usable")
        wait = max(retry.delay_ms(self._round) / 1000.0, ready)
        if self.clock() + wait >= self._deadline:
            self._fail("the deadline comes before any provider is usable again")
        gateway._emit("retry_wait", -1, -1, {"round": self._round, "seconds": wait})
        self._round += 1
        self._done = 0
        self._order = None
        return wait

    # ---- outcomes ----------------------------------------------------------
    def succeeded(self, attempt: Attempt) -> None:
        latency_ms = (self.clock() - attempt._started) * 1000.0
        state, p, k = self._state, attempt._p, attempt._k
        attempt._status = SUCCEEDED
        if state.key_outcome(p, k, KEY_SUCCESS, latency_ms):
            self._gateway._emit("key_exhausted", p, k, {"reason": "daily_limit"})
        if attempt._used is not None:
            state.settle_tokens(p, self._tokens, attempt._used)
        state.reward(p, 1.0)
        changed = state.breaker_outcome(p, self._ticket == TRIAL, SUCCESS)
        if changed is not None:
            self._gateway._breaker_changed(p, changed)
        self._current = -1
        self._finished = True
        self._gateway._count_success(self._number)

    def failed(self, attempt: Attempt, error: BaseException) -> bool:
        """Records a failed call; True when the request goes on."""
        gateway = self._gateway
        kind = gateway._classify(error)
        p, k = attempt._p, attempt._k
        if kind is None:   # the caller's bug: nothing happened to the provider
            attempt._status = ENDED
            self.close()
            return False
        latency_ms = (self.clock() - attempt._started) * 1000.0
        status = getattr(error, "status", None)
        message = self.mask_text(p, str(error))
        record = AttemptRecord(gateway._names[p], self.masked_key(p, k), kind, status,
                               message, latency_ms)
        if self._records is None:
            self._records = []
        self._records.append(record)
        gateway._count_failure(kind)
        gateway._emit("attempt_failed", p, k,
                      {"kind": kind, "status": status, "message": message})
        if kind == "caller":
            attempt._status = ENDED
            self.close()
            _raise_masked(error, message, status)
            return False
        attempt._status = FAILED
        if kind in PROVIDER_KINDS:
            self._state.key_outcome(p, k, KEY_ERROR)
            self._provider_failed(p, kind)
            self._current = -1
            return True
        self._key_failed(p, k, kind, error)
        return True

    def _key_failed(self, p: int, k: int, kind: str, error: BaseException) -> None:
        state, gateway = self._state, self._gateway
        cooldown = 0.0
        if kind == "rate_limit":
            cooldown = getattr(error, "retry_after", None)
            if cooldown is None:
                cooldown = DEFAULT_RETRY_AFTER_S
        state.key_outcome(p, k, _KEY_OUTCOMES[kind], cooldown_s=cooldown)
        state.settle_tokens(p, self._tokens, 0)   # the provider turned the call away
        if kind == "rate_limit":
            gateway._emit("key_cooled", p, k, {"cooldown_s": cooldown})
        elif kind == "auth":
            gateway._emit("key_disabled", p, k, {})
        else:
            gateway._emit("key_exhausted", p, k, {"reason": "quota"})
        self._key_problem = kind

    def _provider_failed(self, p: int, kind: str) -> None:
        state = self._state
        state.reward(p, 0.0)
        changed = state.breaker_outcome(p, self._ticket == TRIAL, FAILURE, kind)
        self._ticket = REFUSED
        if changed is not None:
            self._gateway._breaker_changed(p, changed)

    def _release_ticket(self, p: int, ticket: int) -> None:
        if ticket == TRIAL:
            self._state.breaker_outcome(p, True, NEUTRAL)

    def _leave(self) -> None:
        """Done with the current provider: a trial slot still held goes back."""
        if self._current >= 0:
            self._release_ticket(self._current, self._ticket)
            self._ticket = REFUSED
            self._current = -1

    def _fail(self, reason: str):
        self._finished = True
        records = self._records or []
        self._gateway._request_failed(reason, self._number)
        raise AllProvidersFailed(reason, records)

    def close(self) -> None:
        """Ends the request where it stands (raised to the caller, abandoned)."""
        if self._finished:
            return
        self._finished = True
        self._leave()
        self._gateway._count_ended(self._number)


def _raise_masked(error: BaseException, message: str, status) -> None:
    """The caller's fault goes back to the caller, with keys masked."""
    if isinstance(error, ProviderFailure):
        error.message = message
        error.args = (message,)
        return
    failure = ProviderFailure(message, status=status, kind="caller")
    # The original's text may hold a key: chain it only when it does not.
    if message == str(error):
        raise failure from error
    raise failure from None
