"""The gateway's state in this process, over the native classes.

One breaker, key pool and bucket pair per provider, one router for all.
The native objects keep what they can; the rest lives here because the
native classes do not expose it: when a breaker opened (for its ready
time), its trial slots, the posteriors (the router cannot be read back),
key cool-down deadlines and daily counts.
"""

from __future__ import annotations

import math
import time
from itertools import chain
from operator import attrgetter
from threading import Lock
from typing import Sequence

from velmorquist_proxy._bucket import Bucket
from velmorquist_proxy._native import (
    CircuitBreaker,
    KeyPool,
    NoAvailableKeysError,
    RouterConfig,
    ThompsonRouter,
)
from velmorquist_proxy._state import (
    ALLOWED, KEY_DISABLED, KEY_ENABLED, KEY_ERROR, KEY_EXHAUSTED,
    KEY_RATE_LIMITED, KEY_SUCCESS, NEUTRAL, REFUSED, SUCCESS, TRIAL,
)
from velmorquist_proxy.providers import ProviderSpec

_provider_id = attrgetter("provider_id")
_COOLING = ("rate_limited", "cooling_down")
_FOLD_AT = 64   # pending rewards per provider before they are folded in


class _LazyRanking:
    """The router's full ranking, drawn when iteration reaches it."""

    __slots__ = ("_rank_among", "_index_of")

    def __init__(self, rank_among, index_of):
        self._rank_among = rank_among
        self._index_of = index_of

    def __iter__(self):
        return map(self._index_of, map(_provider_id, self._rank_among()))


class _Provider:
    """Everything this process holds for one provider."""

    __slots__ = ("spec", "breaker", "record_success", "record_failure", "trials",
                 "trial_limit", "opened_at", "requests", "tokens", "pool", "select",
                 "pool_success", "key_index", "cooldown_until", "daily_counts", "lock")

    def __init__(self, spec: ProviderSpec):
        self.spec = spec
        self.breaker = CircuitBreaker(spec.breaker)
        self.record_success = self.breaker.record_success
        self.record_failure = self.breaker.record_failure
        self.trials = 0
        # A threshold of 0 closes on the first trial success, like 1.
        self.trial_limit = max(1, spec.breaker.success_threshold)
        self.opened_at = 0.0
        self.requests = Bucket(spec.rate) if spec.rate is not None else None
        self.tokens = Bucket(spec.token_rate) if spec.token_rate is not None else None
        self.pool = KeyPool(spec.key_strategy)
        for key, weight, limit in zip(spec.keys, spec.weights, spec.daily_limits):
            self.pool.add_key(key, weight, limit)
        self.select = self.pool.select_key
        self.pool_success = self.pool.record_success
        self.key_index = {key: k for k, key in enumerate(spec.keys)}
        self.cooldown_until = [0.0] * len(spec.keys)
        self.daily_counts = [0] * len(spec.keys)
        self.lock = Lock()


class LocalState:
    """`GatewayState` for one process (see _state.py for each method)."""

    def __init__(self, specs: Sequence[ProviderSpec], router_config: RouterConfig,
                 now_fn=None):
        self._now = now_fn or time.monotonic
        self._providers = [_Provider(spec) for spec in specs]
        self._names = [spec.name for spec in specs]
        self._index_of = {name: p for p, name in enumerate(self._names)}.__getitem__
        self._router = ThompsonRouter(router_config)
        for spec in specs:
            self._router.add_provider(spec.profile)
        self._rank_among = self._router.rank_among
        self._select = self._router.select
        self._rest = _LazyRanking(self._rank_among, self._index_of)
        self._decay = router_config.decay_factor
        self._alpha = [1.0] * len(specs)
        self._beta = [1.0] * len(specs)
        self._pending = [[] for _ in specs]   # rewards not yet folded into the mirror
        self._router_lock = Lock()
        self._unclosed: set[int] = set()   # providers whose breaker is open or half-open
        self._day: int | None = None
        self._day_lock = Lock()

    # ---- routing -----------------------------------------------------------
    def rank(self, candidates):
        if candidates:
            decisions = self._rank_among([self._names[p] for p in candidates])
            return map(self._index_of, map(_provider_id, decisions))
        # Most requests need only the head: `select` draws like `rank_among`
        # but builds one decision; the full ranking is drawn only if needed.
        return chain((self._index_of(self._select().provider_id),), self._rest)

    def posterior(self, p):
        with self._router_lock:
            self._fold(p)
            return self._alpha[p], self._beta[p]

    def reward(self, p, reward):
        lock = self._router_lock
        lock.acquire()   # explicit: `with` costs twice as much on this path
        try:
            self._router.record_outcome(self._names[p], reward)
            pending = self._pending[p]
            pending.append(reward)
            if len(pending) >= _FOLD_AT:
                self._fold(p)
        finally:
            lock.release()

    def _fold(self, p):
        """Replays the router's update on the mirrored posterior, which the
        router does not let us read; rewards wait in order until needed
        (`not x > 1.0` also catches NaN, which the router floors too)."""
        decay, alpha, beta = self._decay, self._alpha[p], self._beta[p]
        for reward in self._pending[p]:
            alpha = decay * alpha + reward
            beta = decay * beta + (1.0 - reward)
            alpha = alpha if alpha > 1.0 else 1.0
            beta = beta if beta > 1.0 else 1.0
        self._alpha[p], self._beta[p] = alpha, beta
        self._pending[p].clear()

    def reset_posterior(self, p):
        with self._router_lock:
            # The router has no reset: a provider added again starts at Beta(1, 1).
            self._router.remove_provider(self._names[p])
            self._router.add_provider(self._providers[p].spec.profile)
            self._alpha[p] = self._beta[p] = 1.0
            self._pending[p].clear()

    # ---- breaker -----------------------------------------------------------
    def try_breaker(self, p):
        provider = self._providers[p]
        state = provider.breaker.state
        if state == "closed":
            return ALLOWED
        if state == "open":
            return REFUSED
        with provider.lock:
            if provider.trials >= provider.trial_limit:
                return REFUSED
            provider.trials += 1
        return TRIAL

    def breaker_outcome(self, p, trial, outcome, kind="unknown"):
        provider = self._providers[p]
        if outcome == SUCCESS and not trial and p not in self._unclosed:
            provider.record_success()
            return None
        with provider.lock:
            if trial:
                provider.trials -= 1
            if outcome == NEUTRAL:
                return None
            if outcome == SUCCESS:
                provider.record_success()
                if provider.breaker.state != "closed" or p not in self._unclosed:
                    return None
                self._unclosed.discard(p)
                return "closed"
            before = provider.breaker.state
            provider.record_failure(kind)
            # A failure while half-open always reopens; while closed it opens
            # when it reaches the threshold (the state may already read
            # half_open again when the recovery time is zero).
            if before == "open" or (before == "closed" and provider.breaker.state == "closed"):
                return None
            provider.opened_at = self._now()
            self._unclosed.add(p)
            return "open"

    def trial_candidates(self):
        if not self._unclosed:
            return ()
        return [p for p in sorted(self._unclosed) if self._has_trial_slot(p)]

    def _has_trial_slot(self, p):
        provider = self._providers[p]
        return (provider.breaker.state == "half_open"
                and provider.trials < provider.trial_limit)

    def breaker_state(self, p):
        return self._providers[p].breaker.state

    def breaker_ready_in(self, p):
        provider = self._providers[p]
        if provider.breaker.state != "open":
            return 0.0
        recovery = provider.spec.breaker.recovery_timeout_secs
        if math.isnan(recovery):
            return math.inf
        return max(0.0, provider.opened_at + recovery - self._now())

    # ---- rate limits -------------------------------------------------------
    def try_limits(self, p, tokens):
        provider = self._providers[p]
        requests, token_bucket = provider.requests, provider.tokens
        if requests is not None and not requests.take(1):
            return self.limits_ready_in(p, tokens)
        if token_bucket is not None and tokens and not token_bucket.take(tokens):
            if requests is not None:
                requests.give_back(1)
            return self.limits_ready_in(p, tokens)
        return 0.0

    def limits_ready_in(self, p, tokens):
        provider = self._providers[p]
        ready = 0.0
        if provider.requests is not None:
            ready = provider.requests.ready_in(1)
        if provider.tokens is not None and tokens:
            ready = max(ready, provider.tokens.ready_in(tokens))
        return ready

    def release_limits(self, p, tokens):
        provider = self._providers[p]
        if provider.requests is not None:
            provider.requests.give_back(1)
        if provider.tokens is not None and tokens:
            provider.tokens.give_back(tokens)

    def settle_tokens(self, p, reserved, used):
        bucket = self._providers[p].tokens
        if bucket is None or used == reserved:
            return
        if used < reserved:
            bucket.give_back(reserved - used)
        else:
            bucket.take_up_to(used - reserved)

    def bucket_levels(self, p):
        provider = self._providers[p]
        return tuple(None if bucket is None else bucket.level()
                     for bucket in (provider.requests, provider.tokens))

    # ---- keys --------------------------------------------------------------
    def select_key(self, p):
        provider = self._providers[p]
        try:
            return provider.key_index[provider.select()]
        except NoAvailableKeysError:
            return -1

    def keys_ready_in(self, p):
        provider = self._providers[p]
        now = self._now()
        soonest = math.inf
        for summary, until in zip(provider.pool.list_keys(), provider.cooldown_until):
            if summary.status == "active":
                return 0.0
            if summary.status in _COOLING:
                soonest = min(soonest, max(0.0, until - now))
        return soonest

    def key_outcome(self, p, k, outcome, latency_ms=0.0, cooldown_s=0.0):
        provider = self._providers[p]
        key = provider.spec.keys[k]
        if outcome == KEY_SUCCESS:
            provider.pool_success(key, latency_ms)
            limit = provider.spec.daily_limits[k]
            return limit is not None and self._count_towards_limit(provider, k, key, limit)
        pool = provider.pool
        if outcome == KEY_RATE_LIMITED:
            pool.record_rate_limit(key, cooldown_s)
            provider.cooldown_until[k] = self._now() + cooldown_s
            return False
        if outcome == KEY_ERROR:
            pool.record_error(key)
            return False
        provider.cooldown_until[k] = 0.0
        if outcome == KEY_EXHAUSTED:
            pool.record_exhausted(key)
        elif outcome == KEY_DISABLED:
            pool.disable_key(key)
        elif outcome == KEY_ENABLED:
            pool.enable_key(key)
        return False

    @staticmethod
    def _count_towards_limit(provider, k, key, limit):
        with provider.lock:
            provider.daily_counts[k] += 1
            reached = provider.daily_counts[k] == limit
        if reached:
            provider.pool.record_exhausted(key)
        return reached

    def key_summaries(self, p):
        provider = self._providers[p]
        now = self._now()
        return [
            {
                # The pool reports an expired cool-down only at its next selection.
                "status": ("active" if summary.status in _COOLING and now >= until
                           else summary.status),
                "health": summary.health_score,
                "requests": summary.total_requests,
                "errors": summary.total_errors,
                "avg_latency_ms": summary.avg_latency_ms,
            }
            for summary, until in zip(provider.pool.list_keys(), provider.cooldown_until)
        ]

    def daily_reset_due(self, day):
        with self._day_lock:
            if self._day is not None and day <= self._day:
                return False
            self._day = day
        for provider in self._providers:
            with provider.lock:
                provider.pool.reset_daily_counters()
                provider.daily_counts = [0] * len(provider.daily_counts)
        return True

    def close(self):
        pass
