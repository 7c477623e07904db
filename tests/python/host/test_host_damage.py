"""A region damaged or stalled by another process: the workers hear of it as
an OSError, never a signal or an internal fault, and a stopped lock holder
stalls only the calls that need its lock."""

import contextlib
import os
import signal
import subprocess
import sys
import textwrap

import pytest
from test_host_state import attach, description

from velmorquist_proxy import RateLimitConfig


@pytest.fixture
def region(tmp_path):
    return str(tmp_path / "region")


def overwrite(path):
    size = os.path.getsize(path)
    with open(path, "r+b") as out:
        out.write(b"\xff" * size)


@pytest.mark.parametrize("damage, says", [
    (lambda path: os.truncate(path, 0), "was truncated by another process"),
    (lambda path: os.truncate(path, 100), "was truncated by another process"),
    (overwrite, "was overwritten by another process"),
])
def test_a_region_damaged_under_a_worker_raises_os_error(region, damage, says):
    state = attach(region, [description(rate=RateLimitConfig(100, 1.0, 10))])
    assert state.try_limits(0, 0) == 0.0
    damage(region)
    with contextlib.suppress(OSError):
        state.still_named()   # the gateway's look every few seconds sees a cut no page faulted on
    for call in (lambda: state.try_limits(0, 0), lambda: state.key_summaries(0)):
        with pytest.raises(OSError, match=says):
            call()
    state.close()


def test_a_stopped_lock_holder_does_not_stall_the_other_threads(region):
    state = attach(region)
    if not hasattr(state, "_park_holding_lock"):
        pytest.skip("the lock-parking hook exists in development builds only, not in a wheel")
    read_end, write_end = os.pipe()
    holder = os.fork()
    if holder == 0:
        os.close(read_end)
        state._park_holding_lock(0, write_end)
        os._exit(1)
    os.close(write_end)
    assert os.read(read_end, 1) == b"\x01"
    os.close(read_end)
    os.kill(holder, signal.SIGSTOP)
    # A worker of its own: one thread waits for the lock, the main thread must
    # still run Python; a worker stalled by the wait is killed by the timeout.
    script = textwrap.dedent(f"""
        import threading
        from test_host_state import attach
        state = attach({region!r})
        threading.Thread(target=state.try_breaker, args=(0,), daemon=True).start()
        threading.Event().wait(0.2)
        print("still running", flush=True)
    """)
    try:
        worker = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                                timeout=20, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
        assert worker.stdout == "still running\n", worker.stderr
    finally:
        os.kill(holder, signal.SIGKILL)
        os.waitpid(holder, 0)
