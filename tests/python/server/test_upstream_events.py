"""The native reader of an upstream stream's events, driven by hand: what it
hands on, what it tells the exchange, and what becomes of the reply."""

import asyncio

import pytest

from velmorquist_proxy._host import Exchange, UpstreamEvents

KEY = b"sk-upstream-secret-key-0001"
CHUNK = b'data: {"choices":[{"delta":{}}],"usage":null}\n\n'
USAGE = b'data: {"choices":[],"usage":{"prompt_tokens":2,"completion_tokens":1}}\n\n'


class Reply:
    """An aiohttp reply whose reads give `reads` in turn (an exception is raised)."""

    def __init__(self, reads):
        self.content = self
        self.reads = iter(reads)
        self.ended = None

    async def readany(self):
        read = next(self.reads)
        if isinstance(read, BaseException):
            raise read
        return read

    def release(self):
        self.ended = "released"

    def close(self):
        self.ended = "closed"


class Attempt:
    used = None

    def used_tokens(self, n):
        self.used = n


def events_of(reads, keep_usage=False):
    exchange = Exchange(None, "/v1/chat/completions")
    exchange.attempt = Attempt()
    reply = Reply(reads)
    return UpstreamEvents(reply, exchange, keep_usage, (KEY,), str.upper), reply, exchange


def drain(events):
    """The batches, and the exception that ended them."""
    batches = []
    while True:
        try:
            events.__anext__().send(None)
        except StopIteration as given:
            batches.append(given.value)
        except BaseException as error:
            return batches, error


@pytest.mark.parametrize("reads, keep_usage, batches", [
    ([CHUNK[:10], CHUNK[10:] + CHUNK, b""], False, [CHUNK + CHUNK]),
    ([CHUNK + USAGE, b"data: [DONE]\n\n", b""], False, [CHUNK, b"data: [DONE]\n\n"]),
    ([CHUNK + USAGE, b""], True, [CHUNK + USAGE]),
    ([USAGE, CHUNK, b""], False, [CHUNK]),                    # a batch of usage alone: nothing
    ([CHUNK + b"data: {", b""], False, [CHUNK, b"data: {"]),  # the cut-off end, as it came
    ([b'data: {"key":"' + KEY + b'"}\n\n', b""], False,
     [b'DATA: {"KEY":"SK-UPSTREAM-SECRET-KEY-0001"}\n\n']),   # masked
], ids=["joined", "usage-dropped", "usage-kept", "usage-only", "cut-off", "key"])
def test_events_come_whole_and_the_reply_is_released_at_the_end(reads, keep_usage, batches):
    events, reply, exchange = events_of(reads, keep_usage)
    given, ended = drain(events)
    assert given == batches and isinstance(ended, StopAsyncIteration)
    assert reply.ended == "released" and exchange.waited >= 0.0
    if any(USAGE in read for read in reads):
        assert (exchange.tokens_in, exchange.tokens_out, exchange.attempt.used) == (2, 1, 3)
    assert isinstance(drain(events)[1], StopAsyncIteration)


def test_an_event_sent_a_byte_at_a_time_comes_whole():
    event = b"data: " + b"x" * 60_000 + b"\n\n"
    events, reply, _ = events_of([event[i:i + 1] for i in range(len(event))] + [b""])
    assert drain(events)[0] == [event] and reply.ended == "released"


def test_a_failed_read_closes_the_reply_and_ends_the_stream():
    events, reply, _ = events_of([CHUNK, ConnectionResetError("cut")])
    given, ended = drain(events)
    assert given == [CHUNK] and isinstance(ended, ConnectionResetError)
    assert reply.ended == "closed"
    assert isinstance(drain(events)[1], StopAsyncIteration)


def test_a_cancelled_or_closed_read_closes_the_reply():
    asyncio.run(_cancelled_or_closed())


async def _cancelled_or_closed():
    loop = asyncio.get_running_loop()
    never = loop.create_future()

    class Waiting(Reply):
        async def readany(self):
            return await never

    reply = Waiting([])
    events = UpstreamEvents(reply, Exchange(None, "/v1/x"), False, (), str)
    task = asyncio.ensure_future(anext(events))
    await asyncio.sleep(0)
    task.cancel()
    with pytest.raises(asyncio.CancelledError):
        await task
    assert reply.ended == "closed"

    never = loop.create_future()
    reply = Waiting([])
    events = UpstreamEvents(reply, Exchange(None, "/v1/x"), False, (), str)
    waiting = events.__anext__()
    assert waiting.send(None) is never   # the read waits on the loop
    events.close()
    assert reply.ended == "closed"
    with pytest.raises(StopAsyncIteration):
        waiting.send(None)


class Pause:
    def __await__(self):
        yield "paused"


def test_a_read_that_handles_what_is_thrown_in_goes_on():
    class Handling(Reply):
        async def readany(self):
            try:
                await Pause()
            except KeyError:
                return CHUNK

    events = UpstreamEvents(Handling([]), Exchange(None, "/v1/x"), False, (), str)
    waiting = events.__anext__()
    assert waiting.send(None) == "paused"
    with pytest.raises(StopIteration) as given:
        waiting.throw(KeyError("x"))
    assert given.value.value == CHUNK


@pytest.mark.parametrize("arguments, error", [
    ((Reply([]), object(), False, (), str), "exchange must be an Exchange"),
    ((Reply([]), Exchange(None, "/"), False, ["k"], str), "keys must be a tuple of bytes"),
    ((Reply([]), Exchange(None, "/"), False, (), None), "mask must be callable"),
    ((object(), Exchange(None, "/"), False, (), str), "content"),
])
def test_what_is_not_a_reply_reader_is_refused(arguments, error):
    with pytest.raises((TypeError, AttributeError), match=error):
        UpstreamEvents(*arguments)


def test_a_read_giving_no_bytes_fails_the_stream():
    events, reply, _ = events_of(["text"])
    assert isinstance(drain(events)[1], TypeError) and reply.ended == "closed"
