"""Streams: what `attempt.stream()` costs per chunk, how soon a stall is
noticed, and what hedged starts do to the tail of time to first chunk.

* per chunk: iterating a source of ready chunks through `attempt.stream()`
  (stall timeouts set) against iterating it directly, sync and async; the
  difference per chunk (target: at most 1 us);
* stall: an async upstream that goes quiet mid-stream, `chunk_timeout_s`
  0.1 s: the time from asking for the next chunk to `StreamStalled`
  (target: within the timeout plus 50 ms);
* hedging: `gateway.stream()` over fake upstreams whose first chunk comes
  after about 10 ms, except every 20th call of each provider, which
  straggles 10x as long; p99 time to first chunk and upstream calls without
  hedging and with `hedge=True` (targets: p99 at least 40 % lower, calls at
  most 6 % more).

Adds a "stream" section to the bench JSON.

    python bench/bench_stream.py --json build/bench.json
"""

import argparse
import asyncio
import statistics
import time

import velmorquist_proxy as vp
from bench_gateway import write_json

CHUNKS = 200_000
CHUNK_TARGET_NS = 1000
STALL_TIMEOUT_S = 0.1
STALL_MARGIN_S = 0.05
FIRST_CHUNK_S = 0.010
STRAGGLE_EVERY = 20
STRAGGLE_FACTOR = 10
REQUESTS = 2000
WARM_UP = 200
CONCURRENCY = 20
P99_CUT_TARGET = 0.40
CALLS_RISE_TARGET = 0.06


def make_gateway():
    return vp.Gateway([vp.Provider(name, keys=[f"sk-{name}-bench-0123456789"], rate=False)
                       for name in ("openai", "anthropic", "mistral")])


# ---- per chunk -------------------------------------------------------------------

class ReadyChunks:
    """An async source whose chunks are all there: only the iteration costs."""

    def __init__(self, chunks):
        self._chunks = iter(chunks)

    def __aiter__(self):
        return self

    async def __anext__(self):
        for chunk in self._chunks:
            return chunk
        raise StopAsyncIteration


def per_chunk_sync(chunks):
    gateway = make_gateway()
    start = time.perf_counter()
    for _ in iter(chunks):
        pass
    direct = time.perf_counter() - start
    for attempt in gateway.attempts():
        with attempt:
            start = time.perf_counter()
            for _ in attempt.stream(iter(chunks), first_chunk_timeout_s=30.0,
                                    chunk_timeout_s=30.0):
                pass
            wrapped = time.perf_counter() - start
    return direct, wrapped


async def per_chunk_async(chunks):
    gateway = make_gateway()
    start = time.perf_counter()
    async for _ in ReadyChunks(chunks):
        pass
    direct = time.perf_counter() - start
    async for attempt in gateway.attempts_async():
        with attempt:
            start = time.perf_counter()
            async for _ in attempt.stream(ReadyChunks(chunks), first_chunk_timeout_s=30.0,
                                          chunk_timeout_s=30.0):
                pass
            wrapped = time.perf_counter() - start
    return direct, wrapped


def per_chunk(samples):
    chunks = [b"data: {}\n\n"] * CHUNKS
    rows = {}
    for label, run in (("sync", lambda: per_chunk_sync(chunks)),
                       ("async", lambda: asyncio.run(per_chunk_async(chunks)))):
        runs = [run() for _ in range(samples)]
        direct = statistics.median(d for d, _ in runs) / CHUNKS * 1e9
        wrapped = statistics.median(w for _, w in runs) / CHUNKS * 1e9
        rows[label] = {"direct_ns": round(direct, 1), "wrapped_ns": round(wrapped, 1),
                       "overhead_ns": round(wrapped - direct, 1),
                       "met": wrapped - direct <= CHUNK_TARGET_NS}
    return rows


# ---- stall -----------------------------------------------------------------------

async def quiet_after_two():
    yield b"1"
    yield b"2"
    await asyncio.sleep(3600)
    yield b"never"


async def stall_detection(runs):
    """Seconds from the last chunk to StreamStalled, per run."""
    delays = []
    for _ in range(runs):
        gateway = make_gateway()
        asked = None
        try:
            async for attempt in gateway.attempts_async():
                with attempt:
                    async for _ in attempt.stream(quiet_after_two(),
                                                  chunk_timeout_s=STALL_TIMEOUT_S):
                        asked = time.perf_counter()
                    # Reaching here means the stall was missed.
                    raise AssertionError("the stall was not noticed")
        except vp.ProxyError as interrupted:
            if not isinstance(interrupted.__cause__, TimeoutError):
                raise
        delays.append(time.perf_counter() - asked)
    return delays


# ---- hedging ---------------------------------------------------------------------

class FakeUpstreams:
    """Per provider, every STRAGGLE_EVERY-th call straggles."""

    def __init__(self):
        self.calls = {}

    async def open(self, attempt):
        n = self.calls[attempt.provider] = self.calls.get(attempt.provider, 0) + 1
        straggles = n % STRAGGLE_EVERY == 0
        return self._chunks(FIRST_CHUNK_S * (STRAGGLE_FACTOR if straggles else 1))

    @staticmethod
    async def _chunks(first_s):
        await asyncio.sleep(first_s)
        for _ in range(5):
            yield b"data: {}\n\n"
            await asyncio.sleep(0.001)


async def first_chunk_times(hedge):
    gateway = make_gateway()
    upstreams = FakeUpstreams()
    times = []

    async def one(record):
        start = time.perf_counter()
        first = None
        async for _ in gateway.stream(upstreams.open, hedge=hedge):
            if first is None:
                first = time.perf_counter() - start
        if record:
            times.append(first)

    for record, count in ((False, WARM_UP), (True, REQUESTS)):
        calls_before = sum(upstreams.calls.values())
        for start in range(0, count, CONCURRENCY):
            await asyncio.gather(*(one(record) for _ in range(min(CONCURRENCY, count - start))))
    calls = sum(upstreams.calls.values()) - calls_before
    return times, calls


def p99(values):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(0.99 * len(ordered)))]


def hedging():
    plain, plain_calls = asyncio.run(first_chunk_times(False))
    hedged, hedged_calls = asyncio.run(first_chunk_times(True))
    cut = 1.0 - p99(hedged) / p99(plain)
    rise = hedged_calls / plain_calls - 1.0
    return {"requests": REQUESTS, "p99_plain_ms": round(p99(plain) * 1000, 1),
            "p99_hedged_ms": round(p99(hedged) * 1000, 1),
            "p50_plain_ms": round(statistics.median(plain) * 1000, 1),
            "p50_hedged_ms": round(statistics.median(hedged) * 1000, 1),
            "p99_cut": round(cut, 3), "calls_plain": plain_calls, "calls_hedged": hedged_calls,
            "calls_rise": round(rise, 4),
            "met": cut >= P99_CUT_TARGET and rise <= CALLS_RISE_TARGET}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", default=None)
    parser.add_argument("--samples", type=int, default=5)
    args = parser.parse_args()
    words = {True: "met", False: "NOT MET"}

    chunk_rows = per_chunk(args.samples)
    print(f"\nattempt.stream() per chunk ({CHUNKS} ready chunks, median of {args.samples})")
    for label, row in chunk_rows.items():
        print(f"  {label:<5}  direct {row['direct_ns']:7.1f} ns"
              f"  wrapped {row['wrapped_ns']:7.1f} ns"
              f"  overhead {row['overhead_ns']:6.1f} ns  (<= {CHUNK_TARGET_NS} ns "
              f"{words[row['met']]})")

    delays = asyncio.run(stall_detection(10))
    stall = {"timeout_s": STALL_TIMEOUT_S, "max_s": round(max(delays), 4),
             "median_s": round(statistics.median(delays), 4),
             "met": max(delays) <= STALL_TIMEOUT_S + STALL_MARGIN_S}
    print(f"\nstall noticed after {stall['median_s'] * 1000:.1f} ms (median), "
          f"{stall['max_s'] * 1000:.1f} ms (max) for a {STALL_TIMEOUT_S * 1000:g} ms timeout "
          f"(<= +{STALL_MARGIN_S * 1000:g} ms {words[stall['met']]})")

    hedge = hedging()
    print(f"\nhedged starts, {REQUESTS} requests, 1 in {STRAGGLE_EVERY} calls straggling "
          f"{STRAGGLE_FACTOR}x:")
    print(f"  p99 time to first chunk {hedge['p99_plain_ms']} ms -> {hedge['p99_hedged_ms']} ms "
          f"(-{hedge['p99_cut'] * 100:.0f} %, target >= {P99_CUT_TARGET * 100:.0f} %)")
    print(f"  p50 {hedge['p50_plain_ms']} ms -> {hedge['p50_hedged_ms']} ms")
    print(f"  upstream calls {hedge['calls_plain']} -> {hedge['calls_hedged']} "
          f"(+{hedge['calls_rise'] * 100:.1f} %, target <= {CALLS_RISE_TARGET * 100:.0f} %)"
          f"  {words[hedge['met']]}")
    if args.json:
        write_json(args.json, {"per_chunk": chunk_rows, "stall": stall, "hedging": hedge},
                   "stream")


if __name__ == "__main__":
    main()
