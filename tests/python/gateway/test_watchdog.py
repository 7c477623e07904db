"""Cutoff: an upstream call cut at the request's deadline by the loop's one
watchdog, without disturbing anyone else's cancellation."""

import asyncio

import pytest

from gateway_helpers import make_gateway, provider
from velmorquist_proxy import AllProvidersFailed
from velmorquist_proxy.watchdog import Cutoff


def run_attempt(body, deadline_s=60.0):
    """`body(attempt)` inside the first attempt's block, in a task."""
    gw = make_gateway(provider("alpha"), max_retries=0)

    async def main():
        async for attempt in gw.attempts_async(deadline_s=deadline_s):
            with attempt:
                return await body(attempt)

    return asyncio.run(main())


def test_a_call_past_the_deadline_fails_the_attempt_as_a_timeout():
    async def body(attempt):
        with Cutoff(attempt):
            await asyncio.Event().wait()

    with pytest.raises(AllProvidersFailed) as failed:
        run_attempt(body, deadline_s=0.05)
    assert [record.kind for record in failed.value.attempts] == ["timeout"]


@pytest.mark.parametrize("cut_too", [False, True])
def test_a_cancellation_from_elsewhere_passes_through(cut_too):
    async def body(attempt):
        task = asyncio.current_task()
        asyncio.get_running_loop().call_soon(task.cancel)
        with Cutoff(attempt) as cut:
            if cut_too:
                cut._stall_now()
            await asyncio.Event().wait()

    with pytest.raises(asyncio.CancelledError):
        run_attempt(body)


def test_a_call_that_ends_as_it_is_cut_keeps_its_result_and_its_task():
    async def body(attempt):
        with Cutoff(attempt) as cut:
            cut._stall_now()   # the watchdog fires in the same turn the reply came
        await asyncio.sleep(0)   # a cut left standing would be raised here
        return "reply"

    assert run_attempt(body) == "reply"
