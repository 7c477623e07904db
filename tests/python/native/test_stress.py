"""Thread and fork stress on the stateful classes.

Eight threads run thousands of mixed operations on one object, with the
interpreter switching threads as often as it can; afterwards the object's
counters must add up exactly to what the threads did. Forks happen in the
middle of calls and while other threads use the objects; the child keeps using
them and must draw random numbers of its own.
"""

import json
import math
import os
import random
import re
import sys
import threading
import time
import warnings

import pytest

from velmorquist_proxy import _native as native

THREADS = 8
OPS = int(os.environ.get("VELMORQUIST_STRESS_OPS", "5000"))
CHILD_TIMEOUT = 60.0


def needs(*names):
    missing = [name for name in names if not hasattr(native, name)]
    return pytest.mark.skipif(bool(missing), reason=f"not built: {', '.join(missing)}")


@pytest.fixture(autouse=True)
def switch_often():
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def run_threads(work):
    """work(index, rng) in THREADS threads started together; their results."""
    barrier = threading.Barrier(THREADS)
    results = [None] * THREADS
    errors = []

    def runner(index):
        rng = random.Random(index)
        barrier.wait()
        try:
            results[index] = work(index, rng)
        except BaseException as error:  # noqa: BLE001 - re-raised in the main thread
            errors.append(error)

    threads = [threading.Thread(target=runner, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
    return results


# ---- circuit breaker ---------------------------------------------------------------


@needs("CircuitBreaker", "CircuitBreakerConfig")
def test_breaker_threads():
    threshold = 3
    breaker = native.CircuitBreaker(native.CircuitBreakerConfig("stress", threshold, 1e-4, 2))
    refusal = f"circuit open for provider `stress`: tripped at {threshold} failures"

    def work(index, rng):
        refusals = 0
        for _ in range(OPS):
            op = rng.randrange(6)
            if op == 0:
                breaker.record_failure(rng.choice(["timeout", "auth", "unknown"]))
            elif op == 1:
                breaker.record_success()
            elif op == 2:
                try:
                    assert breaker.allow_request() is None
                except native.CircuitOpenError as error:
                    # Opening happens exactly at the threshold and later
                    # failures never move the count, so every refusal names it.
                    assert error.args == (refusal,)
                    refusals += 1
            elif op == 3:
                assert breaker.state in ("closed", "open", "half_open")
            elif op == 4:
                assert re.fullmatch(r"CircuitBreaker\(state='(closed|open|half_open)'\)",
                                    repr(breaker))
            elif rng.random() < 0.05:
                breaker.reset()
        return refusals

    refusals = sum(run_threads(work))
    assert refusals > 0
    # The state machine still runs by the book.
    breaker.reset()
    assert breaker.state == "closed"
    for _ in range(threshold - 1):
        breaker.record_failure()
    assert breaker.state == "closed"
    breaker.record_failure()
    time.sleep(0.01)
    assert breaker.state == "half_open"
    breaker.record_success()
    breaker.record_success()
    assert breaker.state == "closed"


# ---- token bucket ------------------------------------------------------------------

_REFUSAL = re.compile(r"rate limited: (\S+) tokens available, (\d+) requested")


@needs("TokenBucket", "RateLimitConfig")
def test_bucket_threads():
    capacity = 5000
    # A window of 1e12 s refills 5e-9 tokens a second: the level only falls.
    bucket = native.TokenBucket(native.RateLimitConfig(capacity, 1e12))

    def work(index, rng):
        taken = 0
        for _ in range(OPS):
            op = rng.randrange(4)
            if op < 2:
                n = rng.choice([0, 1, 1, 2, 3, 7])
                try:
                    assert bucket.try_acquire(n) is True
                    taken += n
                except native.RateLimitedError as error:
                    available, requested = _REFUSAL.fullmatch(error.args[0]).groups()
                    assert int(requested) == n
                    assert 0.0 <= float(available) < n
            elif op == 2:
                assert 0.0 <= bucket.available_tokens <= capacity
            else:
                assert re.fullmatch(r"TokenBucket\(available=\d+\.\d\)", repr(bucket))
        return taken

    taken = sum(run_threads(work))
    level = bucket.available_tokens
    assert 0.0 <= level <= capacity
    assert taken <= capacity
    assert level == pytest.approx(capacity - taken, abs=1e-3)


# ---- key pool ----------------------------------------------------------------------

KEYS = [f"stress-key-{i:04d}" for i in range(6)]
CHURN = "churn-key-that-comes-and-goes"


@needs("KeyPool")
@pytest.mark.parametrize("strategy", ["round_robin", "least_used", "random", "weighted", "adaptive"])
def test_pool_threads(strategy):
    pool = native.KeyPool(strategy)
    for key in KEYS:
        pool.add_key(key, weight=1.0 + KEYS.index(key))
    selection_counts = strategy in ("round_robin", "adaptive")

    def work(index, rng):
        counts = {key: [0, 0, 0] for key in KEYS}  # requests, errors, rate limits
        for _ in range(OPS):
            op = rng.randrange(10)
            key = rng.choice(KEYS)
            if op == 0:
                try:
                    chosen = pool.select_key()
                except native.NoAvailableKeysError:
                    continue
                if chosen in counts and selection_counts:
                    counts[chosen][0] += 1
            elif op == 1:
                pool.record_success(key, rng.uniform(1.0, 900.0))
                counts[key][0] += 1
            elif op == 2:
                pool.record_error(key)
                counts[key][0] += 1
                counts[key][1] += 1
            elif op == 3:
                pool.record_rate_limit(key, 0.0)  # back at the next selection
                counts[key][0] += 1
                counts[key][2] += 1
            elif op == 4:
                summaries = pool.list_keys()
                assert all(0.0 <= s.health_score <= 1.0 for s in summaries)
                assert all(s.status in ("active", "rate_limited", "disabled") for s in summaries)
            elif op == 5:
                pool.disable_key(key)
                pool.enable_key(key)
            elif op == 6:
                pool.add_key(CHURN)
            elif op == 7:
                pool.remove_key(CHURN)
            elif op == 8:
                assert pool.has_key(key)
                assert 6 <= len(pool) <= 7
            else:
                assert re.fullmatch(r"KeyPool\(keys=[67]\)", repr(pool))
        return counts

    per_thread = run_threads(work)
    pool.remove_key(CHURN)
    summaries = pool.list_keys()
    assert [s.key_masked for s in summaries] == [f"stre...{i:04d}" for i in range(6)]
    for key, summary in zip(KEYS, summaries):
        requests, errors, rate_limits = (sum(c[key][i] for c in per_thread) for i in range(3))
        assert summary.total_requests == requests
        assert summary.total_errors == errors
        assert summary.total_rate_limits == rate_limits
    # Every key comes back: enabled ones immediately, rate-limited ones at selection.
    for key in KEYS:
        pool.enable_key(key)
    pool.select_key()
    assert {s.status for s in pool.list_keys()} == {"active"}


# ---- router ------------------------------------------------------------------------

PROVIDERS = [f"p{i}" for i in range(5)]


def _quality_only_router(explore, decay):
    """Scores are the success estimate alone: cost and latency weigh nothing."""
    router = native.ThompsonRouter(
        native.RouterConfig(cost_weight=0.0, quality_weight=1.0, latency_weight=0.0,
                            explore_mode=explore, decay_factor=decay)
    )
    for provider in PROVIDERS:
        router.add_provider(native.ProviderProfile(provider, 0.0, 1.0, 0.0))
    return router


@needs("ThompsonRouter", "RouterConfig", "ProviderProfile")
def test_router_threads():
    sampled = _quality_only_router(explore=True, decay=1.0)
    # Decay 1 and rewards of 0 or 1: alpha = 1 + successes, beta = 1 + failures.
    counted = _quality_only_router(explore=False, decay=1.0)
    # Any reward at all and decay below 1: the floors keep alpha, beta >= 1.
    wild = _quality_only_router(explore=False, decay=0.9)
    churn = native.ProviderProfile("churn", 0.0, 1.0, 0.0)

    def work(index, rng):
        outcomes = {provider: [0, 0] for provider in PROVIDERS}
        for _ in range(OPS):
            op = rng.randrange(7)
            provider = rng.choice(PROVIDERS)
            if op == 0:
                decision = sampled.select()
                assert decision.is_explore is True
                assert 0.0 <= decision.score <= 1.0
            elif op == 1:
                reward = rng.choice([0.0, 1.0])
                for router in (sampled, counted):
                    router.record_outcome(provider, reward)
                outcomes[provider][reward == 0.0] += 1
            elif op == 2:
                wild.record_outcome(provider, rng.choice([-3.0, -1.0, 0.0, 0.5, 1.0, 2.0, 1e6]))
            elif op == 3:
                wanted = rng.sample(PROVIDERS, rng.randrange(1, 4))
                ranked = sampled.rank_among(wanted)
                assert sorted(d.provider_id for d in ranked) == sorted(wanted)
                scores = [d.score for d in ranked]
                assert scores == sorted(scores, reverse=True)
            elif op == 4:
                sampled.add_provider(churn)
            elif op == 5:
                sampled.remove_provider("churn")
            else:
                assert sampled.provider_count >= len(PROVIDERS)
                assert counted.select_deterministic().provider_id in PROVIDERS
        return outcomes

    per_thread = run_threads(work)
    means = {d.provider_id: d.score for d in counted.rank_among()}
    for provider in PROVIDERS:
        successes = sum(o[provider][0] for o in per_thread)
        failures = sum(o[provider][1] for o in per_thread)
        alpha, beta = 1.0 + successes, 1.0 + failures
        assert means[provider] == alpha / (alpha + beta)
    for decision in wild.rank_among():
        assert 0.0 < decision.score < 1.0  # both counts at least 1.0 and finite


# ---- fork --------------------------------------------------------------------------


def _wait(pid):
    deadline = time.monotonic() + CHILD_TIMEOUT
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.005)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    pytest.fail("forked child hung (a lock held across fork?)")


def _fork():
    # Forking with other threads alive is exactly what is under test here.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        return os.fork()


def _objects():
    """One in-use object of every stateful class that is built."""
    objects = {}
    if hasattr(native, "CircuitBreaker"):
        objects["breaker"] = native.CircuitBreaker(provider="fork")
    if hasattr(native, "TokenBucket"):
        objects["bucket"] = native.TokenBucket(max_calls=10**9, time_window_secs=1.0)
    if hasattr(native, "KeyPool"):
        pool = native.KeyPool("random")
        for key in KEYS:
            pool.add_key(key)
        objects["pool"] = pool
    if hasattr(native, "ThompsonRouter"):
        router = native.ThompsonRouter()
        router.load_defaults()
        objects["router"] = router
    if hasattr(native, "RetryPolicy"):
        objects["retry"] = native.RetryPolicy(5, 2**52, 2**52, 1.0)
    return objects


def _use(objects, rng):
    """A round of ordinary use of every object; raises if anything is off."""
    if "breaker" in objects:
        breaker = objects["breaker"]
        breaker.record_failure()
        breaker.record_success()
        assert breaker.state in ("closed", "open", "half_open")
    if "bucket" in objects:
        assert objects["bucket"].try_acquire(rng.randrange(3)) is True
    if "pool" in objects:
        pool = objects["pool"]
        key = pool.select_key()
        pool.record_success(key, 10.0)
        assert len(pool.list_keys()) == len(KEYS)
    if "router" in objects:
        router = objects["router"]
        router.record_outcome(router.select().provider_id, rng.random())
        assert len(router.rank_among()) == router.provider_count
    if "retry" in objects:
        objects["retry"].delay_ms(rng.randrange(10))


def _draws(objects, count):
    """Values that come straight from the calling thread's generator."""
    if "retry" in objects:
        return [objects["retry"].delay_ms(0) for _ in range(count)]  # 53 random bits each
    return [objects["router"].select().score for _ in range(count)]


def _skip_without_draws(objects):
    if "retry" not in objects and "router" not in objects:
        pytest.skip("no class that draws random numbers is built")


def _in_child(body, pipe):
    """Run body in the forked child and leave with its verdict; never returns."""
    code = 1
    try:
        result = body()
        os.write(pipe, json.dumps(result).encode())
        code = 0
    except BaseException:  # noqa: BLE001 - the exit code carries the verdict
        import traceback

        traceback.print_exc()
    finally:
        os._exit(code)


def _read_all(fd):
    chunks = []
    while chunk := os.read(fd, 65536):
        chunks.append(chunk)
    os.close(fd)
    return json.loads(b"".join(chunks) or b"null")


def _fork_and_compare(objects, rng):
    """Fork now; both sides use the objects and draw; streams must differ."""
    read_end, write_end = os.pipe()
    pid = _fork()
    if pid == 0:
        os.close(read_end)

        def child():
            for _ in range(20):
                _use(objects, random.Random(os.getpid()))
            return _draws(objects, 64)

        _in_child(child, write_end)
    os.close(write_end)
    mine = _draws(objects, 64)
    theirs = _read_all(read_end)
    assert _wait(pid) == 0
    assert len(theirs) == 64
    assert not set(mine) & set(theirs), "child replayed the parent's random stream"
    _use(objects, rng)


def test_fork_while_threads_use_the_objects():
    objects = _objects()
    _skip_without_draws(objects)
    stop = threading.Event()
    errors = []

    def hammer(index):
        rng = random.Random(index)
        try:
            while not stop.is_set():
                _use(objects, rng)
        except BaseException as error:  # noqa: BLE001 - re-raised below
            errors.append(error)

    threads = [threading.Thread(target=hammer, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    try:
        rng = random.Random(99)
        for _ in range(8):
            time.sleep(0.005)
            _fork_and_compare(objects, rng)
    finally:
        stop.set()
        for thread in threads:
            thread.join()
    if errors:
        raise errors[0]


class ForkingNumber:
    """An argument that forks while the call that converts it is in progress."""

    def __init__(self, value, child_body):
        self.value = value
        self.child_body = child_body
        self.pipe = None
        self.pid = None

    def _fork_here(self):
        read_end, write_end = os.pipe()
        pid = _fork()
        if pid == 0:
            os.close(read_end)
            _in_child(self.child_body, write_end)
        os.close(write_end)
        self.pid, self.pipe = pid, read_end

    def __index__(self):
        self._fork_here()
        return self.value

    def __float__(self):
        self._fork_here()
        return float(self.value)


# (class, how to build one, call taking the forking argument)
MID_CALL = [
    ("TokenBucket", lambda: native.TokenBucket(max_calls=100, time_window_secs=1e9),
     lambda bucket, number: bucket.try_acquire(number)),
    ("KeyPool", lambda: _objects()["pool"],
     lambda pool, number: pool.record_success(KEYS[0], number)),
    ("ThompsonRouter", lambda: _objects()["router"],
     lambda router, number: router.record_outcome("groq", number)),
    ("RetryPolicy", lambda: native.RetryPolicy(5, 2**52, 2**52, 1.0),
     lambda policy, number: policy.delay_ms(number)),
]


@pytest.mark.parametrize("name, build, call", MID_CALL, ids=[m[0] for m in MID_CALL])
def test_fork_in_the_middle_of_a_call(name, build, call):
    if not hasattr(native, name):
        pytest.skip(f"{name} is not built")
    subject = build()
    objects = {"subject": subject, **_objects()}
    _skip_without_draws(objects)

    def child():
        # Runs while the interrupted call is still converting its argument:
        # the child uses the same object and the others, then exits.
        for _ in range(20):
            call(subject, 1)
            _use(objects, random.Random(1))
        return _draws(objects, 64)

    number = ForkingNumber(1, child)
    call(subject, number)
    theirs = _read_all(number.pipe)
    mine = _draws(objects, 64)
    assert _wait(number.pid) == 0
    assert not set(mine) & set(theirs)
    for _ in range(20):
        call(subject, 1)
