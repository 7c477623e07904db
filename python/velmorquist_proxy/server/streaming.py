"""Server-sent events passed through from an upstream.

Upstream bytes go to the client as they come, cut only at event
boundaries, so an event is never split across two writes and the `usage`
event can be read (to settle the tokens) and dropped when the client did
not ask for it (the proxy always asks upstream for it)."""

from __future__ import annotations

import re
from time import perf_counter

from velmorquist_proxy.server.usage import USAGE_OBJECT, read_usage

# The usage-only event has an empty `choices`.
_NO_CHOICES = re.compile(rb'"choices"\s*:\s*\[\s*\]')


def last_boundary(data: bytes, before: int | None = None) -> int:
    """The end of the last complete event in `data` (up to `before`), or -1."""
    lf = data.rfind(b"\n\n", 0, before)
    crlf = data.rfind(b"\r\n\r\n", 0, before)
    return max(lf + 2 if lf >= 0 else -1, crlf + 4 if crlf >= 0 else -1)


async def upstream_events(reply, exchange, keep_usage: bool, mask):
    """The reply's complete events, a batch per upstream read; closes the
    reply when left. `exchange` learns the usage and the time spent
    waiting on the upstream; `mask` hides the provider's keys."""
    pending = b""
    content = reply.content
    ended = False
    try:
        while True:
            asked = perf_counter()
            data = await content.readany()
            exchange.waited += perf_counter() - asked
            if not data:
                ended = True
                break
            if pending:
                data = pending + data
            cut = last_boundary(data)
            if cut < 0:
                pending = data
                continue
            pending = data[cut:]
            ready = mask(data[:cut] if pending else data)
            if b'"usage"' in ready:
                ready = take_usage(ready, exchange, keep_usage)
                if not ready:
                    continue
            yield ready
        if pending:
            yield mask(pending)
    finally:
        # A reply read to its end keeps its connection for the next call.
        if ended:
            reply.release()
        else:
            reply.close()


def take_usage(events: bytes, exchange, keep_usage: bool) -> bytes:
    """Reads the token counts from the events whose `usage` is an object
    (OpenAI sends `"usage": null` in every other chunk); drops the usage-only
    event unless the client asked for it. `events` ends at an event's end."""
    match = USAGE_OBJECT.search(events)
    if match is None:
        return events
    kept, done = [], 0
    while match is not None:
        start, end = _event_around(events, match.start())
        event = events[start:end]
        usage = read_usage(event)
        if usage is not None:
            exchange.set_usage(usage)
            if not keep_usage and _NO_CHOICES.search(event):
                kept.append(events[done:start])
                done = end
        match = USAGE_OBJECT.search(events, end)
    kept.append(events[done:])
    return b"".join(kept)


def _event_around(events: bytes, at: int) -> tuple[int, int]:
    """The start and end (past its blank line) of the event holding `at`."""
    start = max(last_boundary(events, at), 0)
    lf, crlf = events.find(b"\n\n", at), events.find(b"\r\n\r\n", at)
    ends = [i + n for i, n in ((lf, 2), (crlf, 4)) if i >= 0]
    return start, min(ends) if ends else len(events)
