"""HostState: one gateway state for every process on a host, in a shared region.

Multi-process cases start real processes (fork) and always reap them."""

import math
import os
import pathlib
import signal
import time

import pytest

from velmorquist_proxy import (
    CircuitBreakerConfig,
    HostState,
    Provider,
    ProviderProfile,
    RateLimitConfig,
    RouterConfig,
)
from velmorquist_proxy import _state as seam
from velmorquist_proxy._host import ManualClock
from worker_processes import WORKERS, run_all


def description(name="alpha", keys=("sk-alpha-key-0001", "sk-alpha-key-0002"), *, rate=False,
         breaker=None, strategy="round_robin", daily_limits=None):
    """A resolved provider, as the gateway hands it to its state."""
    return Provider(name, list(keys), profile=ProviderProfile(name, 0.01, 0.9, 100.0),
                    breaker=breaker or CircuitBreakerConfig(name, 3, 60.0, 2), rate=rate,
                    key_strategy=strategy, daily_limits=daily_limits).resolve()


def attach(path, descriptions=None, *, clock=None, router=None, **options):
    return HostState(path, **options)._attach(descriptions or [description()],
                                              router or RouterConfig(), clock)


@pytest.fixture
def region(tmp_path):
    return str(tmp_path / "region")


def test_bucket_admits_at_most_capacity_plus_refill_across_processes(region):
    capacity, per_second = 20, 40.0
    descriptions = [description(rate=RateLimitConfig(40, 1.0, capacity))]
    state = attach(region, descriptions)
    start = time.monotonic()

    def hammer(_):
        taken = 0
        until = time.monotonic() + 0.4
        while time.monotonic() < until:
            taken += state.try_limits(0, 0) == 0.0
        return taken

    admitted = sum(run_all(hammer))
    elapsed = time.monotonic() - start
    assert capacity <= admitted <= capacity + per_second * elapsed


def test_breaker_trip_and_trial_slots_are_host_wide(region):
    # Trials unsettled for a whole recovery period are taken for lost, so the
    # period must outlast starting the workers.
    descriptions = [description(breaker=CircuitBreakerConfig("alpha", 2, 1.0, 2))]
    clock = ManualClock(1000.0)   # forked workers start from its reading
    state = attach(region, descriptions, clock=clock)

    def trip(_):
        for _ in range(2):
            state.breaker_outcome(0, False, seam.FAILURE, "timeout")
        return state.breaker_state(0)

    assert run_all(trip, count=1) == ["open"]
    assert state.try_breaker(0) == seam.REFUSED
    assert state.breaker_ready_in(0) == 1.0
    clock.advance(0.5)
    assert state.try_breaker(0) == seam.REFUSED
    assert state.breaker_ready_in(0) == 0.5
    clock.advance(0.5)
    answers = run_all(lambda _: state.try_breaker(0))
    assert sorted(answers).count(seam.TRIAL) == 2
    assert answers.count(seam.REFUSED) == WORKERS - 2


def test_key_cooldown_reaches_every_process(region):
    state = attach(region)
    state.key_outcome(0, 0, seam.KEY_RATE_LIMITED, cooldown_s=60.0)
    picks = run_all(lambda _: [state.select_key(0) for _ in range(10)])
    assert {key for run in picks for key in run} == {1}
    assert state.keys_ready_in(0) == 0.0
    state.key_outcome(0, 1, seam.KEY_DISABLED)
    assert run_all(lambda _: state.select_key(0), count=2) == [-1, -1]
    assert 0.0 < state.keys_ready_in(0) <= 60.0
    assert [row["status"] for row in state.key_summaries(0)] == ["rate_limited", "disabled"]


def test_router_learns_from_other_processes(region):
    descriptions = [description("alpha"), description("beta")]
    state = attach(region, descriptions, router=RouterConfig(explore_mode=False))

    def fail_alpha(_):
        for _ in range(5):
            state.reward(0, 0.0)

    run_all(fail_alpha, count=4)
    alpha, beta = state.posterior(0)
    assert beta > 10 * alpha
    assert state.posterior(1) == (1.0, 1.0)
    assert state.rank([0, 1]) == state.rank([1, 0]) == [1, 0]   # by the posterior means
    assert sorted(state.rank(())) == [0, 1]
    state.reset_posterior(0)
    assert state.posterior(0) == (1.0, 1.0)


def test_daily_reset_happens_once_host_wide(region):
    state = attach(region, [description(daily_limits=(1, None))])
    state.select_key(0)  # round robin counts the selection toward the day too
    assert state.key_outcome(0, 0, seam.KEY_SUCCESS, 12.0) is True
    assert state.select_key(0) == 1
    assert sorted(run_all(lambda _: state.daily_reset_due(20_000))) == [False] * 7 + [True]
    assert state.daily_reset_due(20_000) is False
    assert state.key_summaries(0)[0]["status"] == "active"


def test_sigkill_while_holding_the_lock_leaves_the_region_usable(region):
    descriptions = [description(rate=RateLimitConfig(100, 1.0, 10))]
    state = attach(region, descriptions)
    if not hasattr(state, "_park_holding_lock"):
        pytest.skip("the lock-parking hook exists in development builds only, not in a wheel")
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:  # child: park holding provider 0's lock until killed
        os.close(read_end)
        state._park_holding_lock(0, write_end)
        os._exit(1)
    try:
        os.close(write_end)
        assert os.read(read_end, 1) == b"\x01"
        os.kill(pid, signal.SIGKILL)
    finally:
        os.waitpid(pid, 0)
        os.close(read_end)
    # The owner-died lock is repaired and the others go on.
    results = run_all(lambda _: (state.try_limits(0, 0), state.try_breaker(0)), count=4)
    assert [breaker for _, breaker in results] == [seam.ALLOWED] * 4
    level, _ = state.bucket_levels(0)
    assert 0.0 <= level <= 10.0


def test_fresh_and_rebuild_need_no_live_process(region):
    first = attach(region)
    first.reward(0, 0.0)
    with pytest.raises(ValueError, match="live process"):
        attach(region, fresh=True)
    with pytest.raises(ValueError, match="another set of providers"):
        attach(region, [description(keys=("sk-other-key-00001",))])
    assert attach(region).posterior(0) == first.posterior(0)  # reused, not rebuilt
    first.close()
    first.close()  # a second close does nothing
    with pytest.raises(ValueError, match="closed"):
        first.posterior(0)
    assert attach(region, fresh=True).posterior(0) == (1.0, 1.0)
    rebuilt = attach(region, [description(keys=("sk-other-key-00001",))])
    assert rebuilt.select_key(0) == 0


def _damage(path, how):
    if how == "directory":
        os.mkdir(path)
        return
    if how == "empty":
        open(path, "wb").close()
        return
    if how == "random":
        with open(path, "wb") as out:
            out.write(os.urandom(4096))
        return
    attach(path).close()  # a valid region first
    if how == "truncated":
        os.truncate(path, os.path.getsize(path) // 2)


@pytest.mark.parametrize("how, error", [
    ("empty", ValueError),
    ("random", ValueError),
    ("truncated", ValueError),
    ("directory", IsADirectoryError),
])
@pytest.mark.parametrize("create", [True, False])
def test_foreign_or_damaged_files_are_refused_and_left_alone(region, how, error, create):
    _damage(region, how)
    before = None if how == "directory" else pathlib.Path(region).read_bytes()
    with pytest.raises(error, match=region.replace(".", r"\.")):
        attach(region, create=create)
    if before is not None:
        assert pathlib.Path(region).read_bytes() == before


def test_other_layout_version_is_rebuilt_only_when_allowed(region):
    attach(region).close()
    with open(region, "r+b") as out:
        out.seek(8)
        out.write((999).to_bytes(4, "little"))
    with pytest.raises(ValueError, match="layout version 999"):
        attach(region, create=False)
    assert attach(region).select_key(0) == 0


def test_missing_region_without_create(region):
    with pytest.raises(FileNotFoundError, match=region):
        attach(region, create=False)
    assert not os.path.exists(region + ".key")


def test_region_and_key_file_are_private_and_hold_no_key_text(region):
    state = attach(region)
    state.key_outcome(0, 0, seam.KEY_SUCCESS, 5.0)
    for path in (region, region + ".key"):
        assert os.stat(path).st_mode & 0o777 == 0o600
    contents = pathlib.Path(region).read_bytes()
    assert b"sk-alpha-key-0001" not in contents and b"alpha-key" not in contents


@pytest.mark.parametrize("call, error", [
    (lambda s: s.try_breaker(5), IndexError),
    (lambda s: s.key_outcome(0, 2, seam.KEY_SUCCESS), IndexError),
    (lambda s: s.key_outcome(0, 0, 9), ValueError),
    (lambda s: s.breaker_outcome(0, False, 3), ValueError),
    (lambda s: s.try_limits(0, -1), OverflowError),
    (lambda s: s.rank([0, "x"]), TypeError),
])
def test_bad_arguments_raise(region, call, error):
    with pytest.raises(error):
        call(attach(region))


def test_unlimited_provider_levels_and_waits(region):
    state = attach(region, [description(rate=RateLimitConfig(1, 10.0, 1))])
    assert state.try_limits(0, 0) == 0.0
    wait = state.try_limits(0, 0)
    assert 5.0 < wait <= 10.0
    assert state.bucket_levels(0)[1] is None
    assert 5.0 < state.limits_ready_in(0, 0) <= wait
    state.release_limits(0, 0)
    assert state.try_limits(0, 0) == 0.0
    state.key_outcome(0, 0, seam.KEY_EXHAUSTED)
    assert state.keys_ready_in(0) == 0.0
    state.key_outcome(0, 1, seam.KEY_DISABLED)
    assert state.keys_ready_in(0) == math.inf
