"""`gateway.stream()`: one streamed request, with hedged starts.

    async def open_upstream(attempt):      # one upstream call; returns an async iterable
        reply = await session.post(url_for(attempt.provider), json=body, headers=auth(attempt.key))
        attempt.check(reply.status, reply.headers.get("retry-after"),
                      await reply.text() if reply.status >= 400 else "")
        return reply.content.iter_any()

    async for chunk in gateway.stream(open_upstream, tokens=1200, deadline_s=60.0, hedge=True):
        await client.write(chunk)

Without hedging this is `attempts_async` with `attempt.stream()` on what
`open` returns, under the same rules (stream.py).

Hedging. When the running attempt has had no first chunk by the hedge
delay, a second attempt starts on the request's next eligible provider. The
first of the two to produce a chunk wins and commits; the other is
cancelled and its source closed, and it gives back its trial slot, its
request slot and its token reservation, counting neither as a success nor
as a failure for its provider. If one fails before either produced a chunk,
the other carries the request (and falls over as usual when it fails too).
At most one hedge per request. `hedge=True` waits the first provider's p95
time to first chunk (no hedge before it has `MIN_SAMPLES` of them);
`hedge=<seconds>` waits that long. Hedges are capped by a budget: at most
`Gateway(hedge_budget=0.05)` of the requests made with hedging over the
last minute in this gateway (so per process), so a slow fleet is not doubled.

Cancelling the consumer (its client went away) cancels the upstreams,
closes them and settles their tokens.
"""

from __future__ import annotations

import asyncio
import math
import time
from threading import Lock

from velmorquist_proxy.attempt import ENDED, PENDING
from velmorquist_proxy.outcomes import AllProvidersFailed
from velmorquist_proxy.request import HEDGE, run
from velmorquist_proxy.stream import AsyncStream

MIN_SAMPLES = 20
BUDGET_RATIO = 0.05
BUDGET_WINDOW_S = 60


class HedgeBudget:
    """Hedging requests and hedges per second over the last minute."""

    __slots__ = ("_lock", "_clock", "_second", "_requests", "_hedges", "_ratio")

    def __init__(self, ratio: float = BUDGET_RATIO, clock=time.monotonic):
        if isinstance(ratio, bool) or not isinstance(ratio, (int, float)) or not 0 <= ratio <= 1:
            raise ValueError(f"hedge_budget must be a fraction of requests from 0 to 1, "
                             f"not {ratio!r}")
        self._lock = Lock()
        self._clock = clock
        self._ratio = ratio
        self._second = int(clock())
        self._requests = [0] * BUDGET_WINDOW_S
        self._hedges = [0] * BUDGET_WINDOW_S

    def note_request(self) -> None:
        with self._lock:
            self._requests[self._advance()] += 1

    def take(self) -> bool:
        """True (and counted) when one more hedge fits the budget."""
        with self._lock:
            slot = self._advance()
            if sum(self._hedges) + 1 > self._ratio * sum(self._requests):
                return False
            self._hedges[slot] += 1
            return True

    def _advance(self) -> int:
        """The current second's slot, with the seconds since the last call cleared."""
        now = int(self._clock())
        passed = min(now - self._second, BUDGET_WINDOW_S)
        for step in range(1, passed + 1):
            slot = (self._second + step) % BUDGET_WINDOW_S
            self._requests[slot] = self._hedges[slot] = 0
        if passed > 0:
            self._second = now
        return now % BUDGET_WINDOW_S


def hedge_setting(hedge) -> float | None:
    """None for no hedging, -1.0 for the p95 delay, else the fixed delay."""
    if hedge is False or hedge is None:
        return None
    if hedge is True:
        return -1.0
    if not isinstance(hedge, (int, float)) or not math.isfinite(hedge) or hedge < 0:
        raise ValueError(f"hedge must be True, False or a number of seconds (0 or more), "
                         f"not {hedge!r}")
    return float(hedge)


class _Lane:
    """One attempt's start: its upstream opened, up to its first chunk."""

    __slots__ = ("attempt", "task", "stream", "iterator", "first", "outcome", "started")

    def __init__(self, attempt, open_upstream, loop):
        self.attempt = attempt
        self.stream = None
        self.iterator = None
        self.first = None
        self.outcome = None    # "chunk", "empty" or "failed" once the task is done
        self.started = loop.time()
        attempt.__enter__()   # now, so its time runs from here even before the task does
        self.task = loop.create_task(self._start(open_upstream))

    async def _start(self, open_upstream) -> None:
        attempt = self.attempt
        try:
            source = await open_upstream(attempt)
            self.stream = stream = attempt.stream(source)
            if not isinstance(stream, AsyncStream):
                raise TypeError(f"open() must return an async iterable of chunks, "
                                f"not {type(source).__name__}")
            stream.hold = True
            self.iterator = stream.__aiter__()
            try:
                self.first = await self.iterator.__anext__()
            except StopAsyncIteration:
                self.outcome = "empty"
                return
            self.outcome = "chunk"
        except asyncio.CancelledError:
            raise   # withdrawn: the request settles it
        except BaseException as error:
            self.outcome = "failed"
            if not attempt.__exit__(type(error), error, error.__traceback__):
                raise

    async def withdraw(self) -> None:
        """Cancels the start, closes its source and gives back what the
        attempt holds, without an outcome for its provider."""
        task = self.task
        if not task.done():
            task.cancel()
        try:
            await task
        except BaseException:
            pass   # its own failure was recorded (or it was cancelled)
        if self.stream is not None:
            await self.stream.aclose()
        attempt = self.attempt
        if attempt._status == PENDING:   # entered, never ended
            attempt.release()
            attempt._context.state.release_limits(attempt._p, attempt._tokens)
            attempt._tokens = 0
            attempt._status = ENDED


async def stream_request(context, budget: HedgeBudget, asleep, open_upstream, tokens: int,
                         deadline_s, delay_setting: float | None):
    """The async generator behind `Gateway.stream` (see the module docstring)
    over the gateway's request context (context.py); `delay_setting` as
    `hedge_setting` gives it."""
    if delay_setting is not None:
        budget.note_request()
    loop = asyncio.get_running_loop()
    steps = run(context, deadline_s, tokens, None)
    lanes: list[_Lane] = []
    hedged = delay_setting is None
    counted = False   # the request's end was counted by an attempt or the loop
    attempts = 0
    try:
        while True:
            if not lanes:
                step = next(steps)
                while step.__class__ is float:
                    await asleep(step)
                    step = next(steps)
                lanes.append(_Lane(step, open_upstream, loop))
                attempts = step.number + 1
            hedge_at = math.inf
            if not hedged and len(lanes) == 1:
                hedge_at = _hedge_at(context, lanes[0], delay_setting)
            timeout = None if hedge_at == math.inf else max(0.0, hedge_at - loop.time())
            done, _ = await asyncio.wait([lane.task for lane in lanes], timeout=timeout,
                                         return_when=asyncio.FIRST_COMPLETED)
            if not done:
                hedged = True
                lane = _hedge(context, budget, steps, lanes[0], open_upstream, loop)
                if lane is not None:
                    lanes.append(lane)
                    attempts = lane.attempt.number + 1
                continue
            winner = None
            for lane in lanes:   # the older first: it wins a tie
                if lane.task.done():
                    if lane.task.exception() is not None:
                        counted = True
                        lane.task.result()   # raises it: the attempt ended the request
                    if lane.outcome != "failed" and winner is None:
                        winner = lane
            if winner is None:
                lanes = [lane for lane in lanes if not lane.task.done()]
                continue
            for lane in lanes:
                if lane is not winner:
                    await lane.withdraw()
            lanes = []
            counted = True   # by the winner's end
            attempt, stream = winner.attempt, winner.stream
            try:
                if winner.outcome == "chunk":
                    stream.commit()
                    yield winner.first
                    async for chunk in winner.iterator:
                        yield chunk
            except BaseException as error:
                if stream is not None:
                    await stream.aclose()
                if not attempt.__exit__(type(error), error, error.__traceback__):
                    raise
                return
            attempt.__exit__(None, None, None)
            return
    except AllProvidersFailed:
        counted = True
        raise
    finally:
        for lane in lanes:
            await lane.withdraw()
        steps.close()
        if not counted:
            context.count_ended(attempts)


def _hedge_at(context, lane, delay_setting: float) -> float:
    """When the lane's hedge is due, on the loop's clock; inf for none."""
    if delay_setting >= 0.0:
        return lane.started + delay_setting
    _, (_, p95_ms, samples), _ = context.state.stream_stats(lane.attempt._p)
    if samples < MIN_SAMPLES:
        return math.inf
    return lane.started + p95_ms / 1000.0


def _hedge(context, budget: HedgeBudget, steps, lane, open_upstream, loop):
    """The hedge of a lane still waiting for its first chunk, or None when
    the budget or the round has none."""
    first = lane.attempt
    if first._deadline <= context.clock() or not budget.take():
        return None
    step = steps.send(HEDGE)
    if step is None:
        return None
    context.emit("hedge", step._p, -1, {"from": first.provider,
                                         "after_s": loop.time() - lane.started})
    return _Lane(step, open_upstream, loop)
