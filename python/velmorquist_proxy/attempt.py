"""One provider call of a request, and what its outcome does to the state."""

from __future__ import annotations

import math

from velmorquist_proxy._state import (
    FAILURE, KEY_DISABLED, KEY_ERROR, KEY_EXHAUSTED, KEY_RATE_LIMITED, KEY_SUCCESS,
    NEUTRAL, SUCCESS,
)
from velmorquist_proxy.outcomes import (
    DEFAULT_RETRY_AFTER_S, PROVIDER_KINDS, AttemptRecord, ProviderFailure,
)
from velmorquist_proxy.stream import open_stream, settle_late, stream_failed

# Where an attempt stands.
PENDING = 0
SUCCEEDED = 1
PROVIDER_FAILED = 2   # recorded; the request moves on to another provider
KEY_FAILED = 3        # recorded; the request tries the provider's next key
ENDED = 4             # raised to the caller
IN_FLIGHT = 5         # still running beside a hedge: the request moved on without an outcome

_KEY_OUTCOMES = {"rate_limit": KEY_RATE_LIMITED, "auth": KEY_DISABLED, "quota": KEY_EXHAUSTED}


class Attempt:
    """Use as `with attempt:`. Leaving the block normally records a success
    with the latency measured from entering it; an exception is classified
    (see outcomes.py): provider and key failures are recorded and swallowed
    so the loop goes on, the caller's own errors propagate."""

    __slots__ = ("_gateway", "_p", "_k", "_trial", "_tokens", "provider", "key",
                 "number", "round", "_started", "_status", "_used", "record", "_deadline",
                 "_stream")

    def __init__(self, gateway, p: int, k: int, trial: bool, tokens: int,
                 number: int, round_: int, deadline: float = math.inf):
        self._gateway = gateway
        self._p = p
        self._k = k
        self._trial = trial
        self._tokens = tokens
        self.provider = gateway._names[p]
        self.key = gateway._keys[p][k]
        self.number = number
        self.round = round_
        self._status = PENDING
        self._used = None
        self.record = None   # AttemptRecord once it failed
        self._deadline = deadline
        self._stream = None  # stream.SyncStream or AsyncStream once streaming

    @property
    def masked_key(self) -> str:
        return self._gateway._masked_keys[self._p][self._k]

    def used_tokens(self, n: int) -> None:
        """The reply's real token count, settled against the estimate."""
        if self._stream is not None and self._status != PENDING:
            settle_late(self, n)
            return
        self._used = n

    def stream(self, source, *, first_chunk_timeout_s: float | None = None,
               chunk_timeout_s: float | None = None):
        """The source's chunks (an iterator, or an async iterator for an
        async iterable source); see stream.py for commit, stalls and timing."""
        return open_stream(self, source, first_chunk_timeout_s, chunk_timeout_s)

    def check(self, status: int, retry_after=None, body: str = "") -> None:
        """Returns for a 2xx status, otherwise raises `ProviderFailure`."""
        if 200 <= status < 300:
            return
        text = f"HTTP {status}: {body[:500]}" if body else f"HTTP {status}"
        raise ProviderFailure(self._gateway._maskers[self._p](text), status=status,
                              retry_after=retry_after)

    def __enter__(self):
        self._started = self._gateway._clock()
        return self

    def __exit__(self, exc_type, exc, traceback):
        if exc_type is None:
            self._succeeded()
            return False
        if self._stream is not None:
            return stream_failed(self, exc)
        return self._failed(exc)

    def __repr__(self) -> str:
        return (f"Attempt(provider={self.provider!r}, key={self.masked_key!r}, "
                f"number={self.number}, round={self.round})")

    # ---- recording ---------------------------------------------------------
    def _succeeded(self) -> None:
        gateway, p = self._gateway, self._p
        state = gateway._state
        latency_ms = (gateway._clock() - self._started) * 1000.0
        self._status = SUCCEEDED
        stream = self._stream
        if stream is not None:
            stream.release()
        if stream is not None and stream.committed:
            latency_ms = stream.first_chunk_ms   # learned when it came
        else:
            state.learn_latency(p, latency_ms, False)
        if state.key_outcome(p, self._k, KEY_SUCCESS, latency_ms):
            gateway._emit("key_exhausted", p, self._k, {"reason": "daily_limit"})
        if self._used is not None:
            state.settle_tokens(p, self._tokens, self._used)
        state.reward(p, 1.0)
        changed = state.breaker_outcome(p, self._trial, SUCCESS)
        if changed is not None:
            gateway._breaker_changed(p, changed)
        gateway._count_success(self.number + 1)

    def _failed(self, error: BaseException, kind: str | None = None) -> bool:
        """Records a failed call; True when the request goes on. `kind`
        overrides the outcome table (a stream's source failed)."""
        gateway, p, k = self._gateway, self._p, self._k
        if kind is None:
            kind = gateway._classify(error)
        if kind is None:   # the caller's bug: nothing happened to the provider
            self._end()
            return False
        latency_ms = (gateway._clock() - self._started) * 1000.0
        status = getattr(error, "status", None)
        message = gateway._maskers[p](str(error))
        self.record = AttemptRecord(self.provider, self.masked_key, kind, status, message,
                                    latency_ms)
        gateway._count_failure(kind)
        gateway._emit("attempt_failed", p, k,
                      {"kind": kind, "status": status, "message": message})
        if kind == "caller":
            self._end()
            _raise_masked(error, message, status)
            return False
        if kind in PROVIDER_KINDS:
            gateway._state.key_outcome(p, k, KEY_ERROR)
            self.provider_failed(kind)
            return True
        self._key_failed(kind, error)
        return True

    def _key_failed(self, kind: str, error: BaseException) -> None:
        gateway, p, k = self._gateway, self._p, self._k
        cooldown = 0.0
        if kind == "rate_limit":
            cooldown = getattr(error, "retry_after", None)
            if cooldown is None:
                cooldown = DEFAULT_RETRY_AFTER_S
        gateway._state.key_outcome(p, k, _KEY_OUTCOMES[kind], cooldown_s=cooldown)
        gateway._state.settle_tokens(p, self._tokens, 0)   # the provider turned it away
        if kind == "rate_limit":
            gateway._emit("key_cooled", p, k, {"cooldown_s": cooldown})
        elif kind == "auth":
            gateway._emit("key_disabled", p, k, {})
        else:
            gateway._emit("key_exhausted", p, k, {"reason": "quota"})
        self._status = KEY_FAILED

    def provider_failed(self, kind: str) -> None:
        """Breaker failure and reward 0; settles the breaker ticket."""
        gateway, p = self._gateway, self._p
        gateway._state.reward(p, 0.0)
        changed = gateway._state.breaker_outcome(p, self._trial, FAILURE, kind)
        self._status = PROVIDER_FAILED
        if changed is not None:
            gateway._breaker_changed(p, changed)

    def release(self) -> None:
        """The request leaves this provider without an outcome for its breaker."""
        if self._trial:
            self._gateway._state.breaker_outcome(self._p, True, NEUTRAL)
            self._trial = False

    def _end(self) -> None:
        self._status = ENDED
        self.release()
        self._gateway._count_ended(self.number + 1)


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
