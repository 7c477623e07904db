"""How a streamed attempt ends when `with attempt:` is left by an exception:
before the first chunk as any failed call, after it as the provider's
failure raised as `StreamInterrupted`, or as nobody's when the caller's own
code ended it (see stream.py for the rules)."""

from __future__ import annotations

from velmorquist_proxy._state import KEY_ERROR
from velmorquist_proxy.outcomes import (
    PROVIDER_KINDS, AttemptRecord, ProviderFailure, http_status, safe_text,
)
from velmorquist_proxy.stream import StreamInterrupted

ENDED = 4   # attempt.ENDED (attempt.py imports this module)


def stream_failed(attempt, stream, error: BaseException) -> bool:
    """`with attempt:` left by an exception while `stream` (what
    `attempt.stream()` gave) ran; True when the request goes on (see the
    module docstring)."""
    stream.release()
    from_source = error is stream.source_error
    if not stream.committed:
        if not from_source:
            return attempt._failed(error)
        return attempt._failed(error, _source_kind(attempt, error))
    if not from_source and not isinstance(error, ProviderFailure):
        _ended_after_commit(attempt)
        return False
    kind = _source_kind(attempt, error) if from_source else attempt._context.classify(error)
    if kind is None or kind == "caller":
        return attempt._failed(error, kind)
    _interrupted(attempt, stream, error, kind if kind in PROVIDER_KINDS else "unknown")
    return False   # not reached: _interrupted raises


def _source_kind(attempt, error: BaseException) -> str:
    """The source's failure is the provider's: the table's kind when it
    names one, else a lost connection (what a source that raises has)."""
    kind = attempt._context.classify(error)
    if kind is None or kind == "caller":
        return "connection"
    return kind


def _ended_after_commit(attempt) -> None:
    """The caller ended a committed stream: nobody's fault; the tokens
    settle at the count given, else the estimate stands."""
    if attempt._used is not None:
        attempt._settle(attempt._used)
    attempt._end()


def _interrupted(attempt, stream, error: BaseException, kind: str) -> None:
    """Records the provider's failure, settles, tells, then raises."""
    context, p, k = attempt._context, attempt._p, attempt._k
    state = context.state
    status = http_status(error)
    text = safe_text(error)
    message = context.maskers[p](text)
    attempt.record = AttemptRecord(attempt.provider, attempt.masked_key, kind, status, message,
                                   stream.first_chunk_ms)
    context.count_failure(kind)
    state.key_outcome(p, k, KEY_ERROR)
    if attempt._used is not None:
        attempt._settle(attempt._used)
    changed = attempt._provider_failed(kind)
    attempt._status = ENDED   # raised to the caller: the request is over
    context.emit("stream_interrupted", p, k,
                  {"kind": kind, "status": status, "chunks": stream.chunks, "message": message})
    context.request_failed("stream interrupted", attempt.number + 1)
    if changed is not None:
        context.breaker_changed(p, changed)
    failure = StreamInterrupted(
        f"stream from {attempt.provider} interrupted after {stream.chunks} chunk(s): "
        f"{kind}: {message}", provider=attempt.provider, chunks=stream.chunks, kind=kind)
    # The original's text may hold a key: chain it only when it does not.
    if message == text:
        raise failure from error
    raise failure from None
