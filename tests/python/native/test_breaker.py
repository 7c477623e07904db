"""CircuitBreakerConfig and CircuitBreaker from Python, with the shared binding rules."""

import math
import threading

import pytest
from hypothesis import given, strategies as st

VALID_TYPES = '"rate_limit", "auth", "timeout", "connection", "service_error", "unknown"'


# ---- CircuitBreakerConfig -----------------------------------------------------------

def test_config_defaults_and_properties(native):
    config = native.CircuitBreakerConfig("openai")
    assert (config.provider, config.failure_threshold, config.recovery_timeout_secs,
            config.success_threshold) == ("openai", 5, 60.0, 2)
    assert type(config.recovery_timeout_secs) is float
    assert repr(config) == "CircuitBreakerConfig(provider='openai', threshold=5, recovery=60s)"
    assert str(config) == repr(config)


def test_config_class_docs(native):
    cls = native.CircuitBreakerConfig
    assert cls.__text_signature__ == (
        "(provider, failure_threshold=5, recovery_timeout_secs=60.0, success_threshold=2)")
    assert cls.__doc__ == "Python-visible circuit breaker config."
    for name in ("provider", "failure_threshold", "recovery_timeout_secs", "success_threshold"):
        assert getattr(cls, name).__doc__ == ""


@pytest.mark.parametrize("name", ["provider", "failure_threshold", "recovery_timeout_secs",
                                  "success_threshold"])
def test_config_properties_are_read_only(native, name):
    config = native.CircuitBreakerConfig("p", 7)
    before = getattr(config, name)
    with pytest.raises(AttributeError):
        setattr(config, name, before)
    with pytest.raises(AttributeError):
        delattr(config, name)
    assert getattr(config, name) == before


@pytest.mark.parametrize("seconds, shown", [
    (2.5, "2"), (0.5, "0"), (1.5, "2"), (59.7, "60"), (-0.4, "-0"), (60.0, "60"),
    (float("nan"), "NaN"), (float("inf"), "inf"), (float("-inf"), "-inf"), (1e21, "1" + "0" * 21),
])
def test_config_repr_rounds_recovery_half_to_even(native, seconds, shown):
    config = native.CircuitBreakerConfig("p", recovery_timeout_secs=seconds)
    assert repr(config) == f"CircuitBreakerConfig(provider='p', threshold=5, recovery={shown}s)"


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_config_repr_matches_python_rounding(seconds):
    import velmorquist_proxy._native as native

    text = repr(native.CircuitBreakerConfig("p", recovery_timeout_secs=seconds))
    assert text.endswith(f"recovery={seconds:.0f}s)")


def test_config_provider_inserted_unescaped(native):
    config = native.CircuitBreakerConfig("it's \"x\"\n")
    assert repr(config) == "CircuitBreakerConfig(provider='it's \"x\"\n', threshold=5, recovery=60s)"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class StrSub(str):
    pass


def test_config_accepts_index_objects_and_str_subclasses(native):
    config = native.CircuitBreakerConfig(StrSub("p"), Index(7), 3, success_threshold=True)
    assert (config.provider, config.failure_threshold, config.recovery_timeout_secs,
            config.success_threshold) == ("p", 7, 3.0, 1)
    assert type(config.provider) is str
    assert native.CircuitBreakerConfig("p", 4294967295).failure_threshold == 4294967295


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), {}, TypeError,
     "CircuitBreakerConfig.__new__() missing 1 required positional argument: 'provider'"),
    (("p", 1, 2.0, 3, 4), {}, TypeError,
     "CircuitBreakerConfig.__new__() takes from 1 to 4 positional arguments but 5 were given"),
    (("p",), {"provider": "q"}, TypeError,
     "CircuitBreakerConfig.__new__() got multiple values for argument 'provider'"),
    (("p",), {"threshold": 1}, TypeError,
     "CircuitBreakerConfig.__new__() got an unexpected keyword argument 'threshold'"),
    ((5,), {}, TypeError, "argument 'provider': 'int' object cannot be converted to 'PyString'"),
    ((None,), {}, TypeError,
     "argument 'provider': 'NoneType' object cannot be converted to 'PyString'"),
    (("p", -1), {}, OverflowError, "out of range integral type conversion attempted"),
    (("p", 4294967296), {}, OverflowError, "out of range integral type conversion attempted"),
    (("p", 2.5), {}, TypeError,
     "argument 'failure_threshold': 'float' object cannot be interpreted as an integer"),
    (("p", None), {}, TypeError,
     "argument 'failure_threshold': 'NoneType' object cannot be interpreted as an integer"),
    (("p", 5, "x"), {}, TypeError, "argument 'recovery_timeout_secs': must be real number, not str"),
    (("p", 5, 1.0, -2), {}, OverflowError, "out of range integral type conversion attempted"),
    (("p",), {"success_threshold": 1 << 70}, OverflowError,
     "Python int too large to convert to C long"),
])
def test_config_argument_errors(native, args, kwargs, error, message):
    with pytest.raises(error) as raised:
        native.CircuitBreakerConfig(*args, **kwargs)
    assert type(raised.value) is error
    assert str(raised.value) == message


def test_first_failing_argument_is_reported(native):
    with pytest.raises(TypeError, match="^argument 'provider'"):
        native.CircuitBreakerConfig(1, -1, "x")


def test_index_error_of_another_class_passes_through_unchanged(native):
    class Broken:
        def __index__(self):
            raise KeyError("boom")

    with pytest.raises(KeyError):
        native.CircuitBreakerConfig("p", Broken())


def test_prefixed_type_error_keeps_the_original_cause(native):
    cause = ValueError("root")

    class Chained:
        def __float__(self):
            raise TypeError("inner") from cause

    with pytest.raises(TypeError) as raised:
        native.CircuitBreakerConfig("p", 1, Chained())
    assert str(raised.value) == "argument 'recovery_timeout_secs': inner"
    assert raised.value.__cause__ is cause


def test_lone_surrogate_raises_unicode_encode_error(native):
    with pytest.raises(UnicodeEncodeError):
        native.CircuitBreakerConfig("\ud800")


# ---- CircuitBreaker ------------------------------------------------------------------

def test_breaker_class_docs(native):
    cls = native.CircuitBreaker
    assert cls.__text_signature__ == "(config=None, provider=None)"
    assert cls.__doc__ == "Circuit breaker for LLM provider resilience."
    assert cls.state.__doc__ == 'Current state as a string: "closed", "open", or "half_open".'
    docs = {
        "allow_request": ("($self)", "Check if the circuit allows a request through."),
        "record_success": ("($self)", "Record a successful call."),
        "record_failure": ('($self, failure_type="unknown")',
                           "Record a failed call with a failure type string.\n\n"
                           f"Valid types: {VALID_TYPES}."),
        "reset": ("($self)", "Reset the circuit breaker to closed state."),
        "classify_error": ("(error_msg)", "Classify an error message into a failure type string."),
        "provider_defaults": ("(provider)",
                              "Get provider-specific default config, or None if unknown."),
    }
    for name, (signature, doc) in docs.items():
        method = getattr(cls, name)
        assert method.__text_signature__ == signature, name
        assert method.__doc__ == doc, name
    members = [name for name in vars(cls) if not name.startswith("__")]
    assert members == ["allow_request", "record_success", "record_failure", "reset",
                       "classify_error", "provider_defaults", "state"]


def test_new_breaker_is_closed_and_allows(native):
    breaker = native.CircuitBreaker()
    assert breaker.state == "closed"
    assert breaker.allow_request() is None
    assert repr(breaker) == "CircuitBreaker(state='closed')"


def test_breaker_trips_on_the_fifth_failure_by_default(native):
    breaker = native.CircuitBreaker()
    for _ in range(4):
        assert breaker.record_failure() is None
    assert breaker.state == "closed"
    breaker.record_failure("timeout")
    assert breaker.state == "open"
    assert repr(breaker) == "CircuitBreaker(state='open')"
    with pytest.raises(native.CircuitOpenError,
                       match="^circuit open for provider `default`: tripped at 5 failures$"):
        breaker.allow_request()


def test_a_success_between_failures_restarts_the_run(native):
    breaker = native.CircuitBreaker()
    for outcome in ["f", "f", "s", "f", "f", "f", "f"]:
        breaker.record_failure() if outcome == "f" else breaker.record_success()
    assert breaker.state == "closed"


def test_zero_recovery_half_opens_then_closes(native):
    breaker = native.CircuitBreaker(native.CircuitBreakerConfig("p", 2, 0.0, 2))
    breaker.record_failure(failure_type="auth")
    breaker.record_failure("anything at all")
    assert breaker.state == "half_open"
    for _ in range(5):
        assert breaker.allow_request() is None
    breaker.record_success()
    assert breaker.state == "half_open"
    breaker.record_success()
    assert breaker.state == "closed"


def test_trial_failure_reopens_with_the_tripping_count(native):
    breaker = native.CircuitBreaker(native.CircuitBreakerConfig("p", 3, -1.0, 2))
    for _ in range(3):
        breaker.record_failure()
    assert breaker.state == "half_open"
    breaker.record_failure()
    # A negative recovery time half-opens again on the next check; the raw
    # transition is visible through a breaker that never recovers.
    never = native.CircuitBreaker(native.CircuitBreakerConfig("q", 3, math.nan, 2))
    for _ in range(7):
        never.record_failure()
    with pytest.raises(native.CircuitOpenError, match="tripped at 3 failures"):
        never.allow_request()
    assert never.state == "open"
    never.reset()
    assert never.state == "closed"


@pytest.mark.parametrize("config_arg, provider_arg, expected", [
    (None, None, "default"),
    (None, "openai", "openai"),
    ("cfg", "ignored", "cfg"),
])
def test_breaker_provider_choice(native, config_arg, provider_arg, expected):
    config = native.CircuitBreakerConfig(config_arg, 1) if config_arg else None
    breaker = native.CircuitBreaker(config, provider_arg)
    breaker.record_failure()
    if config is None:  # defaults: 5 failures, not the per-provider table
        for _ in range(4):
            assert breaker.state == "closed"
            breaker.record_failure()
    with pytest.raises(native.CircuitOpenError, match=f"provider `{expected}`"):
        breaker.allow_request()


@pytest.mark.parametrize("kwargs, message", [
    ({"config": {}}, "argument 'config': 'dict' object cannot be converted to 'CircuitBreakerConfig'"),
    ({"config": "openai"},
     "argument 'config': 'str' object cannot be converted to 'CircuitBreakerConfig'"),
    ({"provider": 3}, "argument 'provider': 'int' object cannot be converted to 'PyString'"),
    ({"config": {}, "provider": 3},
     "argument 'config': 'dict' object cannot be converted to 'CircuitBreakerConfig'"),
])
def test_breaker_constructor_errors(native, kwargs, message):
    with pytest.raises(TypeError) as raised:
        native.CircuitBreaker(**kwargs)
    assert str(raised.value) == message


def test_breaker_with_config_still_checks_provider_type(native):
    with pytest.raises(TypeError, match="^argument 'provider'"):
        native.CircuitBreaker(native.CircuitBreakerConfig("p"), 5)


def test_breaker_copies_its_config(native):
    config = native.CircuitBreakerConfig("p", 1)
    breaker = native.CircuitBreaker(config)
    del config
    breaker.record_failure()
    assert breaker.state == "open"


@pytest.mark.parametrize("method", ["allow_request", "record_success", "reset"])
def test_no_argument_methods_refuse_arguments(native, method):
    with pytest.raises(TypeError, match=rf"^CircuitBreaker.{method}\(\) takes no arguments \(1 given\)$"):
        getattr(native.CircuitBreaker(), method)(1)


@pytest.mark.parametrize("args, kwargs, message", [
    ((None,), {}, "argument 'failure_type': 'NoneType' object cannot be converted to 'PyString'"),
    ((b"x",), {}, "argument 'failure_type': 'bytes' object cannot be converted to 'PyString'"),
    (("a", "b"), {},
     "CircuitBreaker.record_failure() takes from 0 to 1 positional arguments but 2 were given"),
    ((), {"kind": "x"}, "CircuitBreaker.record_failure() got an unexpected keyword argument 'kind'"),
    (("a",), {"failure_type": "b"},
     "CircuitBreaker.record_failure() got multiple values for argument 'failure_type'"),
])
def test_record_failure_argument_errors_leave_breaker_unchanged(native, args, kwargs, message):
    breaker = native.CircuitBreaker(native.CircuitBreakerConfig("p", 1))
    with pytest.raises(TypeError) as raised:
        breaker.record_failure(*args, **kwargs)
    assert str(raised.value) == message
    assert breaker.state == "closed"


# ---- classify_error ---------------------------------------------------------------------

@pytest.mark.parametrize("message, expected", [
    ("", "unknown"), ("Status 429: Too Many Requests", "rate_limit"),
    ("Rate Limit exceeded", "rate_limit"), ("Invalid API key", "auth"), ("403 Forbidden", "auth"),
    ("OAuth token expired", "auth"), ("Request timed out", "timeout"),
    ("deadline exceeded", "timeout"), ("Gateway Timeout", "timeout"), ("504", "unknown"),
    ("DNS lookup failed", "connection"), ("Connection reset by peer", "connection"),
    ("ECONNREFUSED", "connection"), ("preset not found", "connection"),
    ("502 Bad Gateway", "service_error"), ("Service overloaded", "service_error"),
    ("Internal Error", "service_error"), ("Service Unavailable", "unknown"),
    ("request id 14290", "rate_limit"), ("connection timed out", "timeout"),
    ("429 internal error", "rate_limit"), ("authentication timeout", "auth"),
    ("API \u212aEY", "auth"), ("RATE L\u0130MIT", "unknown"), ("ÜBER 429", "rate_limit"),
    ("\U0001f600 overloaded", "service_error"),
])
def test_classify_error(native, message, expected):
    assert native.CircuitBreaker.classify_error(message) == expected
    assert native.CircuitBreaker().classify_error(error_msg=StrSub(message)) == expected


def reference_classify(message):
    lowered = "".join("k" if ch == "\u212a" else (ch.lower() if ch.isascii() else ch)
                      for ch in message)
    rows = [
        (("rate limit", "429", "too many"), "rate_limit"),
        (("auth", "401", "api key", "unauthorized", "forbidden", "403"), "auth"),
        (("timeout", "timed out", "deadline"), "timeout"),
        (("connection", "network", "dns", "refused", "reset"), "connection"),
        (("500", "502", "503", "server error", "internal error", "overloaded"), "service_error"),
    ]
    for needles, result in rows:
        if any(needle in lowered for needle in needles):
            return result
    return "unknown"


def full_lower_reference(message):
    """Python's own full Unicode lower-casing, which the classifier must agree with."""
    return reference_classify(message.lower())


pieces = st.sampled_from([
    "RATE", " LIMIT", "42", "9", "TOO", " many", "AUTH", "40", "1", "3", "API", " KEY", "TIME",
    "OUT", "timed", " out", "DEADLINE", "CONNECTION", "NETWORK", "DNS", "REFUSED", "RESET",
    "50", "0", "2", "SERVER", " ERROR", "INTERNAL", "OVERLOADED", "\u212a", "\u0130", "Σ",
    "ß", "é", "\u0345", "x",
])


@given(st.lists(pieces | st.text(max_size=3), max_size=12).map("".join))
def test_classify_error_agrees_with_full_lower_casing(message):
    import velmorquist_proxy._native as native

    assert native.CircuitBreaker.classify_error(message) == full_lower_reference(message)


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((), {}, TypeError,
     "CircuitBreaker.classify_error() missing 1 required positional argument: 'error_msg'"),
    ((429,), {}, TypeError, "argument 'error_msg': 'int' object cannot be converted to 'PyString'"),
    (("a", "b"), {}, TypeError,
     "CircuitBreaker.classify_error() takes 1 positional arguments but 2 were given"),
    (("\udc80",), {}, UnicodeEncodeError, None),
])
def test_classify_error_argument_errors(native, args, kwargs, error, message):
    with pytest.raises(error) as raised:
        native.CircuitBreaker.classify_error(*args, **kwargs)
    if message is not None:
        assert str(raised.value) == message


# ---- provider_defaults ------------------------------------------------------------------

@pytest.mark.parametrize("provider, values", [
    ("openai", (5, 60.0, 2)), ("anthropic", (5, 60.0, 2)), ("xai", (5, 60.0, 2)),
    ("groq", (3, 30.0, 1)), ("cerebras", (3, 30.0, 1)), ("together", (5, 45.0, 2)),
    ("azure_openai", (5, 45.0, 2)), ("bedrock", (5, 45.0, 2)), ("ollama", (10, 15.0, 1)),
])
def test_provider_defaults(native, provider, values):
    config = native.CircuitBreaker.provider_defaults(provider)
    assert isinstance(config, native.CircuitBreakerConfig)
    assert (config.provider, config.failure_threshold, config.recovery_timeout_secs,
            config.success_threshold) == (provider, *values)


def test_provider_defaults_repr_and_distinct_objects(native):
    first = native.CircuitBreaker.provider_defaults(provider="groq")
    assert repr(first) == "CircuitBreakerConfig(provider='groq', threshold=3, recovery=30s)"
    second = native.CircuitBreaker().provider_defaults("groq")
    assert first is not second


@pytest.mark.parametrize("provider", ["Groq", "", "default", "openai ", "azure-openai", "OpenAI"])
def test_provider_defaults_unknown(native, provider):
    assert native.CircuitBreaker.provider_defaults(provider) is None


def test_none_defaults_passed_on_give_the_default_breaker(native):
    breaker = native.CircuitBreaker(native.CircuitBreaker.provider_defaults("nope"))
    for _ in range(5):
        breaker.record_failure()
    with pytest.raises(native.CircuitOpenError, match="`default`: tripped at 5"):
        breaker.allow_request()


@pytest.mark.parametrize("args, message", [
    ((), "CircuitBreaker.provider_defaults() missing 1 required positional argument: 'provider'"),
    ((None,), "argument 'provider': 'NoneType' object cannot be converted to 'PyString'"),
    ((b"openai",), "argument 'provider': 'bytes' object cannot be converted to 'PyString'"),
])
def test_provider_defaults_argument_errors(native, args, message):
    with pytest.raises(TypeError) as raised:
        native.CircuitBreaker.provider_defaults(*args)
    assert str(raised.value) == message


# ---- threads --------------------------------------------------------------------------------

def test_threads_hammering_one_breaker(native):
    breaker = native.CircuitBreaker(native.CircuitBreakerConfig("p", 3, 0.0, 2))
    errors = []
    start = threading.Barrier(6)

    def worker(seed):
        try:
            start.wait()
            for i in range(3000):
                if (i + seed) % 4 == 0:
                    breaker.record_failure()
                else:
                    breaker.record_success()
                try:
                    breaker.allow_request()
                except native.CircuitOpenError as refused:
                    assert "tripped at" in str(refused)
                assert breaker.state in ("closed", "open", "half_open")
        except BaseException as error:  # surfaced in the main thread
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(6)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    breaker.reset()
    assert breaker.state == "closed"
