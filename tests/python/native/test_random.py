# The per-thread random source as seen from Python, through RetryPolicy's
# jitter: with base 2^50 and jitter 1.0 each delay carries about 51 random bits.
import os
import threading

import pytest

DRAWS = 40


@pytest.fixture(scope="module")
def wide(native):
    policy = native.RetryPolicy(base_delay_ms=2**50, max_delay_ms=2**64 - 1, jitter_factor=1.0)
    return lambda count=DRAWS: [policy.delay_ms(0) for _ in range(count)]


def test_threads_draw_different_streams(wide):
    start = threading.Barrier(6)
    streams = {}

    def work(name):
        start.wait()
        streams[name] = wide()

    threads = [threading.Thread(target=work, args=(n,)) for n in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    streams["main"] = wide()
    everything = [value for stream in streams.values() for value in stream]
    assert len(streams) == 7
    assert len(set(everything)) == len(everything)


def test_new_thread_after_others_ended_gets_a_fresh_stream(wide):
    seen = []
    for _ in range(4):
        thread = threading.Thread(target=lambda: seen.append(wide(8)))
        thread.start()
        thread.join()
    everything = [value for stream in seen for value in stream]
    assert len(set(everything)) == len(everything)


def _read_all(fd):
    chunks = []
    while chunk := os.read(fd, 65536):
        chunks.append(chunk)
    return b"".join(chunks)


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_forked_child_does_not_repeat_its_parents_draws(wide):
    wide(1)  # the generator exists and holds buffered output at the fork
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - runs in the child
        try:
            os.close(read_end)
            os.write(write_end, " ".join(map(str, wide())).encode())
        finally:
            os._exit(0)
    os.close(write_end)
    parent = wide()
    child = [int(value) for value in _read_all(read_end).split()]
    os.close(read_end)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert len(child) == DRAWS
    assert all(p != c for p, c in zip(parent, child))
    # ... and the child did not just continue the parent's stream either.
    assert not set(child) & set(parent)
