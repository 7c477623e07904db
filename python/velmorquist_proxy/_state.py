"""The seam between the gateway's decisions and where its changing state lives.

The gateway (gateway.py) decides; a state object remembers. Every gateway
holds one state object built for its provider list. The in-process state keeps
everything in this process's private memory; a host-shared state keeps the
same things in a shared-memory region so every worker process on the host
works on one set of limits, trips, cool-downs and posteriors. Both are the one
native state (`_host`, over core/shared_state) in different memory, so both
offer exactly the methods below with exactly the same policy.

Providers and keys are addressed by index: provider `p` is the p-th provider
given to the gateway, key `k` the k-th key of that provider. Key texts stay in
the gateway's process; a state never needs them in clear (a shared state
stores keyed hashes), so it selects and reports keys by index.

A gateway built with `shared=None` makes an in-process state
(`host_state.private_state`); with `shared=X` it calls
`X._attach(descriptions, router_config, clock)` once, where `descriptions` is
the list of resolved `providers.ProviderSpec` in provider order,
`router_config` the gateway's `RouterConfig` and `clock` None (the host's
monotonic clock) or a `_host.ManualClock` a test drives, and uses what it
returns. A trial slot or limit taken through the state is always settled
through it too, also when a request is abandoned.

A state that learns things outside requests (the fleet state, from Redis)
may also offer `bind_events(emit)`, which the gateway calls once with its
`emit(kind, p, k, detail)` so those reach `on_event`, and
`snapshot_fields()`, a dict merged into `snapshot()`.

Times are seconds on the system-wide monotonic clock (`time.monotonic()`),
which every process on a host shares. "Ready in" values are seconds from now,
0.0 when ready now and `math.inf` when nothing will make it ready.
"""

from __future__ import annotations

from typing import Iterable, Protocol, Sequence

# The native state's values, by name (never copied here):
# what the breaker answered to `try_breaker`:
#   REFUSED   open (or half-open with every trial slot taken)
#   ALLOWED   closed: an ordinary call
#   TRIAL     half-open: this call holds one of the `success_threshold` trial slots
# outcomes for `breaker_outcome`: SUCCESS, FAILURE, NEUTRAL (neither: the
#   caller's fault, a key's problem; it only frees a trial slot);
# outcomes for `key_outcome`: KEY_SUCCESS, KEY_ERROR, KEY_RATE_LIMITED
#   (cooldown_s says for how long), KEY_EXHAUSTED, KEY_DISABLED, KEY_ENABLED.
from velmorquist_proxy._host import (  # noqa: F401  (re-exported for the gateway)
    ALLOWED, FAILURE, KEY_DISABLED, KEY_ENABLED, KEY_ERROR, KEY_EXHAUSTED, KEY_RATE_LIMITED,
    KEY_SUCCESS, NEUTRAL, REFUSED, SUCCESS, TRIAL,
)


class GatewayState(Protocol):
    # ---- routing -----------------------------------------------------------
    def rank(self, candidates: Sequence[int]) -> Iterable[int]:
        """`candidates` best first, by the router's score (one posterior draw
        each in explore mode, the mean otherwise); ties keep the given order.
        An empty `candidates` ranks every provider. The gateway walks the
        result once and usually stops at the first entry, so it may be lazy."""

    def posterior(self, p: int) -> tuple[float, float]:
        """(alpha, beta) of provider p."""

    def reward(self, p: int, reward: float) -> None:
        """Decays provider p's posterior and adds the reward (1.0 or 0.0)."""

    def reset_posterior(self, p: int) -> None:
        """Back to the prior Beta(1, 1)."""

    # ---- latency and stream timing ------------------------------------------
    def learn_latency(self, p: int, latency_ms: float, first_chunk: bool) -> None:
        """One measured latency of provider p (a stream's time to first chunk,
        else the whole call). The router scores p with a decayed average of
        them, starting from the profile's `base_latency_ms`; with
        `first_chunk` it also goes into p's time-to-first-chunk sketch."""

    def absorb_latency(self, p: int, mean_ms: float, count: int) -> None:
        """`count` latencies averaging `mean_ms` measured elsewhere (a fleet)."""

    def chunk_gaps(self, p: int, gaps_ms: Sequence[float]) -> None:
        """Times between a stream's chunks, for p's sketch of them."""

    def stream_stats(self, p: int) -> tuple[float, tuple[float, float, float],
                                             tuple[float, float, float]]:
        """(the learned latency in ms, (p50, p95, samples) of time to first
        chunk, (p50, p95, samples) of time between chunks), over a recent
        window; zeros before any sample."""

    # ---- breaker -----------------------------------------------------------
    def try_breaker(self, p: int) -> int:
        """REFUSED, ALLOWED or TRIAL. An open breaker whose recovery time has
        passed turns half-open here. While half-open at most
        `success_threshold` TRIAL answers are outstanding at once (across
        every process sharing the state); each is settled by one
        `breaker_outcome(p, trial=True, ...)`."""

    def breaker_outcome(self, p: int, trial: bool, outcome: int,
                        kind: str = "unknown") -> str | None:
        """Records SUCCESS, FAILURE (of failure type `kind`, as
        `CircuitBreaker.record_failure` takes it) or NEUTRAL for a call that
        `try_breaker` let through. Returns the new state's text ("closed", "open",
        "half_open") when this changed it, else None."""

    def reset_breaker(self, p: int) -> bool:
        """Closes the breaker and forgets its failures (an operator's reset);
        True when it was not closed."""

    def trial_candidates(self) -> Sequence[int]:
        """Providers whose breaker would answer TRIAL now (recovery time
        passed, or half-open with a free trial slot), in provider order.
        Cheap when every breaker is closed: it runs before every request."""

    def breaker_state(self, p: int) -> str:
        """"closed", "open" or "half_open", after the recovery check."""

    def breaker_ready_in(self, p: int) -> float:
        """Seconds until `try_breaker` would stop refusing: the remaining
        recovery time of an open breaker, 0.0 when it would allow now. A
        half-open breaker whose trial slots are all taken also gives 0.0: its
        trials settle soon, and the caller's own back-off covers the wait."""

    # ---- rate limits -------------------------------------------------------
    def try_limits(self, p: int, tokens: int) -> float:
        """Takes one request from provider p's request bucket and `tokens`
        from its token bucket (where each is configured), both or neither.
        Returns 0.0 when taken, else the seconds until both would be there
        (math.inf when more than a bucket holds is asked for)."""

    def limits_ready_in(self, p: int, tokens: int) -> float:
        """Seconds until `try_limits(p, tokens)` would take, without taking."""

    def release_limits(self, p: int, tokens: int) -> None:
        """Gives back what a successful `try_limits(p, tokens)` took, for a
        call that never went out (no usable key)."""

    def settle_tokens(self, p: int, reserved: int, used: int) -> None:
        """The call used `used` tokens where `reserved` were taken: returns the
        difference to the token bucket, or takes the excess (never below 0)."""

    def bucket_levels(self, p: int) -> tuple[float | None, float | None]:
        """(request level, token level) after a refill; None where unlimited."""

    # ---- keys --------------------------------------------------------------
    def select_key(self, p: int) -> int:
        """Index of the key provider p's strategy picks, or -1 when none is
        usable now (cooling, disabled or exhausted)."""

    def keys_ready_in(self, p: int) -> float:
        """0.0 when provider p has a usable key now, else the seconds until a
        cooling key becomes usable again; math.inf when none is cooling
        (disabled and exhausted keys wait for someone, or the daily reset)."""

    def key_outcome(self, p: int, k: int, outcome: int, latency_ms: float = 0.0,
                    cooldown_s: float = 0.0) -> bool:
        """Records one KEY_* outcome. For KEY_SUCCESS the key's daily count
        goes up, and True is returned when that made it reach its daily limit
        (the key is then exhausted). Otherwise returns False."""

    def key_summaries(self, p: int) -> list[dict]:
        """Per key, in order: {"status", "health", "requests", "errors",
        "avg_latency_ms"}. The gateway adds the masked key itself."""

    def daily_reset_due(self, day: int) -> bool:
        """True exactly once for each new `day` (days since the epoch, in the
        gateway's reset time zone) across everyone sharing the state: the
        caller that gets True has just made every exhausted key usable again
        and zeroed the daily counts."""

    # ---- lifetime ----------------------------------------------------------
    def still_named(self) -> bool:
        """False once a shared region's file is no longer the one at its path
        (removed or replaced); always True in private memory."""

    def close(self) -> None:
        """The gateway is done with the state (a shared state detaches)."""
