"""Streamed provider calls: `attempt.stream(source)` inside `with attempt:`.

    with attempt:
        reply = send(attempt.provider, attempt.key)
        attempt.check(reply.status, reply.headers.get("retry-after"), reply.body_if_error)
        for chunk in attempt.stream(reply.iter_content()):   # or `async for` over an async source
            client.write(chunk)

Latency. What the router and the key's health learn from a streamed call is
its time to first chunk, measured from entering `with attempt:`; a call
that streams nothing is measured whole, as any other call. The time the
upstream takes for each further chunk (from asking for it to getting it, so
a slow client does not count against the provider) goes into the provider's
sketch of gaps between chunks.

Commit. Handing the first chunk to the caller commits the request to this
attempt. Before that, any failure (an exception from the source, a stall,
whatever the caller raises) is an ordinary failed attempt: the outcome table
reads it and the request moves on. An exception the source raises while it
is iterated is the provider's failure whatever its type (a cut connection
raises things that are not `OSError`s). After commit the request cannot
move: a failure of the source, a stall, or a `ProviderFailure` the caller
raises (say for a malformed chunk) is recorded as the provider's failure
(breaker, router reward 0, key error) and raised as `StreamInterrupted`;
no further attempt follows. Anything else the caller's own code raises
after commit (its client went away, its bug) passes through untouched and
counts for nobody.

Stalls. No first chunk within `first_chunk_timeout_s`, or no next chunk
within `chunk_timeout_s` (defaults: the provider's; never past the
request's deadline) raises `StreamStalled`, a `TimeoutError`, inside the
block, and the source is closed (its `aclose()` or `close()`). For an async
source the wait itself is cut short. A sync source cannot be interrupted
mid-read: its timeouts are checked as each chunk arrives, and a read that
blocks is bounded only by the upstream client's own socket timeout (set it,
e.g. from `attempt.time_left_s`).

Tokens. `attempt.used_tokens(n)` may be called while streaming, after the
stream ended, or after it was cut (then it settles at once). Without a count
the reservation stands; a stream cut after commit is never settled below
the count given.

The sync and async loops are written out separately and inline, for their
cost per chunk (`make bench` times it), which is why the module runs past
300 lines; what a failure does is in stream_end.py, hedging in hedge.py,
the stall checks' timer in watchdog.py.
"""

from __future__ import annotations

import asyncio
import math
from types import AsyncGeneratorType

from velmorquist_proxy._native import ProxyError
from velmorquist_proxy.watchdog import StreamStalled, loop_watchdog

# Gaps are handed to the state in batches of this many, and at the end.
_GAP_BATCH = 256
_INF = math.inf
# Closing tasks of async sources the caller left unfinished, kept until done.
_closing: set = set()


class StreamInterrupted(ProxyError):
    """A stream failed after its first chunk reached the caller. The failure
    was recorded against `provider`; `chunks` were delivered before it, and
    `__cause__` is the original error (when its text holds no key)."""

    def __init__(self, message: str, *, provider: str, chunks: int, kind: str):
        super().__init__(message)
        self.message = message
        self.provider = provider
        self.chunks = chunks
        self.kind = kind


def open_stream(attempt, source, *, first_chunk_timeout_s: float | None = None,
                chunk_timeout_s: float | None = None):
    """`attempt.stream(source)`: the source's chunks (an iterator, or an
    async iterator for an async iterable source); see the module docstring
    for commit, stalls and timing."""
    if attempt._stream is not None:
        raise RuntimeError("an attempt streams one source")
    started = attempt._started
    if started is None:
        raise RuntimeError("use attempt.stream() inside `with attempt:`")
    if attempt._status != 0:   # PENDING
        raise RuntimeError("this attempt is over")
    # The provider's limits, checked when it was configured.
    first, gap = attempt._context.stream_timeouts[attempt._p]
    if first_chunk_timeout_s is not None:
        first = _timeout("first_chunk_timeout_s", first_chunk_timeout_s)
    if chunk_timeout_s is not None:
        gap = _timeout("chunk_timeout_s", chunk_timeout_s)
    if hasattr(source, "__aiter__"):
        stream = AsyncStream(attempt, source.__aiter__(), started, first, gap)
    elif hasattr(source, "__iter__"):
        stream = SyncStream(attempt, iter(source), started, first, gap)
    else:
        raise TypeError(f"attempt.stream() needs an iterable or an async iterable, "
                        f"not {type(source).__name__}")
    attempt._stream = stream
    return stream


def _timeout(name: str, value) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds or None, not {type(value).__name__}")
    if not value > 0:
        raise ValueError(f"{name} must be positive, not {value!r}")
    try:
        return float(value)
    except OverflowError:
        return _INF   # longer than anything: no limit


class _Stream:
    """What a streamed attempt knows, shared by both kinds of source."""

    __slots__ = ("attempt", "source", "committed", "chunks", "first_chunk_ms", "first_at",
                 "hold", "gaps", "source_error", "finished", "_first_s", "_gap_s",
                 "_deadline", "_started")

    def __init__(self, attempt, source, started: float, first_s: float, gap_s: float):
        self.attempt = attempt
        self.source = source
        self.committed = False
        self.chunks = 0
        self.first_chunk_ms = 0.0
        self.first_at = None      # when a held first chunk came (hedging)
        self.hold = False         # the first chunk commits only when commit() is called
        self.gaps: list[float] = []
        self.source_error = None  # what the source raised (or the stall), by identity
        self.finished = False
        self._first_s = first_s
        self._gap_s = gap_s
        self._deadline = attempt._deadline
        self._started = started

    # ---- timing ------------------------------------------------------------
    def _first_limit(self) -> float:
        """When the first chunk is due, on the gateway's clock."""
        return min(self._started + self._first_s, self._deadline)

    def _arrived_first(self, now: float) -> None:
        if self.hold:
            self.first_at = now
            return
        attempt = self.attempt
        self.committed = True
        self.first_chunk_ms = first_chunk_ms = (now - self._started) * 1000.0
        attempt._context.state.learn_latency(attempt._p, first_chunk_ms, True)

    def commit(self) -> None:
        """Commits a held first chunk (the hedge that won)."""
        self.hold = False
        if self.first_at is not None and not self.committed:
            self._arrived_first(self.first_at)

    def _flush_gaps(self) -> None:
        gaps = self.gaps
        if gaps:
            self.gaps = []
            attempt = self.attempt
            state = attempt._context.state
            if state is not None:
                state.chunk_gaps(attempt._p, gaps)

    def _stalled(self, first: bool) -> StreamStalled:
        which = "first chunk" if first else f"chunk after {self.chunks}"
        error = StreamStalled(f"no {which} from {self.attempt.provider} in time")
        self.source_error = error
        return error


class SyncStream(_Stream):
    """A sync source's chunks, with the timeouts checked as each arrives."""

    __slots__ = ("_generator",)

    def __init__(self, *args):
        super().__init__(*args)
        self._generator = self._chunks()

    def __iter__(self):
        return self._generator

    def __next__(self):
        return next(self._generator)

    def close(self) -> None:
        self._generator.close()

    def release(self) -> None:
        """Closes what the caller left unfinished (the attempt is over)."""
        self._generator.close()

    def _chunks(self):
        attempt = self.attempt
        clock = attempt._context.clock
        source = self.source
        gaps = self.gaps
        gap_s, deadline = self._gap_s, self._deadline
        limit = self._first_limit()
        asked = clock()
        try:
            while True:
                try:
                    chunk = next(source)
                except StopIteration:
                    return
                except Exception as error:
                    self.source_error = error
                    raise
                now = clock()
                if now > limit:
                    raise self._stalled(self.chunks == 0)
                n = self.chunks
                if n:
                    gaps.append((now - asked) * 1000.0)
                    if n % _GAP_BATCH == 0:
                        self._flush_gaps()
                        gaps = self.gaps
                else:
                    self._arrived_first(now)
                self.chunks = n + 1
                yield chunk
                asked = clock()
                limit = asked + gap_s
                if limit > deadline:
                    limit = deadline
        finally:
            self.finished = True
            self._flush_gaps()
            close = getattr(source, "close", None)
            if close is not None:
                close()


class AsyncStream(_Stream):
    """An async source's chunks; a stall cuts the wait short.

    An async iterator class rather than an async generator: a generator
    costs the event loop's bookkeeping of async generators on top of its
    own frame, as much as the rest of the wrapper's work. The stall check
    is the loop's one watchdog (watchdog.py), not a timer per stream."""

    __slots__ = ("_watchdog", "_until", "_task", "_cancelling", "_stall", "_gap_at",
                 "_deadline_at")

    def __init__(self, attempt, source, started: float, first_s: float, gap_s: float):
        _Stream.__init__(self, attempt, source, started, first_s, gap_s)
        # The loop's, from the first wait on, which sets the rest: when the
        # current wait must end (_until), the gap limit and the deadline on
        # the loop's clock, and the task that waits (adopted when it asks).
        self._watchdog = None
        self._task = None

    def __aiter__(self):
        return self

    async def __anext__(self):
        if self.finished:
            raise StopAsyncIteration
        clock = self.attempt._context.clock
        watchdog = self._watchdog
        asked = clock()
        if watchdog is None:   # the first wait: the first chunk's limit
            watchdog = self._watchdog = loop_watchdog()
            watchdog.waits.add(self)
            offset = watchdog.loop.time() - asked   # loop time minus gateway time
            self._gap_at = self._gap_s + offset
            self._deadline_at = self._deadline + offset
            until = self._first_limit() + offset
            self._stall = False
        else:
            until = asked + self._gap_at
            if until > self._deadline_at:
                until = self._deadline_at
        self._until = until
        if until != _INF:
            if self._task is None:
                # Whoever asks for the chunk adopts the stall check (a
                # hedge's winner is read by another task than its start).
                task = asyncio.current_task()
                self._task = task
                self._cancelling = task.cancelling()
            if until < watchdog.at:
                watchdog.arm(until)
        try:
            chunk = await self.source.__anext__()
        except StopAsyncIteration:
            closing = self._end()
            if closing is not None:
                await closing
            raise
        except asyncio.CancelledError:
            error = None
            if self._stall and self._task.uncancel() <= self._cancelling:
                self._stall = False
                error = self._stalled(self.chunks == 0)
            closing = self._end()
            if closing is not None:
                await closing
            if error is None:
                raise
            raise error from None
        except BaseException as error:
            if isinstance(error, Exception):
                self.source_error = error
            closing = self._end()
            if closing is not None:
                await closing
            raise
        self._until = _INF
        if self._stall:   # the watchdog fired as the chunk came: keep the chunk
            self._stall = False
            self._task.uncancel()
        now = clock()
        n = self.chunks
        if n:
            self.gaps.append((now - asked) * 1000.0)
            if n % _GAP_BATCH == 0:
                self._flush_gaps()
        else:
            self._arrived_first(now)
            self._task = None
        self.chunks = n + 1
        return chunk

    async def aclose(self) -> None:
        if self.finished:
            return
        closing = self._end()
        if closing is not None:
            await closing

    def release(self) -> None:
        """Closes what the caller left unfinished (the attempt is over): the
        block has ended, so the closing runs as a task of its own."""
        if self.finished:
            return
        try:
            loop = asyncio.get_running_loop()
        except RuntimeError:
            return   # no loop to close it on; the source's own finaliser will
        task = loop.create_task(self.aclose())
        _closing.add(task)
        task.add_done_callback(_closing.discard)

    def _stall_now(self) -> None:
        """The watchdog found the wait past its time."""
        self._stall = True
        self._task.cancel()

    def _end(self):
        """Marks the stream finished; what closing its source awaits, if
        anything (nothing when it was finished already)."""
        if self.finished:
            return None
        self.finished = True
        self._until = _INF
        self._task = None
        if self._watchdog is not None:
            self._watchdog.waits.discard(self)
        if self.gaps:
            self._flush_gaps()
        source = self.source
        # An async generator that has returned holds nothing to close.
        if source.__class__ is AsyncGeneratorType and source.ag_frame is None:
            return None
        close = getattr(source, "aclose", None)
        if close is None:
            close = getattr(source, "close", None)
        if close is None:
            return None
        result = close()
        return result if hasattr(result, "__await__") else None
