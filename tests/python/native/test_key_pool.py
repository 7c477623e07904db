"""KeyPool and KeySummary from Python."""

import sys
import threading

import pytest

STRATEGIES = ["round_robin", "least_used", "random", "weighted", "adaptive"]
EXPECTED = "expected: round_robin, least_used, random, weighted, adaptive"


def pool_with(native, *keys, strategy="round_robin"):
    pool = native.KeyPool(strategy)
    for key in keys:
        pool.add_key(key)
    return pool


# ---- construction, docs, special methods -----------------------------------------

def test_class_docs(native):
    assert native.KeyPool.__text_signature__ == '(strategy="round_robin")'
    assert native.KeyPool.__doc__ == "API key pool with 5 rotation strategies."
    assert native.KeySummary.__doc__ == "Summary of a key's state (key material is masked)."
    assert native.KeySummary.__text_signature__ is None


@pytest.mark.parametrize("name, signature, doc", [
    ("add_key", "($self, key, weight=1.0, daily_limit=None)", "Add a key to the pool."),
    ("select_key", "($self)", "Select a key using the configured strategy."),
    ("record_success", "($self, key, latency_ms)", "Record a successful request."),
    ("record_error", "($self, key)", "Record an error."),
    ("record_rate_limit", "($self, key, cooldown_secs)", "Record a rate limit hit with cooldown."),
    ("record_exhausted", "($self, key)", "Record quota exhaustion."),
    ("disable_key", "($self, key)", "Disable a key."),
    ("enable_key", "($self, key)", "Re-enable a disabled key."),
    ("reset_daily_counters", "($self)", "Reset daily counters for all keys."),
    ("has_key", "($self, key)", "Check if a key exists in the pool."),
    ("remove_key", "($self, key)", "Remove a key from the pool. Returns true if it was present."),
    ("list_keys", "($self)", "List all keys with masked key material and current metrics."),
])
def test_method_docs(native, name, signature, doc):
    method = getattr(native.KeyPool, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ == doc


def test_default_strategy_is_round_robin(native):
    pool = native.KeyPool()
    for key in "ABC":
        pool.add_key(key)
    assert [pool.select_key() for _ in range(4)] == ["A", "B", "C", "A"]


@pytest.mark.parametrize("strategy", STRATEGIES)
def test_every_strategy_accepts_its_text_and_a_str_subclass(native, strategy):
    class Text(str):
        pass

    for text in (strategy, Text(strategy)):
        pool = pool_with(native, "A", "B", strategy=text)
        assert {pool.select_key() for _ in range(20)} <= {"A", "B"}
        assert pool_with(native, "A", strategy=text).select_key() == "A"


@pytest.mark.parametrize("args, kwargs, error, message", [
    (("Round_Robin",), {}, ValueError, f"unknown strategy 'Round_Robin', {EXPECTED}"),
    (("",), {}, ValueError, f"unknown strategy '', {EXPECTED}"),
    (("ключ",), {}, ValueError, f"unknown strategy 'ключ', {EXPECTED}"),
    ((3,), {}, TypeError, "argument 'strategy': 'int' object cannot be converted to 'PyString'"),
    ((None,), {}, TypeError,
     "argument 'strategy': 'NoneType' object cannot be converted to 'PyString'"),
    (("random", 1), {}, TypeError,
     "KeyPool.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    ((), {"mode": "random"}, TypeError,
     "KeyPool.__new__() got an unexpected keyword argument 'mode'"),
    (("random",), {"strategy": "random"}, TypeError,
     "KeyPool.__new__() got multiple values for argument 'strategy'"),
])
def test_constructor_errors(native, args, kwargs, error, message):
    with pytest.raises(error) as raised:
        native.KeyPool(*args, **kwargs)
    assert type(raised.value) is error
    assert str(raised.value) == message


def test_repr_len_and_bool(native):
    pool = native.KeyPool(strategy="least_used")
    assert (repr(pool), len(pool), bool(pool)) == ("KeyPool(keys=0)", 0, False)
    pool.add_key("A")
    assert (len(pool), bool(pool)) == (1, True)
    pool.add_key("B")
    pool.add_key("A", 5.0)
    assert repr(pool) == str(pool) == "KeyPool(keys=2)"


def test_classes_cannot_be_subclassed_or_summaries_built(native):
    with pytest.raises(TypeError):
        type("Sub", (native.KeyPool,), {})
    with pytest.raises(TypeError, match="^No constructor defined for KeySummary$"):
        native.KeySummary()


# ---- argument conversion ---------------------------------------------------------

class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("limit", [None, 0, 5, True, 2**64 - 1, Index(7)])
def test_daily_limit_accepts_unsigned_64_bit_integers(native, limit):
    pool = native.KeyPool()
    pool.add_key("k", 1.0, limit)
    assert pool.has_key("k")


@pytest.mark.parametrize("limit, error, prefix", [
    (-1, OverflowError, ""),
    (2**64, OverflowError, ""),
    (Index(-1), OverflowError, ""),
    (1.5, TypeError, "argument 'daily_limit': "),
    ("5", TypeError, "argument 'daily_limit': "),
])
def test_daily_limit_errors_leave_the_pool_untouched(native, limit, error, prefix):
    pool = native.KeyPool()
    with pytest.raises(error) as raised:
        pool.add_key("k", daily_limit=limit)
    assert type(raised.value) is error
    assert str(raised.value).startswith(prefix)
    assert len(pool) == 0


@pytest.mark.parametrize("call, message", [
    (lambda p: p.add_key(b"k"), "argument 'key': 'bytes' object cannot be converted to 'PyString'"),
    (lambda p: p.add_key("k", "heavy"), "argument 'weight': must be real number, not str"),
    (lambda p: p.record_success("k", "fast"),
     "argument 'latency_ms': must be real number, not str"),
    (lambda p: p.record_success("k"),
     "KeyPool.record_success() missing 1 required positional argument: 'latency_ms'"),
    (lambda p: p.record_rate_limit(),
     "KeyPool.record_rate_limit() missing 2 required positional arguments: 'key' and "
     "'cooldown_secs'"),
    (lambda p: p.has_key("k", "x"),
     "KeyPool.has_key() takes 1 positional arguments but 2 were given"),
    (lambda p: p.remove_key(name="k"),
     "KeyPool.remove_key() got an unexpected keyword argument 'name'"),
])
def test_argument_errors(native, call, message):
    pool = pool_with(native, "k")
    with pytest.raises(TypeError) as raised:
        call(pool)
    assert str(raised.value) == message
    assert pool.list_keys()[0].total_requests == 0


@pytest.mark.parametrize("name", ["select_key", "list_keys", "reset_daily_counters"])
def test_no_argument_methods_refuse_arguments(native, name):
    with pytest.raises(TypeError):
        getattr(native.KeyPool(), name)(1)


def test_keywords_and_unusual_numbers_are_accepted(native):
    pool = native.KeyPool("weighted")
    pool.add_key(key="k", weight=-2, daily_limit=Index(3))
    pool.record_success(latency_ms=float("nan"), key="k")
    pool.record_rate_limit(key="k", cooldown_secs=float("inf"))
    (summary,) = pool.list_keys()
    assert summary.weight == -2.0 and type(summary.weight) is float
    assert summary.status == "rate_limited"
    with pytest.raises(native.NoAvailableKeysError):
        pool.select_key()


def test_conversions_may_re_enter_the_same_pool(native):
    pool = native.KeyPool()

    class Sneaky:
        def __index__(self):
            pool.add_key("inner")
            return 1

        def __float__(self):
            pool.remove_key("inner")
            return 2.0

    pool.add_key("outer", Sneaky(), Sneaky())
    assert [s.weight for s in pool.list_keys()] == [1.0, 2.0]
    pool.record_success("outer", Sneaky())
    assert pool.list_keys()[0].avg_latency_ms == 2.0


# ---- behaviour through the surface -----------------------------------------------

def test_fresh_summary(native):
    pool = pool_with(native, "sk-1")
    (summary,) = pool.list_keys()
    assert (summary.key_masked, summary.status, summary.total_requests, summary.total_errors,
            summary.total_rate_limits, summary.avg_latency_ms, summary.health_score,
            summary.weight) == ("***", "active", 0, 0, 0, 0.0, 0.4, 1.0)
    assert repr(summary) == str(summary) == "KeySummary(key='***', status='active', health=0.40)"
    assert pool.select_key() == "sk-1"


@pytest.mark.parametrize("name", ["key_masked", "status", "total_requests", "total_errors",
                                  "total_rate_limits", "avg_latency_ms", "health_score", "weight"])
def test_summary_properties_are_read_only(native, name):
    summary = pool_with(native, "k").list_keys()[0]
    assert getattr(type(summary), name).__doc__ == ""
    with pytest.raises(AttributeError):
        setattr(summary, name, getattr(summary, name))


def test_summary_metrics_and_masking(native):
    pool = native.KeyPool("least_used")
    pool.add_key("sk-проект-ключ")
    pool.add_key("abcdefghi")
    for latency in (100, 200, 300):
        pool.record_success("sk-проект-ключ", latency)
    pool.record_error("sk-проект-ключ")
    first, second = pool.list_keys()
    assert first.key_masked == "sk-...юч"  # cuts move to character boundaries
    assert (first.total_requests, first.total_errors, first.avg_latency_ms) == (4, 1, 200.0)
    assert first.health_score == pytest.approx(0.221)
    assert repr(first) == "KeySummary(key='sk-...юч', status='active', health=0.22)"
    assert second.key_masked == "abcd...fghi"


def test_status_texts(native):
    pool = pool_with(native, "a", "b", "c", "d")
    pool.record_rate_limit("a", 60)
    pool.disable_key("b")
    pool.record_exhausted("c")
    statuses = [s.status for s in pool.list_keys()]
    assert statuses == ["rate_limited", "disabled", "exhausted", "active"]
    pool.reset_daily_counters()
    pool.enable_key("b")
    assert [s.status for s in pool.list_keys()] == ["rate_limited", "active", "active", "active"]


def test_remove_and_has_key(native):
    pool = pool_with(native, "k")
    assert pool.has_key("k") is True
    assert pool.remove_key("k") is True
    assert pool.remove_key("k") is False
    assert pool.has_key("k") is False
    assert pool.has_key("K") is False


def test_no_available_keys(native):
    with pytest.raises(native.NoAvailableKeysError) as raised:
        native.KeyPool("adaptive").select_key()
    assert raised.value.args == ("no available keys in pool (total: 0, active: 0)",)
    pool = pool_with(native, "a", "b", "c", strategy="random")
    for key in "abc":
        pool.disable_key(key)
    message = r"^no available keys in pool \(total: 3, active: 0\)$"
    with pytest.raises(native.ProxyError, match=message):
        pool.select_key()


def test_threads_keep_counters_consistent(native):
    pool = native.KeyPool()
    stable = [f"stable-key-{i}" for i in range(4)]
    for key in stable:
        pool.add_key(key)
    rounds = 2000
    picks = [dict.fromkeys(stable, 0) for _ in range(3)]

    def select(tally):
        for _ in range(rounds):
            key = pool.select_key()
            if key in tally:
                tally[key] += 1

    def record_errors():
        for i in range(rounds):
            pool.record_error(stable[i % len(stable)])

    def churn():
        for i in range(rounds):
            key = f"tmp-{i % 5}"
            pool.add_key(key)
            if i % 2:
                pool.remove_key(key)
            pool.list_keys()

    threads = [threading.Thread(target=select, args=(tally,)) for tally in picks]
    threads += [threading.Thread(target=record_errors), threading.Thread(target=churn)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)

    summaries = {s.key_masked: s for s in pool.list_keys()}
    for index, key in enumerate(stable):
        selected = sum(tally[key] for tally in picks)
        summary = summaries[f"stab...ey-{index}"]
        assert summary.total_requests == selected + rounds // len(stable)
        assert summary.total_errors == rounds // len(stable)
