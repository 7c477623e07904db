"""Streams against a real loopback SSE upstream: commit on the first chunk,
fall-over before it, StreamInterrupted after it, stalls, hedged starts, and
what the router learns from a stream."""

import asyncio
import gc
import http.client
import json
import time
from urllib.parse import urlsplit

import aiohttp
import pytest

from gateway_helpers import make_gateway, provider
from sse_server import EVENTS, USAGE, SseServer
from velmorquist_proxy import AllProvidersFailed, Provider, ProviderFailure, ProviderProfile, RateLimitConfig
from velmorquist_proxy.hedge import HedgeBudget
from velmorquist_proxy.stream import AsyncStream, StreamInterrupted, StreamStalled, SyncStream

TIMEOUT_S = 0.2
RESERVED = 1000
# Windows so long that nothing refills while a test runs.
LIMITS = {"rate": RateLimitConfig(1000, 1e6), "token_rate": RateLimitConfig(100_000, 1e6)}


@pytest.fixture(scope="module")
def server():
    upstream = SseServer()
    yield upstream
    upstream.stop()


@pytest.fixture
def upstream(server):
    server.reset()
    return server


def gateway(**options):
    """alpha first, then bravo; one failure opens a breaker."""
    return make_gateway(provider("alpha", threshold=1, **LIMITS),
                        provider("bravo", threshold=1, **LIMITS), max_retries=0, **options)


def parsed(event: bytes) -> dict:
    try:
        return json.loads(event[len(b"data:"):])
    except ValueError:
        raise ProviderFailure("malformed chunk") from None


# ---- the caller's side, as a user writes it -----------------------------------

async def async_events(reply):
    try:
        async for line in reply.content:
            if line.startswith(b"data:"):
                yield line
    finally:
        reply.close()


async def request_async(gw, server):
    received = []
    async with aiohttp.ClientSession() as session:
        async for attempt in gw.attempts_async(deadline_s=10.0, tokens=RESERVED):
            with attempt:
                reply = await session.get(server.url(attempt.provider))
                if reply.status >= 400:
                    body = await reply.text()
                    reply.close()
                    attempt.check(reply.status, None, body)
                async for event in attempt.stream(async_events(reply),
                                                  first_chunk_timeout_s=TIMEOUT_S,
                                                  chunk_timeout_s=TIMEOUT_S):
                    received.append(parsed(event))
                attempt.used_tokens(received[-1]["usage"])
    return attempt, received


def sync_events(response):
    """Events as they come; read1, unlike readline, reports a cut body."""
    pending = b""
    while block := response.read1(65536):
        *events, pending = (pending + block).split(b"\n\n")
        yield from (event for event in events if event.startswith(b"data:"))


def request_sync(gw, server):
    received = []
    for attempt in gw.attempts(deadline_s=10.0, tokens=RESERVED):
        with attempt:
            url = urlsplit(server.url(attempt.provider))
            connection = http.client.HTTPConnection(url.hostname, url.port, timeout=5.0)
            try:
                connection.request("GET", url.path)
                response = connection.getresponse()
                if response.status >= 400:
                    attempt.check(response.status, None, response.read().decode())
                for event in attempt.stream(sync_events(response),
                                            first_chunk_timeout_s=TIMEOUT_S,
                                            chunk_timeout_s=TIMEOUT_S):
                    received.append(parsed(event))
            finally:
                connection.close()
            attempt.used_tokens(received[-1]["usage"])
    return attempt, received


def run_request(mode, gw, server):
    if mode == "async":
        return asyncio.run(request_async(gw, server))
    return request_sync(gw, server)


def wait_for(condition):
    """The server notices a client leaving a moment later."""
    for _ in range(400):
        if condition():
            return
        time.sleep(0.005)
    assert condition()


def levels(gw, name):
    return gw.snapshot()["providers"][name]["bucket"]


def near(requests, tokens):
    return pytest.approx({"requests": requests, "tokens": tokens}, abs=0.5)


# ---- commit ---------------------------------------------------------------------

@pytest.mark.parametrize("mode", ["async", "sync"])
@pytest.mark.parametrize("script, kind", [
    ("late:1.0", "timeout"),         # stall before the first chunk
    ("status:503", "service_error"),
    ("cut:0", "connection"),         # dropped before the first chunk
])
def test_a_fault_before_the_first_chunk_falls_over(upstream, mode, script, kind):
    upstream.scripts["alpha"] = script
    events = []
    gw = gateway(on_event=events.append)
    attempt, received = run_request(mode, gw, upstream)
    assert attempt.provider == "bravo"
    assert [event["n"] for event in received] == list(range(EVENTS))
    alpha = gw.snapshot()["providers"]["alpha"]
    assert alpha["breaker"] == "open" and alpha["posterior"]["beta"] > 1.0
    assert [(e.kind, e.provider, e.detail.get("kind")) for e in events
            if e.kind in ("attempt_failed", "fallback")] == [
        ("attempt_failed", "alpha", kind), ("fallback", "bravo", None)]
    # bravo settled the count it reported; its request slot was used once.
    assert levels(gw, "bravo") == near(999, 100_000 - USAGE)
    if script.startswith("late") and mode == "async":
        wait_for(lambda: upstream.gone["alpha"] == 1)   # the stalled upstream was closed


@pytest.mark.parametrize("mode", ["async", "sync"])
@pytest.mark.parametrize("script, kind, chunks", [
    ("cut:2", "connection", 2),
    ("stall_mid:2:1.0", "timeout", 2),
    ("bad:2", "unknown", 3),         # the caller raises ProviderFailure for a malformed chunk
])
def test_a_fault_after_the_first_chunk_is_the_providers_and_ends_the_request(
        upstream, mode, script, kind, chunks):
    upstream.scripts["alpha"] = script
    events = []
    gw = gateway(on_event=events.append)
    with pytest.raises(StreamInterrupted) as raised:
        run_request(mode, gw, upstream)
    failure = raised.value
    assert (failure.provider, failure.chunks, failure.kind) == ("alpha", chunks, kind)
    assert failure.__cause__ is not None
    assert upstream.hits["bravo"] == 0
    snapshot = gw.snapshot()
    alpha = snapshot["providers"]["alpha"]
    assert alpha["breaker"] == "open" and alpha["posterior"]["beta"] > 1.0
    assert alpha["keys"][0]["errors"] == 1
    assert snapshot["counters"]["failed"] == 1 and snapshot["counters"]["requests"] == 1
    assert "stream_interrupted" in [event.kind for event in events]
    # No count was given: the reservation stands, and is settled when one comes.
    assert levels(gw, "alpha")["tokens"] == pytest.approx(100_000 - RESERVED, abs=0.5)


def test_a_count_given_after_the_cut_settles_the_reservation():
    gw = gateway()
    attempt = None
    with pytest.raises(StreamInterrupted):
        for attempt in gw.attempts(tokens=RESERVED):
            with attempt:
                attempt.stream(iter([b"1", b"2", b"3"])).__next__()
                raise ProviderFailure("cut", kind="connection")
    assert levels(gw, "alpha")["tokens"] == pytest.approx(100_000 - RESERVED, abs=0.5)
    attempt.used_tokens(300)
    assert levels(gw, "alpha")["tokens"] == pytest.approx(100_000 - 300, abs=0.5)


# ---- the client going away ------------------------------------------------------

@pytest.mark.parametrize("script, after_chunks", [("late:1.0", 0), ("stall_mid:1:1.0", 1)])
def test_a_consumer_that_leaves_closes_the_upstream_and_blames_nobody(
        upstream, script, after_chunks):
    upstream.scripts["alpha"] = script
    gw = gateway()

    async def consume(session, received):
        async def open_upstream(attempt):
            return async_events(await session.get(upstream.url(attempt.provider)))

        async for chunk in gw.stream(open_upstream, tokens=RESERVED):
            received.append(chunk)

    async def main():
        received = []
        async with aiohttp.ClientSession() as session:
            task = asyncio.create_task(consume(session, received))
            while len(received) < after_chunks or upstream.hits["alpha"] == 0:
                await asyncio.sleep(0.005)
            await asyncio.sleep(0.02)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

    asyncio.run(main())
    wait_for(lambda: upstream.gone["alpha"] == 1)
    snapshot = gw.snapshot()
    alpha = snapshot["providers"]["alpha"]
    assert alpha["breaker"] == "closed" and alpha["posterior"]["beta"] == 1.0
    assert snapshot["counters"]["ended_by_caller"] == 1
    # Before the first chunk nothing was committed: the request slot and
    # the tokens come back. After it the estimate stands.
    expected = near(1000, 100_000) if after_chunks == 0 else near(999, 100_000 - RESERVED)
    assert levels(gw, "alpha") == expected


def test_gateway_stream_notices_a_stall_after_the_first_chunk(upstream):
    """The first chunk's wait runs in the start's task, the later ones in
    the consumer's: the stall timer follows."""
    upstream.scripts["alpha"] = "stall_mid:1:1.0"
    gw = make_gateway(provider("alpha", first_chunk_timeout_s=TIMEOUT_S / 2,
                               chunk_timeout_s=TIMEOUT_S), provider("bravo"), max_retries=0)

    async def main(received):
        async with aiohttp.ClientSession() as session:
            async def open_upstream(attempt):
                return async_events(await session.get(upstream.url(attempt.provider)))

            async for chunk in gw.stream(open_upstream, hedge=False):
                received.append(chunk)

    received = []
    with pytest.raises(StreamInterrupted) as raised:
        asyncio.run(main(received))
    assert (raised.value.chunks, raised.value.kind, len(received)) == (1, "timeout", 1)
    assert isinstance(raised.value.__cause__, StreamStalled)
    assert upstream.hits["bravo"] == 0


def test_streams_of_one_loop_stall_each_at_its_own_time():
    """One watchdog serves every stream of a loop: a short wait that starts
    while a long one runs still ends at its own time, and the long one
    runs on."""
    gw = make_gateway(provider("alpha"), max_retries=0)

    async def never():
        await asyncio.Event().wait()
        yield b""

    async def wait_for_chunk(timeout_s):
        async for attempt in gw.attempts_async(deadline_s=60.0):
            with attempt:
                async for _ in attempt.stream(never(), first_chunk_timeout_s=timeout_s):
                    pass

    async def main():
        long = asyncio.create_task(wait_for_chunk(3600.0))
        await asyncio.sleep(0)   # its wait begins
        # Far from a timing test: waiting for the long one would take an hour.
        with pytest.raises(AllProvidersFailed) as failed:
            async with asyncio.timeout(10.0):
                await wait_for_chunk(TIMEOUT_S / 4)
        assert [record.kind for record in failed.value.attempts] == ["timeout"]
        assert not long.done()
        long.cancel()
        with pytest.raises(asyncio.CancelledError):
            await long

    asyncio.run(main())


# ---- hedging --------------------------------------------------------------------

def test_a_hedge_wins_over_a_straggler_whose_trial_slot_and_reservation_come_back(upstream):
    events = []
    gw = make_gateway(provider("alpha", threshold=1, recovery=0.0, **LIMITS),
                      provider("bravo", **LIMITS), max_retries=0, hedge_budget=1.0,
                      on_event=events.append)
    upstream.scripts["alpha"] = "status:503"
    asyncio.run(request_async(gw, upstream))   # alpha trips; its recovery is immediate
    assert gw._state.trial_candidates() == [0]
    upstream.scripts["alpha"] = "late:2.0"
    before = levels(gw, "alpha")

    async def main():
        async with aiohttp.ClientSession() as session:
            async def open_upstream(attempt):
                return async_events(await session.get(upstream.url(attempt.provider)))

            return [parsed(chunk) async for chunk in
                    gw.stream(open_upstream, tokens=RESERVED, hedge=0.2)]

    received = asyncio.run(main())
    assert [event["n"] for event in received] == list(range(EVENTS))
    wait_for(lambda: upstream.gone["alpha"] == 1)
    assert upstream.hits["bravo"] == 2
    assert [(e.kind, e.provider) for e in events if e.kind in ("hedge", "trial")] == [
        ("trial", "alpha"), ("hedge", "bravo")]
    # Neither success nor failure for the loser: its trial slot is free again,
    # its request slot and tokens are back.
    assert gw._state.trial_candidates() == [0]
    assert gw.snapshot()["providers"]["alpha"]["breaker"] == "half_open"
    assert levels(gw, "alpha") == near(before["requests"], before["tokens"])
    assert gw.snapshot()["counters"]["successes"] == 2


@pytest.mark.parametrize("names, delay_s, winner", [
    (("alpha", "bravo"), 0.0, "bravo"),   # both start at once; alpha straggles
    (("alpha",), 0.01, "alpha"),          # nobody to hedge with: the first carries on
])
def test_hedge_at_once_or_with_nobody(names, delay_s, winner):
    """alpha's upstream answers its headers only after the hedge started."""
    gw = make_gateway(*(provider(name) for name in names), max_retries=0, hedge_budget=1.0)
    straggling = len(names) > 1

    async def chunks(first_s, text):
        await asyncio.sleep(first_s)
        yield text

    async def open_upstream(attempt):
        if attempt.provider == "alpha":
            await asyncio.sleep(0.05)
            return chunks(0.3 if straggling else 0.0, "alpha")
        return chunks(0.1, attempt.provider)

    async def main():
        return [chunk async for chunk in gw.stream(open_upstream, hedge=delay_s)]

    assert asyncio.run(main()) == [winner]
    counters = gw.snapshot()["counters"]
    assert (counters["requests"], counters["successes"], counters["failures"]) == (1, 1, {})


@pytest.mark.parametrize("requests, hedges, later_s, allowed", [
    (19, 0, 0.0, False),    # 1 hedge in 19 requests is more than 5 %
    (20, 0, 0.0, True),
    (40, 1, 0.0, True),
    (40, 2, 0.0, False),
    (40, 2, 61.0, False),   # a minute later the old requests no longer count
])
def test_the_hedge_budget_is_a_share_of_the_last_minute(requests, hedges, later_s, allowed):
    now = [1000.0]
    budget = HedgeBudget(0.05, clock=lambda: now[0])
    for _ in range(requests):
        budget.note_request()
    for _ in range(hedges):
        assert budget.take()
    now[0] += later_s
    assert budget.take() is allowed


# ---- what the router learns -----------------------------------------------------

def test_the_router_learns_the_time_to_first_chunk_not_the_streams_length():
    """`slow` answers its first chunk after 300 ms and stops; `fast` after
    10 ms and then streams for a second. Both have the same profile and no
    quality term, so latency alone ranks them; ties go to the first listed."""
    now = [0.0]
    gw = make_gateway(*(Provider(name, [f"sk-{name}-key-0001"], rate=False,
                                 profile=ProviderProfile(name, 0.0, 0.0, 100.0))
                        for name in ("slow", "fast")), _clock=lambda: now[0])

    def chunks(first_s, more):
        now[0] += first_s
        yield b"first"
        for _ in range(more):
            now[0] += 0.02
            yield b"more"

    served = []
    for _ in range(2):
        for attempt in gw.attempts():
            with attempt:
                served.append(attempt.provider)
                script = (0.3, 0) if attempt.provider == "slow" else (0.01, 50)
                list(attempt.stream(chunks(*script)))
    assert served == ["slow", "fast"]
    providers = gw.snapshot()["providers"]
    assert providers["fast"]["latency_ms"] < providers["slow"]["latency_ms"]
    assert providers["fast"]["keys"][0]["avg_latency_ms"] == pytest.approx(10.0)
    assert providers["fast"]["stream"]["chunk_gap_ms"]["samples"] == 50
    assert list(gw._state.rank(())) == [1, 0]


@pytest.mark.parametrize("kind", ["sync", "async"])
def test_a_finished_stream_is_freed_without_the_garbage_collector(kind):
    """A stream and its attempt must not hold each other: a server's every
    streamed request would leave its response to the collector."""
    gw = make_gateway(Provider("solo", ["sk-solo-key-0001"], rate=False))

    async def source():
        yield b"one"

    async def consume():
        async for attempt in gw.attempts_async():
            with attempt:
                async for _ in attempt.stream(source()):
                    pass

    def consume_sync():
        for attempt in gw.attempts():
            with attempt:
                list(attempt.stream([b"one"]))

    gc.collect()
    gc.disable()
    try:
        if kind == "async":
            asyncio.run(consume())
        else:
            consume_sync()
        gc.set_debug(gc.DEBUG_SAVEALL)
        gc.collect()
        left = [o for o in gc.garbage if isinstance(o, (SyncStream, AsyncStream))]
    finally:
        gc.set_debug(0)
        gc.garbage.clear()
        gc.enable()
    assert not left


@pytest.mark.parametrize("call, error", [
    (lambda a, gw: a.stream([], chunk_timeout_s=0), ValueError),
    (lambda a, gw: a.stream([], first_chunk_timeout_s="1"), TypeError),
    (lambda a, gw: a.stream(42), TypeError),
    (lambda a, gw: gw.stream(42), TypeError),
    (lambda a, gw: gw.stream(asyncio.sleep, hedge="soon"), ValueError),
    (lambda a, gw: gw.stream(asyncio.sleep, hedge=float("nan")), ValueError),
    (lambda a, gw: gw.stream(asyncio.sleep, tokens=-1), ValueError),
])
def test_bad_arguments_are_refused_at_the_call(call, error):
    gw = gateway()
    for attempt in gw.attempts():
        with attempt:
            with pytest.raises(error):
                call(attempt, gw)
            assert list(attempt.stream([b"x"])) == [b"x"]
