"""What one request needs of its gateway, in one object.

The request loop (request.py) and each attempt (attempt.py) see the gateway
only through its `RequestContext`, made once per gateway: the state, the
clocks, the providers' names and keys (with their masked forms), the retry
policy, the classifier, the event hook and the counters. Like tenacity's
retry-call state, it is the whole interface between the loop and its owner.
"""

from __future__ import annotations

import math
import os
import weakref
from threading import Lock

from velmorquist_proxy.events import GatewayEvent, dispatch, logger
from velmorquist_proxy.outcomes import KINDS

_DAY_S = 86400
# How often a gateway over a shared region checks that its file is still
# the one at the region's path.
_FILE_CHECK_S = 5.0


class RequestContext:
    """One gateway's parts that its requests use. `state` is None once the
    gateway is closed."""

    __slots__ = ("state", "clock", "wall", "names", "keys", "masked_keys", "maskers", "retry",
                 "reset_posterior", "counters", "next_reset", "next_file_check", "_classify",
                 "_on_event", "_reset_offset_s", "stream_timeouts", "allowed")

    def __init__(self, *, state, clock, wall, names, keys, masked_keys, maskers, retry,
                 classify, on_event, reset_posterior: bool, reset_offset_s: float,
                 shared: bool, stream_timeouts=()):
        self.state = state
        self.clock, self.wall = clock, wall
        self.names, self.keys = names, keys
        self.masked_keys, self.maskers = masked_keys, maskers
        self.retry = retry
        # Per provider, (first_chunk_timeout_s, chunk_timeout_s) of attempt.stream().
        self.stream_timeouts = stream_timeouts
        # Per mask of the providers a request may not use, those it may, as
        # request.run ranks them (each ranked one costs a posterior draw);
        # 0 excludes none and ranks all.
        self.allowed = {0: ()}
        self.reset_posterior = reset_posterior
        self.counters = _Counters()
        self._classify = classify
        self._on_event = on_event
        self._reset_offset_s = reset_offset_s
        self.next_reset = 0.0
        # Private memory has no file to lose.
        self.next_file_check = 0.0 if shared else math.inf

    # ---- the checks request.run makes when they fall due -----------------
    def daily_reset_check(self, initial: bool = False) -> None:
        now = self.wall()
        if now < self.next_reset:
            return
        day = int((now - self._reset_offset_s) // _DAY_S)
        self.next_reset = (day + 1) * _DAY_S + self._reset_offset_s
        # The first call only tells the state which day it is.
        if self.state.daily_reset_due(day) and not initial:
            self.emit("keys_reset", -1, -1, {"day": day})

    def file_check(self) -> None:
        """Says once if the region's file was removed or replaced under the
        running workers: a worker started now builds a region of its own, and
        limits stop being shared."""
        self.next_file_check = self.clock() + _FILE_CHECK_S
        state = self.state
        if state is None or state.still_named():
            return
        self.next_file_check = math.inf
        logger.error("the gateway's host state file was removed or replaced while in use: "
                     "workers started from now on do not share its limits; restart every "
                     "worker (on systemd hosts, see RemoveIPC=no in logind.conf)")
        self.emit("state_file_lost", -1, -1, {})

    # ---- outcomes ------------------------------------------------------------
    def classify(self, error: BaseException) -> str | None:
        """The failure kind of `error`, or None for the caller's own bug. A
        custom classifier's answer is checked here, where it is called."""
        kind = self._classify(error)
        if kind is not None and kind not in KINDS:
            raise ValueError(f"classify returned {kind!r} for {type(error).__name__}; "
                             f"expected None or one of {', '.join(sorted(KINDS))}") from error
        return kind

    def emit(self, kind: str, p: int, k: int, detail: dict) -> None:
        handler = self._on_event
        if handler is None:
            return
        provider = self.names[p] if p >= 0 else None
        masked = self.masked_keys[p][k] if k >= 0 else None
        dispatch(handler, GatewayEvent(kind, provider, masked, detail))

    def breaker_changed(self, p: int, state: str, detail: dict | None = None) -> None:
        """Tells of a breaker's new state; a closing one's posterior was
        already reset where that was asked for."""
        self.emit("breaker", p, -1, {"state": state, **(detail or {})})
        if state == "closed" and self.reset_posterior:
            self.emit("posterior_reset", p, -1, {})

    # ---- counters ------------------------------------------------------------
    def count_success(self, attempts: int) -> None:
        counters = self.counters
        lock = counters.lock
        lock.acquire()   # explicit: `with` costs twice as much on this path
        try:
            counters.requests += 1
            counters.attempts += attempts
            counters.successes += 1
        finally:
            lock.release()

    def request_failed(self, reason: str, attempts: int) -> None:
        counters = self.counters
        with counters.lock:
            counters.requests += 1
            counters.attempts += attempts
            counters.failed += 1
        self.emit("request_failed", -1, -1, {"reason": reason, "attempts": attempts})

    def count_ended(self, attempts: int) -> None:
        counters = self.counters
        with counters.lock:
            counters.requests += 1
            counters.attempts += attempts
            counters.ended += 1

    def count_refusal(self, cause: str) -> None:
        counters = self.counters
        with counters.lock:
            counters.refusals[cause] += 1

    def count_failure(self, kind: str) -> None:
        counters = self.counters
        with counters.lock:
            counters.failures[kind] = counters.failures.get(kind, 0) + 1

    def count_fallback(self, from_p: int, to_p: int) -> None:
        counters = self.counters
        with counters.lock:
            counters.fallbacks += 1
        self.emit("fallback", to_p, -1, {"from": self.names[from_p]})


class _Counters:
    """Per gateway (so per process), under one lock, which a forked child
    makes anew: another thread may have held it at the fork."""

    __slots__ = ("lock", "requests", "attempts", "successes", "failed", "ended",
                 "fallbacks", "refusals", "failures", "__weakref__")

    def __init__(self):
        self.lock = Lock()
        _live_counters.add(self)
        self.requests = self.attempts = self.successes = 0
        self.failed = 0      # ended with AllProvidersFailed
        self.ended = 0       # ended by the caller: its fault, its bug, or abandoned
        self.fallbacks = 0
        self.refusals = {"breaker": 0, "rate": 0, "keys": 0}
        self.failures: dict[str, int] = {}

    def as_dict(self) -> dict:
        with self.lock:
            return {
                "requests": self.requests, "attempts": self.attempts,
                "successes": self.successes, "failed": self.failed,
                "ended_by_caller": self.ended, "fallbacks": self.fallbacks,
                "refusals": dict(self.refusals), "failures": dict(self.failures),
            }


_live_counters: weakref.WeakSet = weakref.WeakSet()


def _new_locks_in_child() -> None:
    for counters in list(_live_counters):
        counters.lock = Lock()


os.register_at_fork(after_in_child=_new_locks_in_child)
