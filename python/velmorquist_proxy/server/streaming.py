"""Server-sent events passed through from an upstream.

Upstream bytes go to the client as they come, cut only at event
boundaries, so an event is never split across two writes and the `usage`
event can be read (to settle the tokens) and dropped when the client did
not ask for it (the proxy always asks upstream for it). The cutting and
reading is native (`split_events`): it is most of a stream's own work."""

from __future__ import annotations

from time import perf_counter

from velmorquist_proxy._host import split_events

# The most bytes held waiting for an event's end: an upstream that never
# ends an event fails the stream rather than grow the proxy without bound
# (OpenAI's events are a few hundred bytes).
MOST_PENDING = 1 << 20


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
            ready, pending, usage = split_events(data, keep_usage)
            if usage is not None:
                exchange.set_usage(usage)
            if ready:
                yield mask(ready)
            if len(pending) > MOST_PENDING:
                raise ValueError(f"an upstream event ran past {MOST_PENDING} bytes")
        if pending:
            yield mask(pending)
    finally:
        # A reply read to its end keeps its connection for the next call.
        if ended:
            reply.release()
        else:
            reply.close()
