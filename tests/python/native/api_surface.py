"""The module's Python surface, found by introspection, with argument values.

The reliability suites (hypothesis fuzz, reference leaks, stress) call every
constructor, method and property of every class the module publishes. Which
members exist and what their parameters are comes from the classes themselves
(method tables and text signatures), so a class or method that lands later is
covered without editing these tests. What a *valid* value is can't be read off
a signature: VALID and EXAMPLE give it per parameter name.
"""

import atexit
import functools
import inspect
import math
import shutil
import tempfile
import types

from hypothesis import strategies as st

U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1
STRATEGIES = ("round_robin", "least_used", "random", "weighted", "adaptive")

# Parameters that take an instance of another class of the module, keyed by
# (class, parameter); everything else is keyed by parameter name alone.
INSTANCE_PARAMETERS = {
    ("CircuitBreaker", "config"): "CircuitBreakerConfig",
    ("TokenBucket", "config"): "RateLimitConfig",
    ("ThompsonRouter", "config"): "RouterConfig",
    ("ThompsonRouter", "profile"): "ProviderProfile",
}


class Boom(Exception):
    """Raised by the hostile argument objects; must come out unchanged."""


class RaisingIndex:
    def __index__(self):
        raise Boom("__index__")


class RaisingFloat:
    def __float__(self):
        raise Boom("__float__")


class RaisingLen:
    """A sequence whose length cannot be read, but which iterates fine."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        raise Boom("__len__")

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        return iter(self.items)


class RaisingIter:
    def __len__(self):
        return 2

    def __getitem__(self, index):
        raise Boom("__getitem__")

    def __iter__(self):
        raise Boom("__iter__")


class MidwayRaising:
    """A sequence that yields one good item, then raises."""

    def __len__(self):
        return 2

    def __getitem__(self, index):
        return "openai"

    def __iter__(self):
        yield "openai"
        raise Boom("midway")


# ---- the surface -------------------------------------------------------------------


class Member:
    """One callable entry point: a constructor, method, static method or property."""

    def __init__(self, cls, name, kind, parameters, positional_only=False):
        self.cls = cls
        self.name = name
        self.kind = kind  # "new", "method", "static", "property"
        self.parameters = parameters  # [(name, has_default)] without self
        self.positional_only = positional_only  # no parameter may be passed by keyword

    @property
    def id(self):
        return f"{self.cls.__name__}.{self.name}"

    def call(self, instance, args, kwargs):
        if self.kind == "new":
            return self.cls(*args, **kwargs)
        if self.kind == "property":
            return getattr(instance, self.name)
        if self.kind == "static":
            return getattr(self.cls, self.name)(*args, **kwargs)
        return getattr(instance, self.name)(*args, **kwargs)


@functools.cache
def _parameters(callable_):
    # Cached: inspect.signature makes garbage of its own, which would drown the
    # counts of the reference-leak checks.
    signature = inspect.signature(callable_)
    return [
        (p.name, p.default is not inspect.Parameter.empty)
        for p in signature.parameters.values()
        if p.name != "self"
    ]


def classes(native):
    """The published classes (exception classes left out), in publication order."""
    return [
        value
        for value in (getattr(native, name) for name in native.__all__)
        if isinstance(value, type) and not issubclass(value, BaseException)
    ]


def has_constructor(cls):
    return cls.__text_signature__ is not None


def members(native):
    return [member for cls in classes(native) for member in _class_members(cls)]


def _class_members(cls):
    found = []
    if has_constructor(cls):
        found.append(Member(cls, "__new__", "new", _parameters(cls)))
    for name, attribute in vars(cls).items():
        if name.startswith("_"):
            continue
        if isinstance(attribute, types.GetSetDescriptorType):
            found.append(Member(cls, name, "property", []))
        elif isinstance(attribute, staticmethod):
            found.append(Member(cls, name, "static", _parameters(getattr(cls, name))))
        elif isinstance(attribute, types.MethodDescriptorType):
            method = getattr(cls, name)
            found.append(Member(cls, name, "method", _parameters(method),
                                _positional_only(method)))
    return found


@functools.cache
def _positional_only(callable_):
    parameters = [p for p in inspect.signature(callable_).parameters.values() if p.name != "self"]
    return bool(parameters) and all(p.kind is p.POSITIONAL_ONLY for p in parameters)


# ---- _host: the host-shared gateway state ---------------------------------------------
# Its module publishes one function, attach(), whose HostRegion carries the
# methods. Every call works on one region in a private temporary directory.

_host_directory = []


def host_path():
    if not _host_directory:
        _host_directory.append(tempfile.mkdtemp(prefix="velmorquist-surface-"))
        atexit.register(shutil.rmtree, _host_directory[0], True)
    return _host_directory[0] + "/region"


def host_attach_arguments():
    """attach()'s arguments for two providers with limits, two keys each."""
    from velmorquist_proxy import Provider, RateLimitConfig, RouterConfig

    providers = tuple(
        Provider(name, [f"sk-{name}-key-0001", f"sk-{name}-key-0002"],
                 rate=RateLimitConfig(10**9, 1.0),
                 token_rate=RateLimitConfig(10**9, 1.0)).resolve()
        for name in ("openai", "groq"))
    return {"path": host_path(), "create": True, "fresh": False, "providers": providers,
            "router": RouterConfig(), "fleet": False, "clock": None}


_host_region = []


def host_region(host):
    """The region every host case uses, attached again after a close()."""
    if not _host_region or _host_region[0].closed:
        _host_region[:] = [host.attach(**host_attach_arguments())]
    return _host_region[0]


def host_classes(host):
    return [type(host_region(host)), host.ManualClock]


def host_members(host):
    """attach(), the HostRegion's methods and properties, and the ManualClock's."""
    attach = Member(host, "attach", "static", _parameters(host.attach))
    return [attach] + _class_members(type(host_region(host))) + _class_members(host.ManualClock)


# ---- valid values ----------------------------------------------------------------------

_floats = st.floats(allow_nan=True, allow_infinity=True)
_u32 = st.integers(0, U32_MAX)
_u64 = st.integers(0, U64_MAX)
_small_u64 = st.integers(0, 1000)
_keys = st.sampled_from(["alpha-key-0001", "beta", "gamma-key-0003", "", "é-key-ü-ß-ø"])
_provider_ids = st.sampled_from(["openai", "groq", "anthropic", "custom", ""])

VALID = {
    "provider": st.one_of(_provider_ids, st.text(max_size=20)),
    "failure_threshold": _u32,
    "success_threshold": _u32,
    "recovery_timeout_secs": _floats,
    "failure_type": st.text(max_size=20),
    "error_msg": st.text(max_size=60),
    "max_calls": _u64,
    "time_window_secs": _floats,
    "burst_size": st.one_of(st.none(), _u64),
    "n": st.one_of(_small_u64, _u64),
    "strategy": st.sampled_from(STRATEGIES),
    "key": st.one_of(_keys, st.text(max_size=20)),
    "weight": _floats,
    "daily_limit": st.one_of(st.none(), _u64),
    "latency_ms": _floats,
    "cooldown_secs": st.one_of(st.sampled_from([0.0, -1.0, 1e9]), _floats),
    "max_retries": _u32,
    "base_delay_ms": _u64,
    "max_delay_ms": _u64,
    "jitter_factor": _floats,
    "attempt": _u32,
    "id": st.one_of(_provider_ids, st.text(max_size=20)),
    "cost_per_1k": _floats,
    "base_quality": _floats,
    "base_latency_ms": _floats,
    "cost_weight": _floats,
    "quality_weight": _floats,
    "latency_weight": _floats,
    "explore_mode": st.booleans(),
    "decay_factor": _floats,
    "fallback_provider": st.one_of(st.none(), _provider_ids),
    "provider_id": st.one_of(_provider_ids, st.text(max_size=20)),
    "reward": _floats,
    "eligible_ids": st.lists(st.one_of(_provider_ids, st.text(max_size=8)), max_size=4).flatmap(
        lambda ids: st.sampled_from([ids, tuple(ids)])
    ),
    # HostRegion: providers and keys by index, outcomes by number.
    "p": st.integers(0, 1),
    "k": st.integers(0, 1),
    "candidates": st.lists(st.integers(0, 1), max_size=3),
    "trial": st.booleans(),
    "outcome": st.integers(0, 5),
    "kind": st.text(max_size=20),
    "tokens": st.one_of(_small_u64, _u64),
    "reserved": st.one_of(_small_u64, _u64),
    "used": st.one_of(_small_u64, _u64),
    "cooldown_s": st.one_of(st.sampled_from([0.0, -1.0, 1e9]), _floats),
    "day": st.integers(-(2**63), 2**63 - 1),
    # HostRegion's fleet methods.
    "what": st.integers(0, 4),
    "elapsed": _floats,
    "every_lease": st.booleans(),
    "limit": st.integers(0, 1),
    "amount": _floats,
    "leased": st.booleans(),
    "degraded": st.booleans(),
    "hosts": _u32,
    # attach()'s choices, and the ManualClock.
    "fleet": st.booleans(),
    "clock": st.none(),
    "start": _floats,
    "seconds": _floats,
    # HostRegion's latency and stream timing methods.
    "first_chunk": st.booleans(),
    "mean_ms": _floats,
    "count": st.integers(0, 200),
    "gaps_ms": st.lists(_floats, max_size=5),
}

# One fixed valid value per parameter, for deterministic (leak) checks.
EXAMPLE = {
    "provider": "openai",
    "failure_threshold": 3,
    "success_threshold": 1,
    "recovery_timeout_secs": 0.0,
    "failure_type": "timeout",
    "error_msg": "HTTP 429: Too Many Requests",
    "max_calls": 10**9,
    "time_window_secs": 1.0,
    "burst_size": 100,
    "n": 1,
    "strategy": "adaptive",
    "key": "alpha-key-0001",
    "weight": 2.0,
    "daily_limit": 1000,
    "latency_ms": 120.0,
    "cooldown_secs": 0.0,
    "max_retries": 3,
    "base_delay_ms": 100,
    "max_delay_ms": 5000,
    "jitter_factor": 0.5,
    "attempt": 2,
    "id": "openai",
    "cost_per_1k": 0.01,
    "base_quality": 0.9,
    "base_latency_ms": 500.0,
    "cost_weight": 0.5,
    "quality_weight": 0.35,
    "latency_weight": 0.15,
    "explore_mode": True,
    "decay_factor": 0.95,
    "fallback_provider": "groq",
    "provider_id": "openai",
    "reward": 1.0,
    "eligible_ids": ["openai", "groq"],
    "p": 0,
    "k": 1,
    "candidates": [1, 0],
    "trial": False,
    "outcome": 0,
    "kind": "timeout",
    "tokens": 1,
    "reserved": 2,
    "used": 1,
    "cooldown_s": 0.0,
    "day": 20000,
    "what": 1,
    "elapsed": 0.1,
    "every_lease": False,
    "limit": 0,
    "amount": 1.0,
    "leased": True,
    "degraded": False,
    "hosts": 3,
    "fleet": False,
    "clock": None,
    "start": 100.0,
    "seconds": 1.5,
    "first_chunk": True,
    "mean_ms": 120.0,
    "count": 3,
    "gaps_ms": [5.0, 7.5],
}

# The kind of value each parameter converts, for picking the error cases that
# apply to it: "str", "u32", "u64", "f64", "bool", "instance", "sequence".
KIND = {
    **dict.fromkeys(
        ["provider", "failure_type", "error_msg", "strategy", "key", "id", "provider_id",
         "fallback_provider"], "str"),
    **dict.fromkeys(["failure_threshold", "success_threshold", "max_retries", "attempt"], "u32"),
    **dict.fromkeys(
        ["max_calls", "burst_size", "n", "daily_limit", "base_delay_ms", "max_delay_ms"], "u64"),
    **dict.fromkeys(
        ["recovery_timeout_secs", "time_window_secs", "weight", "latency_ms", "cooldown_secs",
         "jitter_factor", "cost_per_1k", "base_quality", "base_latency_ms", "cost_weight",
         "quality_weight", "latency_weight", "decay_factor", "reward"], "f64"),
    "explore_mode": "bool",
    "eligible_ids": "sequence",
    **dict.fromkeys(["p", "k"], "index"),
    "candidates": "indices",
    "outcome": "enum",
    "kind": "str",
    **dict.fromkeys(["tokens", "reserved", "used"], "u64"),
    "cooldown_s": "f64",
    "day": "i64",
    **dict.fromkeys(["create", "fresh", "fleet", "every_lease", "first_chunk"], "bool"),
    **dict.fromkeys(["start", "seconds", "mean_ms"], "f64"),
    "count": "u32",
}


def kind_of(cls, parameter):
    if (cls.__name__, parameter) in INSTANCE_PARAMETERS:
        return "instance"
    return KIND.get(parameter)


def instance_of(native, class_name):
    """A valid instance of a value class (built from EXAMPLE values)."""
    cls = getattr(native, class_name)
    return cls(**{name: example(native, cls, name) for name, _ in _parameters(cls)})


def example(native, cls, parameter):
    target = INSTANCE_PARAMETERS.get((cls.__name__, parameter))
    if target is not None:
        return instance_of(native, target)
    if parameter in EXAMPLE:
        return EXAMPLE[parameter]
    return host_attach_arguments()[parameter]


def valid(native, cls, parameter):
    target = INSTANCE_PARAMETERS.get((cls.__name__, parameter))
    if target is not None:
        target_cls = getattr(native, target)
        params = _parameters(target_cls)
        return st.builds(
            lambda *values: target_cls(*values),
            *[VALID.get(name, st.just(EXAMPLE.get(name))) for name, _ in params],
        )
    return VALID.get(parameter)


def prepared(native, cls):
    """An instance in a state where most methods do real work: keys in a pool,
    providers in a router, a full bucket."""
    name = cls.__name__
    if name == "KeyPool":
        pool = cls("round_robin")
        for key in ("alpha-key-0001", "beta", "gamma-key-0003"):
            pool.add_key(key)
        return pool
    if name == "ThompsonRouter":
        router = cls()
        router.load_defaults()
        return router
    if name == "TokenBucket":
        return cls(max_calls=10**9, time_window_secs=1.0)
    if name == "KeySummary":
        return prepared(native, native.KeyPool).list_keys()[0]
    if name == "RoutingDecision":
        return prepared(native, native.ThompsonRouter).select_deterministic()
    if name == "HostRegion":
        from velmorquist_proxy import _host
        return host_region(_host)
    if has_constructor(cls):
        return cls(**{p: example(native, cls, p) for p, has_default in _parameters(cls)
                      if not has_default})
    return None


def is_nan(value):
    return isinstance(value, float) and math.isnan(value)
