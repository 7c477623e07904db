import math
import os
import re
import threading
import time
from decimal import Decimal

import pytest
from hypothesis import given
from hypothesis import strategies as st

U64_MAX = 2**64 - 1

PRESETS = {
    "anthropic": (400, 500),
    "azure_openai": (600, 700),
    "bedrock": (300, 400),
    "cerebras": (30, 40),
    "cohere": (100, 120),
    "deepseek": (60, 80),
    "fireworks": (600, 700),
    "google": (360, 400),
    "groq": (30, 40),
    "mistral": (120, 150),
    "ollama": (1000, 1200),
    "openai": (500, 600),
    "openrouter": (200, 250),
    "together": (600, 700),
    "xai": (60, 80),
}


class Index:
    def __init__(self, value, on_index=None):
        self.value = value
        self.on_index = on_index

    def __index__(self):
        if self.on_index is not None:
            self.on_index()
        return self.value


# ---- RateLimitConfig ---------------------------------------------------------------


@pytest.mark.parametrize(
    "args, expected",
    [
        ((60, 60.0), "RateLimitConfig(max_calls=60, window=60s, burst=None)"),
        ((500, 60.0, 600), "RateLimitConfig(max_calls=500, window=60s, burst=Some(600))"),
        ((1, 2.5), "RateLimitConfig(max_calls=1, window=2s, burst=None)"),
        ((1, 3.5), "RateLimitConfig(max_calls=1, window=4s, burst=None)"),
        ((0, 0.0, 0), "RateLimitConfig(max_calls=0, window=0s, burst=Some(0))"),
        ((1, math.nan), "RateLimitConfig(max_calls=1, window=NaNs, burst=None)"),
        ((1, math.inf), "RateLimitConfig(max_calls=1, window=infs, burst=None)"),
        ((1, -math.inf), "RateLimitConfig(max_calls=1, window=-infs, burst=None)"),
        (
            (U64_MAX, 1.0, U64_MAX),
            f"RateLimitConfig(max_calls={U64_MAX}, window=1s, burst=Some({U64_MAX}))",
        ),
    ],
)
def test_config_repr(native, args, expected):
    config = native.RateLimitConfig(*args)
    assert repr(config) == expected
    assert str(config) == expected


@given(
    st.integers(0, U64_MAX),
    st.floats(allow_nan=False, allow_infinity=False),
    st.none() | st.integers(0, U64_MAX),
)
def test_config_stores_values_unchanged(native, max_calls, window, burst):
    config = native.RateLimitConfig(max_calls, window, burst)
    assert (config.max_calls, config.time_window_secs, config.burst_size) == (
        max_calls,
        window,
        burst,
    )
    burst_text = "None" if burst is None else f"Some({burst})"
    # Python's own fixed formatting is correctly rounded with ties to even.
    assert repr(config) == (
        f"RateLimitConfig(max_calls={max_calls}, window={window:.0f}s, burst={burst_text})"
    )


def test_config_accepts_keywords_index_objects_and_float_conversions(native):
    config = native.RateLimitConfig(
        burst_size=Index(7), time_window_secs=3, max_calls=Index(5)
    )
    assert (config.max_calls, config.time_window_secs, config.burst_size) == (5, 3.0, 7)
    assert type(config.time_window_secs) is float
    assert native.RateLimitConfig(1, 1.0, None).burst_size is None


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((-1, 1.0), OverflowError, None),
        ((2**64, 1.0), OverflowError, None),
        ((1, 1.0, -1), OverflowError, None),
        ((1, 1.0, 2**64), OverflowError, None),
        ((1.5, 1.0), TypeError, "argument 'max_calls': 'float' object cannot be interpreted"),
        (("1", 1.0), TypeError, "argument 'max_calls': "),
        ((1, "1.0"), TypeError, "argument 'time_window_secs': must be real number, not str"),
        ((1, 1.0, 2.0), TypeError, "argument 'burst_size': "),
    ],
)
def test_config_argument_errors(native, args, error, message):
    with pytest.raises(error) as raised:
        native.RateLimitConfig(*args)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value).startswith(message)


def test_class_docs_and_signatures(native):
    config, bucket = native.RateLimitConfig, native.TokenBucket
    assert config.__doc__ == "Python-visible rate limit config."
    assert config.__text_signature__ == "(max_calls, time_window_secs, burst_size=None)"
    assert bucket.__doc__ == "Token bucket rate limiter."
    assert bucket.__text_signature__ == "(config=None, max_calls=None, time_window_secs=None)"
    assert bucket.try_acquire.__text_signature__ == "($self, n=1)"
    assert bucket.try_acquire.__doc__ == (
        "Try to acquire `n` tokens. Returns True on success, raises RateLimitedError on failure."
    )
    assert bucket.available_tokens.__doc__ == "Number of tokens currently available."
    assert bucket.provider_preset.__text_signature__ == "(provider)"
    assert bucket.provider_preset.__doc__ == "Get a provider preset config, or None if unknown."
    assert config.max_calls.__doc__ == ""


# ---- TokenBucket construction ------------------------------------------------------------


def test_bucket_from_config_starts_full(native):
    bucket = native.TokenBucket(native.RateLimitConfig(60, 60.0))
    assert bucket.available_tokens == 60.0
    assert repr(bucket) == "TokenBucket(available=60.0)"


def test_config_wins_over_explicit_values(native):
    config = native.RateLimitConfig(2, 60.0, 3)
    bucket = native.TokenBucket(config, 100, 1.0)
    assert bucket.available_tokens == 3.0
    assert bucket.try_acquire(3) is True
    with pytest.raises(native.RateLimitedError):
        bucket.try_acquire(1)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((None,), {}),
        ((None, 5), {}),
        ((), {"max_calls": 5}),
        ((), {"time_window_secs": 1.0}),
        ((None, None, 1.0), {}),
        ((), {"config": None, "max_calls": 5, "time_window_secs": None}),
    ],
)
def test_bucket_needs_config_or_both_values(native, args, kwargs):
    with pytest.raises(ValueError) as raised:
        native.TokenBucket(*args, **kwargs)
    assert type(raised.value) is ValueError
    assert str(raised.value) == "provide either config or both max_calls and time_window_secs"


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"max_calls": -1, "time_window_secs": 1.0}, OverflowError, None),
        ({"max_calls": -1}, OverflowError, None),  # conversion comes before the check
        (
            {"max_calls": 1, "time_window_secs": "x"},
            TypeError,
            "argument 'time_window_secs': must be real number, not str",
        ),
        (
            {"config": {"max_calls": 1}},
            TypeError,
            "argument 'config': 'dict' object cannot be converted to 'RateLimitConfig'",
        ),
        (
            {"config": "cfg", "max_calls": -1},
            TypeError,
            "argument 'config': 'str' object cannot be converted to 'RateLimitConfig'",
        ),
    ],
)
def test_bucket_argument_errors(native, kwargs, error, message):
    with pytest.raises(error) as raised:
        native.TokenBucket(**kwargs)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message


def test_config_given_still_converts_the_ignored_values(native):
    config = native.RateLimitConfig(1, 1.0)
    with pytest.raises(OverflowError):
        native.TokenBucket(config, -1)
    with pytest.raises(TypeError, match="^argument 'time_window_secs': "):
        native.TokenBucket(config, 1, "x")


# ---- try_acquire ---------------------------------------------------------------------------


def test_try_acquire_defaults_to_one_token(native):
    bucket = native.TokenBucket(max_calls=3, time_window_secs=3600.0)
    assert bucket.try_acquire() is True
    assert bucket.try_acquire(n=1) is True
    assert bucket.try_acquire(Index(1)) is True
    assert 0.0 <= bucket.available_tokens < 1.0


def test_burst_of_twenty_then_refused_with_fractional_level(native):
    bucket = native.TokenBucket(native.RateLimitConfig(10, 1.0, 20))
    assert bucket.try_acquire(20) is True
    with pytest.raises(native.RateLimitedError) as raised:
        bucket.try_acquire(1)
    error = raised.value
    assert isinstance(error, native.ProxyError)
    assert len(error.args) == 1
    match = re.fullmatch(r"rate limited: (\d+(?:\.\d+)?) tokens available, 1 requested", str(error))
    assert match is not None, str(error)
    assert 0.0 <= float(match.group(1)) < 1.0


@pytest.mark.parametrize(
    "capacity, n",
    [(0, 1), (5, 6), (5, U64_MAX), (2**53, 2**53 + 1)],
)
def test_request_above_capacity_is_refused(native, capacity, n):
    bucket = native.TokenBucket(native.RateLimitConfig(capacity, 0.0, capacity))
    with pytest.raises(native.RateLimitedError) as raised:
        bucket.try_acquire(n)
    assert str(raised.value).endswith(f" tokens available, {n} requested")


def _fewest_digits(value):
    """repr's shortest round-trip digits, written without an exponent."""
    return format(Decimal(repr(value)).normalize(), "f")


def _refused_level(native, bucket):
    with pytest.raises(native.RateLimitedError) as raised:
        bucket.try_acquire(U64_MAX)
    match = re.fullmatch(rf"rate limited: (\S+) tokens available, {U64_MAX} requested", str(raised.value))
    assert match is not None, str(raised.value)
    return match.group(1)


# Whole levels of every width up to 2^64, where the exact integer is not the answer.
@given(st.integers(0, 63).flatmap(lambda bits: st.integers(2**bits - 1, 2 ** (bits + 1) - 2)))
def test_refusal_writes_whole_level_in_fewest_digits(native, capacity):
    bucket = native.TokenBucket(native.RateLimitConfig(capacity, math.inf, capacity))
    assert _refused_level(native, bucket) == _fewest_digits(float(capacity))


# A drained bucket refills by elapsed time / window: tiny windows give
# fractional levels, huge ones levels down to the subnormals.
@given(exponent=st.integers(-3, 308), mantissa=st.floats(1.0, 1.7))
def test_refusal_writes_fractional_level_in_fewest_digits(native, exponent, mantissa):
    bucket = native.TokenBucket(native.RateLimitConfig(1, mantissa * 10.0**exponent, 1))
    bucket.try_acquire(1)
    text = _refused_level(native, bucket)
    assert text == _fewest_digits(float(text))


@pytest.mark.parametrize("capacity", [0, 1, 60])
def test_acquiring_zero_always_succeeds(native, capacity):
    bucket = native.TokenBucket(native.RateLimitConfig(0, 60.0, capacity))
    bucket.try_acquire(capacity)
    assert bucket.try_acquire(0) is True


def test_empty_bucket_reports_zero_without_fraction(native):
    bucket = native.TokenBucket(native.RateLimitConfig(0, 60.0, 2))
    bucket.try_acquire(2)
    with pytest.raises(native.RateLimitedError, match="^rate limited: 0 tokens available, 3 requested$"):
        bucket.try_acquire(3)


def test_zero_window_refills_to_capacity(native):
    bucket = native.TokenBucket(max_calls=3, time_window_secs=0.0)
    assert bucket.try_acquire(3) is True
    time.sleep(0.001)  # any elapsed time at all refills it
    assert bucket.available_tokens == 3.0
    assert repr(bucket) == "TokenBucket(available=3.0)"
    with pytest.raises(native.RateLimitedError):
        bucket.try_acquire(4)


@pytest.mark.parametrize(
    "argument, error, message",
    [
        (None, TypeError, "argument 'n': 'NoneType' object cannot be interpreted as an integer"),
        (1.0, TypeError, "argument 'n': 'float' object cannot be interpreted as an integer"),
        ("1", TypeError, "argument 'n': 'str' object cannot be interpreted as an integer"),
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
    ],
)
def test_try_acquire_argument_errors_leave_bucket_untouched(native, argument, error, message):
    bucket = native.TokenBucket(native.RateLimitConfig(0, 60.0, 5))
    with pytest.raises(error) as raised:
        bucket.try_acquire(argument)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert bucket.available_tokens == 5.0


def test_index_may_reenter_the_same_bucket(native):
    bucket = native.TokenBucket(native.RateLimitConfig(0, 60.0, 5))
    assert bucket.try_acquire(Index(2, on_index=lambda: bucket.try_acquire(1))) is True
    assert bucket.available_tokens == 2.0


def test_available_tokens_never_decreases_without_acquisitions(native):
    bucket = native.TokenBucket(max_calls=1000, time_window_secs=1.0)
    bucket.try_acquire(1000)
    readings = [bucket.available_tokens for _ in range(200)]
    assert readings == sorted(readings)
    assert all(0.0 <= r <= 1000.0 for r in readings)
    with pytest.raises(AttributeError):
        bucket.available_tokens = 5.0


def test_threads_never_take_more_than_capacity_plus_refill(native):
    # One token per second: a test that runs for a fraction of a second may get
    # at most a token or two beyond the starting hundred.
    started = time.monotonic()
    bucket = native.TokenBucket(max_calls=100, time_window_secs=100.0)
    admitted = []
    barrier = threading.Barrier(8)

    def worker():
        barrier.wait()
        count = 0
        for _ in range(200):
            try:
                bucket.try_acquire()
                count += 1
            except native.RateLimitedError:
                pass
        admitted.append(count)

    threads = [threading.Thread(target=worker) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = time.monotonic() - started
    assert len(admitted) == 8
    assert 100 <= sum(admitted) <= 100 + math.floor(elapsed * 1.0)


def test_bucket_works_in_forked_child(native):
    bucket = native.TokenBucket(native.RateLimitConfig(0, 60.0, 3))
    bucket.try_acquire(1)
    pid = os.fork()
    if pid == 0:
        ok = bucket.try_acquire(2) is True and bucket.available_tokens == 0.0
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert bucket.available_tokens == 2.0


# ---- provider_preset -----------------------------------------------------------------------


@pytest.mark.parametrize("provider", sorted(PRESETS))
def test_provider_presets(native, provider):
    max_calls, burst = PRESETS[provider]
    config = native.TokenBucket.provider_preset(provider)
    assert type(config) is native.RateLimitConfig
    assert (config.max_calls, config.time_window_secs, config.burst_size) == (
        max_calls,
        60.0,
        burst,
    )
    bucket = native.TokenBucket(config)
    assert bucket.available_tokens == float(burst)


def test_openai_preset_repr(native):
    assert repr(native.TokenBucket.provider_preset("openai")) == (
        "RateLimitConfig(max_calls=500, window=60s, burst=Some(600))"
    )


def test_preset_returns_distinct_objects(native):
    first = native.TokenBucket.provider_preset("groq")
    second = native.TokenBucket.provider_preset(provider="groq")
    assert first is not second
    for config in (first, second):
        assert (config.max_calls, config.time_window_secs, config.burst_size) == (30, 60.0, 40)


def test_preset_callable_on_instance_and_accepts_str_subclass(native):
    class Name(str):
        pass

    bucket = native.TokenBucket(max_calls=1, time_window_secs=1.0)
    assert bucket.provider_preset(Name("xai")).burst_size == 80


@pytest.mark.parametrize(
    "provider", ["OpenAI", "OPENAI", " openai", "openai ", "", "azure", "openai\x00", "groq\n"]
)
def test_preset_misses(native, provider):
    assert native.TokenBucket.provider_preset(provider) is None


@pytest.mark.parametrize(
    "argument, type_name", [(b"openai", "bytes"), (None, "NoneType"), (1, "int")]
)
def test_preset_refuses_non_str(native, argument, type_name):
    with pytest.raises(TypeError) as raised:
        native.TokenBucket.provider_preset(argument)
    assert str(raised.value) == (
        f"argument 'provider': '{type_name}' object cannot be converted to 'PyString'"
    )
