"""One gateway shared by threads and by coroutines keeps exact counts; a forked
child gets a working copy of its state."""

import asyncio
import os
import random
import sys
import threading

import pytest

from gateway_helpers import NAMES, make_gateway, provider

from velmorquist_proxy import ProviderFailure


def totals(gateway):
    shot = gateway.snapshot()
    counters = shot["counters"]
    key_requests = sum(key["requests"] for p in shot["providers"].values()
                       for key in p["keys"])
    return counters, key_requests


def check_consistent(gateway, requests):
    counters, key_requests = totals(gateway)
    failures = sum(counters["failures"].values())
    assert counters["requests"] == counters["successes"] == requests
    assert counters["attempts"] == counters["successes"] + failures
    # least_used pools count one request per recorded success or error.
    assert key_requests == counters["attempts"]


def flaky_send(seed):
    rng = random.Random(seed)

    def send(name, key):
        if name != "charlie" and rng.random() < 0.3:   # charlie always answers
            raise ProviderFailure("upstream", status=503)
        return name
    return send


@pytest.fixture
def frequent_switches():
    """Threads hand over the interpreter often, so requests interleave."""
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    yield
    sys.setswitchinterval(before)


def test_threads_share_one_gateway(frequent_switches):
    gateway = make_gateway(*(provider(name) for name in NAMES))

    def worker(seed):
        send = flaky_send(seed)
        for _ in range(500):
            gateway.call(send)

    threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    check_consistent(gateway, 8 * 500)


def test_coroutines_share_one_gateway():
    gateway = make_gateway(*(provider(name) for name in NAMES))

    async def one(seed):
        send = flaky_send(seed)

        async def asend(name, key):
            await asyncio.sleep(0)   # let the other coroutines interleave
            return send(name, key)
        return await gateway.acall(asend)

    async def main():
        return await asyncio.gather(*(one(seed) for seed in range(200)))

    assert set(asyncio.run(main())) <= set(NAMES)
    check_consistent(gateway, 200)


def test_forked_child_works_on_its_own_copy_of_the_state():
    gateway = make_gateway(*(provider(name) for name in NAMES))
    for seed in range(20):
        gateway.call(flaky_send(seed))
    before = totals(gateway)
    pid = os.fork()
    if pid == 0:
        try:
            for seed in range(30):
                gateway.call(flaky_send(seed))
            check_consistent(gateway, 50)
        except BaseException:
            os._exit(1)
        os._exit(0)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert totals(gateway) == before
    check_consistent(gateway, 20)


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_fork_while_another_thread_is_in_a_request(frequent_switches):
    """The child must not inherit a lock held by a thread that does not exist
    in it; a stuck child is killed and counted."""
    import time
    gateway = make_gateway(*(provider(name) for name in NAMES))
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            gateway.call(flaky_send(0))

    worker = threading.Thread(target=busy)
    worker.start()
    stuck = 0
    try:
        for _ in range(20):
            pid = os.fork()
            if pid == 0:
                gateway.call(flaky_send(1))
                gateway.snapshot()
                os._exit(0)
            deadline = time.monotonic() + 10.0
            while os.waitpid(pid, os.WNOHANG) == (0, 0):
                if time.monotonic() > deadline:
                    os.kill(pid, 9)
                    os.waitpid(pid, 0)
                    stuck += 1
                    break
                time.sleep(0.005)
    finally:
        stop.set()
        worker.join()
    assert stuck == 0
