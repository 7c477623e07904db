"""The gateway's state on a host that is part of a fleet.

Wraps the host's own state (in-process or host-shared) and adds what the
fleet decides: limits come from leases of the fleet's buckets, breaker trips
and key cool-downs, exhaustion and disablement of other hosts apply here,
and the router also learns from their outcomes. Nothing here waits on
Redis: the request path reads local memory, and what the fleet must hear
is noted for the syncer (`fleet/syncer.py`), which does all the talking.
"""

from __future__ import annotations

import math
import time
from collections import deque
from threading import Lock

from velmorquist_proxy.fleet.lease import Lease
from velmorquist_proxy._state import (
    FAILURE, KEY_DISABLED, KEY_ENABLED, KEY_EXHAUSTED, KEY_RATE_LIMITED, REFUSED,
)

# A breaker that never recovers by itself still has to expire in Redis.
_LONGEST_TRIP_S = 86400.0
# Outcomes waiting for the syncer; beyond this the oldest are dropped.
_OUTCOME_BACKLOG = 65536

# What a host tells the fleet about a key (see names.py for the entries).
COOL, EXHAUSTED, DISABLED, ENABLED, TRIP = "cool", "exh", "dis", "en", "trip"
# An operator closed a provider's breaker: the fleet's trip ends too.
RESET = "reset"


class _Limits:
    """The leases of one provider and the lock that keeps taking both atomic."""

    __slots__ = ("requests", "tokens", "lock")

    def __init__(self, description, now: float):
        self.requests = Lease(description.rate, now) if description.rate is not None else None
        self.tokens = (Lease(description.token_rate, now)
                       if description.token_rate is not None else None)
        self.lock = Lock()


class FleetGatewayState:
    """`GatewayState` (see _state.py) of one host of a fleet."""

    def __init__(self, inner, descriptions, now_fn=None):
        self._inner = inner
        self._specs = descriptions
        self._now = now_fn or time.monotonic
        now = self._now()
        self._limits = [_Limits(description, now) for description in descriptions]
        # (p, "r" or "t", lease, the lock that guards it), for the syncer.
        self.leases = [(p, kind, lease, limits.lock)
                       for p, limits in enumerate(self._limits)
                       for kind, lease in (("r", limits.requests), ("t", limits.tokens))
                       if lease is not None]
        # Breakers the fleet holds open here, until these local times.
        self.tripped_until = [0.0] * len(descriptions)
        self._any_trip = False
        self.outcomes: deque = deque(maxlen=_OUTCOME_BACKLOG)   # (p, reward)
        self.latencies: deque = deque(maxlen=_OUTCOME_BACKLOG)  # (p, sum ms, count)
        # What this host changed, keyed by what it is about, for the syncer:
        # (what, p, k) -> seconds (or the day for exhaustion).
        self.pending: dict = {}
        self.pending_lock = Lock()
        # What this host knows the fleet holds, to skip what it already
        # applied and to tell the fleet again after Redis lost it.
        self.known: dict = {}
        self.day = 0
        self.emit = None          # callback(kind, p, k, detail), set by the gateway
        self.wake = _nothing      # wakes the syncer when a lease ran dry
        self.stop_syncer = _nothing
        self.status = {"degraded": False, "hosts": 1}
        # Delegated as they are.
        self.rank = inner.rank
        self.posterior = inner.posterior
        self.reset_posterior = inner.reset_posterior
        self.select_key = inner.select_key
        self.keys_ready_in = inner.keys_ready_in
        self.key_summaries = inner.key_summaries
        self.absorb_latency = inner.absorb_latency
        self.chunk_gaps = inner.chunk_gaps
        self.stream_stats = inner.stream_stats
        self.still_named = inner.still_named

    # ---- hooks for the gateway ----------------------------------------------
    def bind_events(self, emit) -> None:
        self.emit = emit

    def snapshot_fields(self) -> dict:
        return {"fleet": dict(self.status)}

    # ---- routing -----------------------------------------------------------
    def reward(self, p, reward):
        self._inner.reward(p, reward)
        self.outcomes.append((p, reward))

    def learn_latency(self, p, latency_ms, first_chunk):
        self._inner.learn_latency(p, latency_ms, first_chunk)
        if latency_ms >= 0.0 and math.isfinite(latency_ms):
            self.latencies.append((p, latency_ms, 1))

    # ---- breaker -----------------------------------------------------------
    def try_breaker(self, p):
        if self._any_trip and self.tripped_until[p] > self._now():
            return REFUSED
        return self._inner.try_breaker(p)

    def breaker_outcome(self, p, trial, outcome, kind="unknown"):
        changed = self._inner.breaker_outcome(p, trial, outcome, kind)
        if changed == "open":
            seconds = self._recovery_s(p)
            self._hold_trip(p, seconds)
            self.note(TRIP, p, -1, seconds)
        return changed

    def trial_candidates(self):
        candidates = self._inner.trial_candidates()
        if not self._any_trip or not candidates:
            return candidates
        now = self._now()
        return [p for p in candidates if self.tripped_until[p] <= now]

    def reset_breaker(self, p):
        self.tripped_until[p] = 0.0
        was_open = self._inner.reset_breaker(p)
        self.note(RESET, p, -1, 0)
        return was_open

    def breaker_state(self, p):
        if self._any_trip and self.tripped_until[p] > self._now():
            return "open"
        return self._inner.breaker_state(p)

    def breaker_ready_in(self, p):
        held = self.tripped_until[p] - self._now() if self._any_trip else 0.0
        return max(held, self._inner.breaker_ready_in(p))

    # ---- rate limits -------------------------------------------------------
    def try_limits(self, p, tokens):
        limits = self._limits[p]
        requests, token_lease = limits.requests, limits.tokens
        if requests is None and (token_lease is None or not tokens):
            return 0.0
        now = self._now()
        with limits.lock:
            if ((requests is None or requests.can_take(1, now))
                    and (token_lease is None or not tokens or token_lease.can_take(tokens, now))):
                if requests is not None:
                    requests.take(1, now)
                if token_lease is not None and tokens:
                    token_lease.take(tokens, now)
                return 0.0
            # Refused: still demand, so the next lease covers it.
            if requests is not None:
                requests.asked += 1
            if token_lease is not None and tokens:
                token_lease.asked += tokens
            ready = self._ready_in(limits, tokens, now)
        self.wake()
        return ready

    def limits_ready_in(self, p, tokens):
        limits = self._limits[p]
        with limits.lock:
            return self._ready_in(limits, tokens, self._now())

    @staticmethod
    def _ready_in(limits, tokens, now):
        ready = 0.0
        if limits.requests is not None:
            ready = limits.requests.ready_in(1, now)
        if limits.tokens is not None and tokens:
            ready = max(ready, limits.tokens.ready_in(tokens, now))
        return ready

    def release_limits(self, p, tokens):
        limits = self._limits[p]
        with limits.lock:
            if limits.requests is not None:
                limits.requests.give_back(1)
            if limits.tokens is not None and tokens:
                limits.tokens.give_back(tokens)

    def settle_tokens(self, p, reserved, used):
        limits = self._limits[p]
        if limits.tokens is None or used == reserved:
            return
        with limits.lock:
            # More than reserved is a debt the next grant pays first.
            limits.tokens.give_back(reserved - used)

    def bucket_levels(self, p):
        limits = self._limits[p]
        with limits.lock:
            return tuple(None if lease is None else lease.level()
                         for lease in (limits.requests, limits.tokens))

    # ---- keys --------------------------------------------------------------
    def key_outcome(self, p, k, outcome, latency_ms=0.0, cooldown_s=0.0):
        reached = self._inner.key_outcome(p, k, outcome, latency_ms, cooldown_s)
        if outcome == KEY_RATE_LIMITED and cooldown_s > 0:
            self.known[(COOL, p, k)] = self._now() + cooldown_s
            self.note(COOL, p, k, cooldown_s)
        elif outcome == KEY_EXHAUSTED or reached:
            self.known[(EXHAUSTED, p, k)] = self.day
            self.note(EXHAUSTED, p, k, self.day)
        elif outcome == KEY_DISABLED:
            self.note(DISABLED, p, k, 0)
        elif outcome == KEY_ENABLED:
            self.known.pop((DISABLED, p, k), None)
            self.note(ENABLED, p, k, 0)
        return reached

    def daily_reset_due(self, day):
        self.day = max(self.day, day)
        return self._inner.daily_reset_due(day)

    # ---- lifetime ----------------------------------------------------------
    def close(self):
        self.stop_syncer()
        self._inner.close()

    # ---- for the syncer ----------------------------------------------------
    def note(self, what, p, k, value):
        with self.pending_lock:
            self.pending[(what, p, k)] = value
        self.wake()

    def take_pending(self) -> dict:
        with self.pending_lock:
            pending, self.pending = self.pending, {}
        return pending

    def apply_trip(self, p, seconds) -> None:
        """Another host's breaker opened: open this one until then too."""
        until = self._now() + seconds
        if until <= self.tripped_until[p] + 0.05:
            return
        self._hold_trip(p, seconds)
        inner = self._inner
        # The local breaker opens as its own failures would open it, so its
        # recovery and trial calls follow the same policy as a local trip.
        for _ in range(max(1, self._specs[p].breaker.failure_threshold)):
            if inner.breaker_state(p) == "open":
                break
            inner.breaker_outcome(p, False, FAILURE, "fleet")
        self._tell("breaker", p, -1, {"state": "open", "source": "fleet"})

    def apply_reset(self, p) -> None:
        """Another host's operator closed the provider's breaker."""
        held = self.tripped_until[p] > self._now()
        self.tripped_until[p] = 0.0
        if self._inner.reset_breaker(p) or held:
            self._tell("breaker", p, -1, {"state": "closed", "source": "fleet"})

    def apply_key(self, what, p, k, value) -> None:
        """Another host's key outcome; `value` is seconds for a cool-down and
        the day for an exhaustion."""
        entry = (what, p, k)
        if what == COOL:
            until = self._now() + value
            if until <= self.known.get(entry, 0.0) + 0.05:
                return
            self.known[entry] = until
            self._inner.key_outcome(p, k, KEY_RATE_LIMITED, cooldown_s=value)
            self._tell("key_cooled", p, k, {"cooldown_s": value, "source": "fleet"})
        elif what == EXHAUSTED:
            if value != self.day or self.known.get(entry) == value:
                return
            self.known[entry] = value
            self._inner.key_outcome(p, k, KEY_EXHAUSTED)
            self._tell("key_exhausted", p, k, {"reason": "quota", "source": "fleet"})
        elif what == DISABLED:
            if entry in self.known:
                return
            self.known[entry] = True
            self._inner.key_outcome(p, k, KEY_DISABLED)
            self._tell("key_disabled", p, k, {"source": "fleet"})
        elif what == ENABLED:
            if self.known.pop((DISABLED, p, k), None) is None:
                return
            self._inner.key_outcome(p, k, KEY_ENABLED)
            self._tell("key_enabled", p, k, {"source": "fleet"})

    def apply_outcomes(self, p, successes: int, failures: int, memory: int) -> None:
        """Other hosts' outcomes, fed to the local router as if seen here,
        interleaved evenly; only the last `memory` still weigh anything."""
        total = successes + failures
        if total > memory:
            successes = round(successes * memory / total)
            total = memory
        reward = self._inner.reward
        for i in range(total):
            success = (i + 1) * successes // total > i * successes // total
            reward(p, 1.0 if success else 0.0)

    def tell(self, kind, detail) -> None:
        self._tell(kind, -1, -1, detail)

    def _tell(self, kind, p, k, detail) -> None:
        emit = self.emit
        if emit is not None:
            emit(kind, p, k, detail)

    def _hold_trip(self, p, seconds) -> None:
        self.tripped_until[p] = max(self.tripped_until[p], self._now() + seconds)
        self._any_trip = True

    def _recovery_s(self, p) -> float:
        recovery = self._specs[p].breaker.recovery_timeout_secs
        if math.isnan(recovery) or recovery > _LONGEST_TRIP_S:
            return _LONGEST_TRIP_S
        return max(recovery, 0.001)


def _nothing() -> None:
    pass
