"""One provider call of a request, and what its outcome does to the state.

Token reservations: a request reserves its `tokens` estimate (and one
request) against the provider's limits before the attempt is handed out.
What happens to them:

| the attempt                                  | request | tokens |
|----------------------------------------------|---------|--------|
| never entered (`with attempt:` not reached)  | given back | given back |
| succeeded                                    | spent   | `used_tokens(n)` if given, else the estimate |
| failed, `used_tokens(n)` given               | spent   | n |
| failed with a reply (a status, a key problem, the caller's 4xx) | spent | given back: the provider turned it away |
| failed without a reply (timeout, connection) | spent   | the estimate: it may have been processed |
| a stream failed after its first chunk        | spent   | `used_tokens(n)` if given (also later), else the estimate |
| a hedge that lost (hedge.py)                 | given back | given back |

Streams (`attempt.stream()`) are described in stream.py.
"""

from __future__ import annotations

import operator

from velmorquist_proxy._state import (
    FAILURE, KEY_DISABLED, KEY_ERROR, KEY_EXHAUSTED, KEY_RATE_LIMITED, KEY_SUCCESS,
    NEUTRAL, SUCCESS,
)
from velmorquist_proxy.outcomes import (
    DEFAULT_RETRY_AFTER_S, PROVIDER_KINDS, AttemptRecord, ProviderFailure,
    http_status, retry_after_of, safe_text,
)
from velmorquist_proxy.stream import open_stream
from velmorquist_proxy.stream_end import stream_failed

# Where an attempt stands.
PENDING = 0
SUCCEEDED = 1
PROVIDER_FAILED = 2   # recorded; the request moves on to another provider
KEY_FAILED = 3        # recorded; the request tries the provider's next key
ENDED = 4             # raised to the caller

_KEY_OUTCOMES = {"rate_limit": KEY_RATE_LIMITED, "auth": KEY_DISABLED, "quota": KEY_EXHAUSTED}
# The part of a reply's body an error message keeps.
_MESSAGE_CHARS = 500
# Token counts cross into the native state as unsigned 64-bit integers.
MAX_TOKENS = 2**63 - 1


def token_count(value, name: str) -> int:
    """`value` as a token count, or TypeError/ValueError naming `name`."""
    try:
        count = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__}") from None
    if not 0 <= count <= MAX_TOKENS:
        raise ValueError(f"{name} must be from 0 to {MAX_TOKENS}, not {count}")
    return count


class Attempt:
    """Use as `with attempt:`, once. Leaving the block normally records a
    success with the latency measured from entering it; an exception is
    classified (see outcomes.py): provider and key failures are recorded and
    swallowed so the loop goes on, the caller's own errors propagate."""

    __slots__ = ("_context", "_p", "_k", "_trial", "_tokens", "provider", "key",
                 "number", "round", "_started", "_deadline", "_status", "_used", "record",
                 "_stream")

    def __init__(self, context, p: int, k: int, trial: bool, tokens: int,
                 number: int, round_: int, deadline: float):
        self._context = context
        self._p = p
        self._k = k
        self._trial = trial
        self._tokens = tokens     # held against the token bucket until settled
        self.provider = context.names[p]
        self.key = context.keys[p][k]
        self.number = number
        self.round = round_
        self._started = None
        self._deadline = deadline
        self._status = PENDING
        self._used = None
        self.record = None   # AttemptRecord once it failed
        self._stream = None  # stream.SyncStream or AsyncStream once streaming

    @property
    def masked_key(self) -> str:
        return self._context.masked_keys[self._p][self._k]

    @property
    def time_left_s(self) -> float:
        """Seconds until the request's deadline (inf without one): the
        context does not bound the upstream call itself, so pass this to the
        HTTP client as its timeout."""
        return max(0.0, self._deadline - self._context.clock())

    def used_tokens(self, n: int) -> None:
        """The reply's real token count, settled against the reservation when
        the attempt ends, or at once when it already has."""
        count = n if n.__class__ is int and 0 <= n <= MAX_TOKENS else token_count(
            n, "used_tokens() n")
        if self._status == PENDING:
            self._used = count
            return
        self._settle(count)

    # stream(source, *, first_chunk_timeout_s=None, chunk_timeout_s=None):
    # the source's chunks; the function itself, not a method calling it, as
    # servers call it once per streamed request.
    stream = open_stream

    def check(self, status: int, retry_after=None, body: str = "") -> None:
        """Returns for a 2xx status, otherwise raises `ProviderFailure`."""
        if 200 <= status < 300:
            return
        # The whole body is classified; only the message is cut, after
        # masking, so a key that straddles the cut is masked whole.
        kind = "quota" if "insufficient_quota" in body else None
        text = f"HTTP {status}: {body}" if body else f"HTTP {status}"
        raise ProviderFailure(self._context.maskers[self._p](text)[:_MESSAGE_CHARS],
                              status=status, retry_after=retry_after, kind=kind)

    def __enter__(self):
        if self._started is not None or self._status != PENDING:
            raise RuntimeError("an attempt is entered once: this one was already used")
        self._started = self._context.clock()
        return self

    def __exit__(self, exc_type, exc, traceback):
        stream = self._stream
        # The stream points back at its attempt: dropped here, the pair is
        # freed by reference counting, not left to the garbage collector
        # with all it holds (a server's response, the task that ran it).
        self._stream = None
        if exc_type is None:
            self._succeeded(stream)
            return False
        if stream is not None:
            return stream_failed(self, stream, exc)
        return self._failed(exc)

    def __repr__(self) -> str:
        return (f"Attempt(provider={self.provider!r}, key={self.masked_key!r}, "
                f"number={self.number}, round={self.round})")

    # ---- recording ---------------------------------------------------------
    def _succeeded(self, stream=None) -> None:
        """Settles everything first and tells afterwards, so an event handler
        that raises cannot leave a slot or a count behind. `stream`: what
        `attempt.stream()` gave, if it was called."""
        context, p = self._context, self._p
        state = context.state
        self._status = SUCCEEDED
        if stream is not None and not stream.finished:
            stream.release()
        if stream is not None and stream.committed:
            latency_ms = stream.first_chunk_ms   # learned when it came
        else:
            latency_ms = (context.clock() - self._started) * 1000.0
            state.learn_latency(p, latency_ms, False)
        reached_limit = state.key_outcome(p, self._k, KEY_SUCCESS, latency_ms)
        if self._used is not None:
            self._settle(self._used)
        state.reward(p, 1.0)
        changed = state.breaker_outcome(p, self._trial, SUCCESS)
        self._trial = False
        if changed == "closed" and context.reset_posterior:
            state.reset_posterior(p)
        context.count_success(self.number + 1)
        if reached_limit:
            context.emit("key_exhausted", p, self._k, {"reason": "daily_limit"})
        if changed is not None:
            context.breaker_changed(p, changed)

    def _failed(self, error: BaseException, kind: str | None = None) -> bool:
        """Records a failed call; True when the request goes on. `kind`
        overrides the outcome table (a stream's source failed)."""
        context, p, k = self._context, self._p, self._k
        try:
            if kind is None:
                kind = context.classify(error)
        except ValueError:
            self._end()
            raise
        if kind is None:   # the caller's bug: nothing happened to the provider
            self._end()
            return False
        latency_ms = (context.clock() - self._started) * 1000.0
        status = http_status(error)
        message = context.maskers[p](safe_text(error))
        self.record = AttemptRecord(self.provider, self.masked_key, kind, status, message,
                                    latency_ms)
        self._settle_failed(answered=status is not None or kind not in PROVIDER_KINDS)
        context.count_failure(kind)
        failed = {"kind": kind, "status": status, "message": message}
        if kind == "caller":
            self._end()
            context.emit("attempt_failed", p, k, failed)
            _raise_masked(error, message, status)
            return False
        if kind in PROVIDER_KINDS:
            context.state.key_outcome(p, k, KEY_ERROR)
            changed = self._provider_failed(kind)
            context.emit("attempt_failed", p, k, failed)
            if changed is not None:
                context.breaker_changed(p, changed)
            return True
        cooldown = self._key_failed(kind, error)
        context.emit("attempt_failed", p, k, failed)
        if kind == "rate_limit":
            context.emit("key_cooled", p, k, {"cooldown_s": cooldown})
        elif kind == "auth":
            context.emit("key_disabled", p, k, {})
        else:
            context.emit("key_exhausted", p, k, {"reason": "quota"})
        return True

    def _key_failed(self, kind: str, error: BaseException) -> float:
        """Records a key's problem; the cool-down it got, in seconds."""
        cooldown = 0.0
        if kind == "rate_limit":
            cooldown = retry_after_of(error)
            if cooldown is None:
                cooldown = DEFAULT_RETRY_AFTER_S
        self._context.state.key_outcome(self._p, self._k, _KEY_OUTCOMES[kind],
                                         cooldown_s=cooldown)
        self._status = KEY_FAILED
        return cooldown

    def _provider_failed(self, kind: str) -> str | None:
        """Breaker failure and reward 0; settles the breaker ticket. The
        breaker's new state when this changed it."""
        state, p = self._context.state, self._p
        state.reward(p, 0.0)
        changed = state.breaker_outcome(p, self._trial, FAILURE, kind)
        self._trial = False
        self._status = PROVIDER_FAILED
        return changed

    def every_key_cooling(self) -> None:
        """The provider's keys are all rate limited: the router learns that
        the provider is short of capacity; the breaker hears nothing, since
        a 429 says the provider is up (the round's wait honours the
        cool-downs)."""
        self._context.state.reward(self._p, 0.0)
        self.release()

    def release(self) -> None:
        """The request leaves this provider without an outcome for its breaker."""
        if self._trial:
            self._context.state.breaker_outcome(self._p, True, NEUTRAL)
            self._trial = False

    def abandon(self) -> None:
        """The request ended before this attempt was used: nothing was sent,
        so its request and token reservation go back."""
        if self._started is None and self._status == PENDING:
            self._context.state.release_limits(self._p, self._tokens)
            self._tokens = 0
        self.release()
        self._status = ENDED

    def _settle(self, count: int) -> None:
        self._context.state.settle_tokens(self._p, self._tokens, count)
        self._tokens = count

    def _settle_failed(self, answered: bool) -> None:
        if self._used is not None:
            self._settle(self._used)
        elif answered:
            self._settle(0)

    def _end(self) -> None:
        self._status = ENDED
        self.release()
        self._context.count_ended(self.number + 1)


def _raise_masked(error: BaseException, message: str, status) -> None:
    """The caller's fault goes back to the caller, with keys masked."""
    if isinstance(error, ProviderFailure):
        error.message = message
        error.args = (message,)
        return
    failure = ProviderFailure(message, status=status, kind="caller")
    # The original's text may hold a key: chain it only when it does not.
    if message == safe_text(error):
        raise failure from error
    raise failure from None
