"""The module frame: publication, exception classes, class conventions."""

import importlib
import sys

import pytest

EXPECTED_ALL = [
    "ProxyError", "CircuitOpenError", "RateLimitedError", "NoAvailableKeysError",
    "NoProvidersError", "ProviderNotFoundError", "InvalidParameterError", "SamplingError",
    "ThompsonRouter", "RouterConfig", "ProviderProfile", "RoutingDecision",
    "CircuitBreaker", "CircuitBreakerConfig", "TokenBucket", "RateLimitConfig",
    "KeyPool", "KeySummary", "RetryPolicy",
]

EXCEPTION_NAMES = EXPECTED_ALL[1:8]


def test_all_lists_published_names_in_order(native):
    assert native.__all__ == EXPECTED_ALL
    assert native.__doc__ == "Native extension module: `velmorquist_proxy._native`"
    for name in native.__all__:
        assert getattr(native, name) is not None


def test_reimport_returns_the_same_module(native):
    del sys.modules["velmorquist_proxy._native"]
    again = importlib.import_module("velmorquist_proxy._native")
    assert again is native
    assert again.__all__.count("ProxyError") == 1


def test_second_interpreter_is_refused(native, tmp_path):
    _testcapi = pytest.importorskip("_testcapi")
    report = tmp_path / "outcome.txt"
    script = (
        "import sys\n"
        f"sys.path[:0] = {sys.path!r}\n"
        "try:\n"
        "    import velmorquist_proxy._native\n"
        "    outcome = 'imported'\n"
        "except ImportError as error:\n"
        "    outcome = 'ImportError: ' + str(error)\n"
        f"with open({str(report)!r}, 'w') as out:\n"
        "    out.write(outcome)\n"
    )
    assert _testcapi.run_in_subinterp(script) == 0
    outcome = report.read_text()
    assert outcome.startswith("ImportError: ")
    assert "does not support sub-interpreters" in outcome


def test_base_exception_is_published_as_proxy_error(native):
    base = native.ProxyError
    assert base.__name__ == "ProxyBaseError"
    assert not hasattr(native, "ProxyBaseError")
    assert base.__bases__ == (Exception,)
    assert base.__module__ == "velmorquist_proxy"
    assert base.__doc__ is None


@pytest.mark.parametrize("name", EXCEPTION_NAMES)
def test_derived_exceptions(native, name):
    cls = getattr(native, name)
    assert cls.__name__ == name
    assert cls.__module__ == "velmorquist_proxy"
    assert cls.__bases__ == (native.ProxyError,)
    assert cls.__doc__ is None

    class Custom(cls):  # exception classes accept subclasses
        pass

    assert issubclass(Custom, native.ProxyError)


def test_proxy_error_does_not_catch_argument_errors(native):
    with pytest.raises(TypeError):
        try:
            native.CircuitBreakerConfig()
        except native.ProxyError:
            pytest.fail("argument errors are not ProxyErrors")


def test_core_errors_carry_only_their_message(native):
    breaker = native.CircuitBreaker(native.CircuitBreakerConfig("p", 1))
    breaker.record_failure()
    with pytest.raises(native.CircuitOpenError) as raised:
        breaker.allow_request()
    assert raised.value.args == ("circuit open for provider `p`: tripped at 1 failures",)
    assert str(raised.value) == raised.value.args[0]
    assert isinstance(raised.value, native.ProxyError)


CLASSES = [name for name in EXPECTED_ALL[8:]]


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final_builtins_heap_types(native, name):
    cls = getattr(native, name)
    assert cls.__module__ == "builtins"
    assert cls.__name__ == name
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    assert cls.__eq__ is object.__eq__
    assert cls.__hash__ is object.__hash__
    assert cls.__str__ is object.__str__


def test_internal_fault_class_is_a_base_exception_not_published(native):
    # Reached only through broken invariants; check the class shape through a
    # fresh subprocess-free route: it is never an attribute of the module.
    assert not any(
        isinstance(value, type) and issubclass(value, BaseException)
        and not issubclass(value, Exception)
        for value in vars(native).values()
    )
