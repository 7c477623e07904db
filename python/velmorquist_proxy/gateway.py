"""The gateway: router, breakers, buckets, key pools and retries as one object.

    gateway = Gateway([Provider("openai", keys=[...]), Provider("groq", keys=[...])])
    for attempt in gateway.attempts(deadline_s=30.0):
        with attempt:
            reply = send(attempt.provider, attempt.key)
            attempt.check(reply.status, reply.headers.get("retry-after"), reply.text)

Choice, outcomes and waiting are described in request.py and outcomes.py;
streamed calls (`attempt.stream()`) in stream.py, and `stream()` with its
hedged starts (capped at `hedge_budget` of the last minute's requests) in
hedge.py. The router scores each provider with the latency it measured
(time to first chunk for a stream), starting from the profile's.

Recovery: a provider whose breaker's recovery time has passed is tried first
in the next requests, ahead of the router's ranking, as a trial call; at
most `success_threshold` trials of a provider are in flight at once, and a
failed trial reopens the breaker for another recovery period, so a provider
that is still down costs at most that many calls per recovery period. When
enough trials succeed the breaker closes and, with
`reset_posterior_on_recovery` (the default), the provider's posterior goes
back to the prior, so the outage it recorded no longer sinks it.

Daily quotas: a key whose successful calls of the day reach its daily limit
is exhausted until the daily reset (`daily_reset`, a time of day, 00:00 UTC
by default), when every exhausted key becomes usable again. The first
request or snapshot after that moment performs the reset.

Operator controls: `enable_key`, `disable_key` and `reset_breaker` act on
the gateway's state, so with a HostState they act host-wide and with a
FleetState fleet-wide (through the same propagation as breaker trips).

A gateway is safe to share between threads and coroutines. In a coroutine
use `acall` or `attempts_async` (with `contextlib.aclosing` when the loop
may be left early), or `attempt_steps`, which leaves the waiting to its
caller: `call` and `attempts` sleep between rounds and would block the
event loop.

This module is the public class and its documentation, every method short
(the request loop is request.py over context.py), which is why it runs
past 300 lines.
"""

from __future__ import annotations

import asyncio
import datetime
import math
import time

from velmorquist_proxy._host import ManualClock
from velmorquist_proxy._masking import key_masker, mask_key
from velmorquist_proxy._native import RetryPolicy, RouterConfig
from velmorquist_proxy._state import KEY_DISABLED, KEY_ENABLED
from velmorquist_proxy.attempt import MAX_TOKENS, token_count
from velmorquist_proxy.context import _DAY_S, RequestContext
from velmorquist_proxy.hedge import BUDGET_RATIO, HedgeBudget, hedge_setting, stream_request
from velmorquist_proxy.host_state import private_state
from velmorquist_proxy.outcomes import classify_failure
from velmorquist_proxy.providers import Provider, ProviderSpec
from velmorquist_proxy.request import ready_in, run

# Provider subsets remembered by `_excluded` (a server asks for one per model).
_MASK_CACHE = 1024


class Gateway:
    """One object in front of many providers; see the module docstring."""

    def __init__(self, providers, *, retry: RetryPolicy | None = None,
                 router: RouterConfig | None = None, deadline_s: float | None = None,
                 on_event=None, classify=None, reset_posterior_on_recovery: bool = True,
                 daily_reset: datetime.time = datetime.time(0, 0), shared=None,
                 hedge_budget: float = BUDGET_RATIO,
                 _clock=time.monotonic, _sleep=time.sleep, _asleep=asyncio.sleep,
                 _wall=time.time):
        descriptions = [_describe(provider) for provider in providers]
        if not descriptions:
            raise ValueError("a gateway needs at least one provider")
        names = [description.name for description in descriptions]
        if len(set(names)) != len(names):
            raise ValueError("provider names must be unique")
        self._descriptions = tuple(descriptions)
        self._names = tuple(names)
        self._keys = tuple(description.keys for description in descriptions)
        self._masked_keys = tuple(tuple(mask_key(key) for key in description.keys)
                                  for description in descriptions)
        self._retry = retry if retry is not None else RetryPolicy()
        self._router_config = router if router is not None else RouterConfig()
        decay = self._router_config.decay_factor
        if not 0.0 < decay <= 1.0:
            # Outside (0, 1] the posteriors run to 0 or infinity.
            raise ValueError(f"router decay_factor must be above 0 and at most 1, not {decay}")
        self._deadline_s = deadline_s
        self._masks: dict[tuple, int] = {}
        self._reset_offset_s = _seconds_after_utc_midnight(daily_reset)
        self._sleep, self._asleep = _sleep, _asleep
        self._hedge_budget = HedgeBudget(hedge_budget, clock=_clock)
        # A test's manual clock drives the state too; otherwise the state
        # reads the host's monotonic clock itself.
        clock = _clock if isinstance(_clock, ManualClock) else None
        if shared is None:
            state = private_state(descriptions, self._router_config, clock)
        else:
            state = shared._attach(descriptions, self._router_config, clock)
        self._context = RequestContext(
            state=state, clock=_clock, wall=_wall, names=self._names, keys=self._keys,
            masked_keys=self._masked_keys,
            maskers=tuple(key_masker(description.keys) for description in descriptions),
            retry=self._retry,
            classify=classify if classify is not None else classify_failure,
            on_event=on_event, reset_posterior=reset_posterior_on_recovery,
            reset_offset_s=self._reset_offset_s, shared=shared is not None,
            stream_timeouts=tuple((_limit(d.first_chunk_timeout_s), _limit(d.chunk_timeout_s))
                                  for d in descriptions))
        # A state that learns things outside requests (a fleet) reports them too.
        bind_events = getattr(state, "bind_events", None)
        if bind_events is not None:
            bind_events(self._context.emit)
        self._context.daily_reset_check(initial=True)

    @classmethod
    def from_config(cls, mapping, **options) -> Gateway:
        """A gateway from a plain mapping (see config.py for the fields)."""
        from velmorquist_proxy.config import gateway_arguments
        providers, arguments = gateway_arguments(mapping)
        return cls(providers, **arguments, **options)

    @classmethod
    def from_toml(cls, path, **options) -> Gateway:
        import tomllib
        with open(path, "rb") as file:
            return cls.from_config(tomllib.load(file), **options)

    @property
    def providers(self) -> tuple[str, ...]:
        return self._names

    # ---- requests ----------------------------------------------------------
    def attempts(self, deadline_s: float | None = None, tokens: int = 0, *,
                 providers=None):
        """The attempts of one request; sleeps only between rounds.
        `tokens` is the estimate reserved against the token rate (see
        attempt.py for what is given back). `deadline_s` bounds the waiting
        and the choice of attempts, not an upstream call already running:
        give the call `attempt.time_left_s` as its timeout. `providers`
        (names) limits the request to those providers, such as the ones
        that serve the model asked for; None means all."""
        self._live_state()
        return run(self._context, self._deadline_s if deadline_s is None else deadline_s,
                   token_count(tokens, "tokens"), self._sleep, self._excluded(providers))

    def attempt_steps(self, deadline_s: float | None = None, tokens: int = 0, *,
                      providers=None):
        """Same as `attempts`, but yields the seconds to wait between rounds
        (a float) instead of sleeping, for a caller that waits its own way:
        a plain generator, which an event loop's server drives for less than
        `attempts_async` costs. Close it when the loop is left early."""
        if self._state is None:
            self._live_state()   # raises
        if tokens.__class__ is not int or not 0 <= tokens <= MAX_TOKENS:
            tokens = token_count(tokens, "tokens")
        return run(self._context, self._deadline_s if deadline_s is None else deadline_s,
                   tokens, None, self._excluded(providers))

    async def attempts_async(self, deadline_s: float | None = None, tokens: int = 0, *,
                             providers=None):
        """Same as `attempts`; waits with `asyncio.sleep`."""
        steps = self.attempt_steps(deadline_s, tokens, providers=providers)
        try:
            for step in steps:
                if step.__class__ is float:
                    await self._asleep(step)
                else:
                    yield step
        finally:
            steps.close()

    def call(self, fn, deadline_s: float | None = None, tokens: int = 0):
        """`fn(provider, key)` through `attempts`; its result on success."""
        for attempt in self.attempts(deadline_s, tokens):
            with attempt:
                result = fn(attempt.provider, attempt.key)
        return result

    async def acall(self, fn, deadline_s: float | None = None, tokens: int = 0):
        """`await fn(provider, key)` through `attempts_async`."""
        async for attempt in self.attempts_async(deadline_s, tokens):
            with attempt:
                result = await fn(attempt.provider, attempt.key)
        return result

    def stream(self, open, *, tokens: int = 0, deadline_s: float | None = None,
               hedge: bool | float = False, providers=None):
        """An async generator of one streamed request's chunks: `await
        open(attempt)` makes the upstream call and returns an async iterable
        of chunks. `hedge` (True, or seconds) starts a second attempt when
        the first has no chunk by then; see hedge.py. `providers` as for
        `attempts`."""
        self._live_state()
        if not callable(open):
            raise TypeError(f"open must be a coroutine function taking the attempt, "
                            f"not {type(open).__name__}")
        return stream_request(self._context, self._hedge_budget, self._asleep, open,
                              token_count(tokens, "tokens"),
                              self._deadline_s if deadline_s is None else deadline_s,
                              hedge_setting(hedge), self._excluded(providers))

    def ready_in(self, providers=None, tokens: int = 0) -> float:
        """Seconds until one of `providers` (names; None: any) could take a
        call of `tokens`: 0.0 when one can now, inf when none ever will
        without an operator."""
        state = self._live_state()
        return ready_in(state, len(self._names), token_count(tokens, "tokens"),
                        self._excluded(providers))

    def _excluded(self, providers) -> int:
        """The request loop's mask of providers a request may not use."""
        if providers is None:
            return 0
        masks = self._masks
        key = providers if isinstance(providers, tuple) else None
        if key is not None:
            mask = masks.get(key)
            if mask is not None:
                return mask
        if isinstance(providers, str):
            raise TypeError("providers must be a collection of provider names, not a str")
        allowed = 0
        for name in providers:
            allowed |= 1 << self._provider_index(name)
        if not allowed:
            raise ValueError("providers must name at least one provider")
        mask = ((1 << len(self._names)) - 1) & ~allowed
        if key is not None and len(masks) < _MASK_CACHE:
            masks[key] = mask
        return mask

    # ---- reading -----------------------------------------------------------
    def snapshot(self) -> dict:
        """A JSON-serialisable picture of every provider and the counters."""
        state = self._live_state()
        self._context.daily_reset_check()
        providers = {}
        for p, name in enumerate(self._names):
            alpha, beta = state.posterior(p)
            requests, tokens = state.bucket_levels(p)
            latency_ms, first_chunk, gap = state.stream_stats(p)
            providers[name] = {
                "breaker": state.breaker_state(p),
                "bucket": {"requests": requests, "tokens": tokens},
                "posterior": {"alpha": alpha, "beta": beta, "mean": alpha / (alpha + beta)},
                "latency_ms": latency_ms,
                "stream": {"first_chunk_ms": _quantiles(first_chunk),
                           "chunk_gap_ms": _quantiles(gap)},
                "keys": [{"key": masked, **summary}
                         for masked, summary in zip(self._masked_keys[p],
                                                    state.key_summaries(p))],
            }
        snapshot = {"providers": providers, "counters": self._context.counters.as_dict()}
        extra = getattr(state, "snapshot_fields", None)
        if extra is not None:
            snapshot.update(extra())
        return snapshot

    # ---- operator controls -------------------------------------------------
    def enable_key(self, provider: str, key: str | int) -> None:
        """Makes a disabled, exhausted or cooling key usable again."""
        p, k = self._key_address(provider, key)
        self._live_state().key_outcome(p, k, KEY_ENABLED)
        self._context.emit("key_enabled", p, k, {"source": "operator"})

    def disable_key(self, provider: str, key: str | int) -> None:
        """Takes a key out of use until `enable_key`."""
        p, k = self._key_address(provider, key)
        self._live_state().key_outcome(p, k, KEY_DISABLED)
        self._context.emit("key_disabled", p, k, {"source": "operator"})

    def reset_breaker(self, provider: str) -> None:
        """Closes the provider's breaker and forgets its failures."""
        p = self._provider_index(provider)
        state = self._live_state()
        was_open = state.reset_breaker(p)
        if was_open and self._context.reset_posterior:
            state.reset_posterior(p)
        self._context.emit("breaker_reset", p, -1, {"source": "operator"})
        if was_open:
            self._context.breaker_changed(p, "closed", {"source": "operator"})

    def _provider_index(self, provider) -> int:
        try:
            return self._names.index(provider)
        except ValueError:
            raise ValueError(f"no provider named {provider!r}") from None

    def _key_address(self, provider, key) -> tuple[int, int]:
        """(p, k) for a provider name and a key given as text or index."""
        p = self._provider_index(provider)
        keys = self._keys[p]
        if isinstance(key, str):
            if key not in keys:
                raise ValueError(f"provider {provider!r} has no key {mask_key(key)}")
            return p, keys.index(key)
        if isinstance(key, bool) or not isinstance(key, int):
            raise TypeError(f"key must be the key's text or its index, not "
                            f"{type(key).__name__}")
        if not 0 <= key < len(keys):
            raise ValueError(f"provider {provider!r} has keys 0 to {len(keys) - 1}, not {key}")
        return p, key

    # ---- lifetime ----------------------------------------------------------
    @property
    def _state(self):
        """The state, None once closed."""
        return self._context.state

    def close(self) -> None:
        context = self._context
        if context.state is not None:
            state, context.state = context.state, None
            state.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False

    def __repr__(self) -> str:
        return f"Gateway(providers={list(self._names)})"

    def _live_state(self):
        state = self._state
        if state is None:
            raise RuntimeError("the gateway is closed")
        return state


def _describe(provider) -> ProviderSpec:
    if isinstance(provider, ProviderSpec):
        return provider
    if isinstance(provider, Provider):
        return provider.resolve()
    raise TypeError(f"expected a Provider, not {type(provider).__name__}")


def _limit(seconds: float | None) -> float:
    """A provider's stall limit as the stream wrapper uses it: no limit is inf."""
    return math.inf if seconds is None else seconds


def _quantiles(figures) -> dict:
    p50, p95, samples = figures
    return {"p50": p50, "p95": p95, "samples": samples}


def _seconds_after_utc_midnight(moment: datetime.time) -> float:
    offset = moment.utcoffset() or datetime.timedelta(0)
    seconds = moment.hour * 3600 + moment.minute * 60 + moment.second - offset.total_seconds()
    return seconds % _DAY_S
