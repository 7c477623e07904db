"""Every constructor, method and property, called with arbitrary arguments.

Arguments are drawn per parameter from the parameter's valid values or from a
wide pool of Python values: ints of every size, NaN and infinities, str
subclasses, strings with lone surrogates, bytes, None, containers, instances of
the wrong class, and objects whose __index__, __float__, __len__ or __iter__
raise or call back into the object under test. Only the documented exceptions
may come out; a SystemError or a crash fails the run.
"""

import collections
import math
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import api_surface as surface
from api_surface import (
    U32_MAX,
    U64_MAX,
    Boom,
    MidwayRaising,
    RaisingFloat,
    RaisingIndex,
    RaisingIter,
    RaisingLen,
)
from velmorquist_proxy import _host as host
from velmorquist_proxy import _native as native

EXAMPLES = int(os.environ.get("VELMORQUIST_FUZZ_EXAMPLES", "150"))
EXAMPLES_RUN = collections.Counter()  # per member, for reports on a run

ALLOWED = (TypeError, OverflowError, ValueError, UnicodeEncodeError, native.ProxyError, Boom,
           IndexError)


# ---- hostile argument objects ------------------------------------------------------

# What a hostile object runs when it calls back: a poke at the object under
# test, installed for the duration of one call.
_reentry = []


def _call_back():
    for hook in _reentry[-1:]:
        hook()


class StrSub(str):
    pass


class IntSub(int):
    pass


class FloatSub(float):
    pass


class HostileStr(str):
    """A str subclass whose Python-level methods all raise."""

    def __hash__(self):
        raise Boom("__hash__")

    def __eq__(self, other):
        raise Boom("__eq__")

    def __str__(self):
        raise Boom("__str__")


class ReentrantIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        _call_back()
        return int(self.value)  # an int subclass here would only add a DeprecationWarning

    def __repr__(self):
        return f"ReentrantIndex({self.value})"


class ReentrantFloat:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        _call_back()
        return float(self.value)

    def __repr__(self):
        return f"ReentrantFloat({self.value})"


class RaisingBool:
    def __bool__(self):
        raise Boom("__bool__")


class ReentrantSequence:
    """Calls back into the object under test from __len__ and between items."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        _call_back()
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        for item in self.items:
            _call_back()
            yield item


def _lone_surrogates():
    return st.builds(
        lambda a, s, b: a + s + b,
        st.text(max_size=4),
        st.sampled_from(["\ud800", "\udfff", "\udc80"]),
        st.text(max_size=4),
    )


_ints = st.one_of(
    st.integers(),
    st.sampled_from(
        [0, 1, -1, U32_MAX, U32_MAX + 1, U64_MAX, U64_MAX + 1, -(2**63), 2**63, 2**1000, -(2**1000)]
    ),
    st.builds(IntSub, st.integers(-(2**70), 2**70)),
)
_floats = st.one_of(
    st.floats(),
    st.sampled_from([math.nan, -math.nan, math.inf, -math.inf, -0.0, 5e-324, 1.7976931348623157e308]),
    st.builds(FloatSub, st.floats()),
)
_texts = st.one_of(
    st.text(max_size=30),
    _lone_surrogates(),
    st.builds(StrSub, st.text(max_size=10)),
    st.sampled_from(["openai", "groq", "round_robin", "adaptive", "alpha-key-0001", "x" * 5000]),
)
_item_texts = st.one_of(st.sampled_from(["openai", "groq", "custom"]), st.text(max_size=6))


def _module_instances():
    built = []
    for cls in surface.classes(native) + surface.host_classes(host):
        instance = surface.prepared(native, cls)
        if instance is not None:
            built.append(instance)
    return st.sampled_from(built)


HOSTILE_NUMBERS = st.one_of(
    st.builds(RaisingIndex),
    st.builds(RaisingFloat),
    st.builds(ReentrantIndex, st.one_of(st.integers(0, 100), _ints)),
    st.builds(ReentrantFloat, st.floats()),
)
HOSTILE_SEQUENCES = st.one_of(
    st.builds(RaisingLen, st.lists(_item_texts, max_size=3)),
    st.builds(RaisingIter),
    st.builds(ReentrantSequence, st.lists(_item_texts, max_size=3)),
    st.builds(MidwayRaising),
)
HOSTILE = st.one_of(
    HOSTILE_NUMBERS,
    HOSTILE_SEQUENCES,
    st.builds(RaisingBool),
    st.builds(HostileStr, st.sampled_from(["openai", "round_robin", "alpha-key-0001", ""])),
)
OTHER = st.one_of(
    st.none(),
    st.booleans(),
    st.binary(max_size=10),
    st.complex_numbers(),
    st.lists(st.one_of(_item_texts, _ints, st.none()), max_size=4),
    st.tuples(_item_texts, _item_texts),
    st.dictionaries(_item_texts, _item_texts, max_size=2),
    st.frozensets(_item_texts, max_size=2),
    st.builds(object),
    st.builds(lambda items: (item for item in items), st.lists(_item_texts, max_size=3)),
    _module_instances(),
)
ANY = st.one_of(_ints, _floats, _texts, HOSTILE, OTHER)


def argument(cls, parameter):
    """Often valid (so calls get past conversion), often the kind of trouble
    that parameter's conversion has to survive, often anything at all."""
    valid = surface.valid(native, cls, parameter) if parameter else None
    if valid is None:
        return ANY
    trouble = {
        "u32": st.one_of(_ints, HOSTILE_NUMBERS),
        "u64": st.one_of(_ints, HOSTILE_NUMBERS),
        "index": st.one_of(_ints, HOSTILE_NUMBERS),
        "enum": st.one_of(_ints, HOSTILE_NUMBERS),
        "i64": st.one_of(_ints, HOSTILE_NUMBERS),
        "indices": st.one_of(HOSTILE_SEQUENCES, st.lists(st.one_of(_ints, HOSTILE_NUMBERS),
                                                         max_size=3)),
        "f64": st.one_of(_floats, _ints, HOSTILE_NUMBERS),
        "str": st.one_of(_texts, st.builds(HostileStr, st.sampled_from(["openai", "beta", ""]))),
        "sequence": st.one_of(HOSTILE_SEQUENCES, st.lists(_texts, max_size=3), _texts),
        "bool": st.one_of(st.integers(0, 1), st.builds(RaisingBool), st.none()),
    }.get(surface.kind_of(cls, parameter), OTHER)
    return st.one_of(valid, trouble, ANY)


# ---- poking an object after (and during) a call --------------------------------------

# load_defaults grows the router on every poke; a close is a hook of its own.
_POKE_SKIP = {"load_defaults", "close"}


def poke(instance):
    """Use every argument-free entry point of `instance`; it must still work."""
    if type(instance) not in CLASSES:
        return
    repr(instance)
    cls = type(instance)
    for member in MEMBERS_BY_CLASS.get(cls, ()):
        if member.kind == "property":
            getattr(instance, member.name)
    if getattr(instance, "closed", False):
        return
    for member in MEMBERS_BY_CLASS.get(cls, ()):
        if member.kind == "method" and not member.parameters and member.name not in _POKE_SKIP:
            try:
                member.call(instance, (), {})
            except native.ProxyError:
                pass
    if hasattr(cls, "__len__"):
        assert len(instance) >= 0
        bool(instance)


def churn(instance):
    """Call every method of `instance` that takes arguments, with valid ones:
    what a callback during argument conversion may do to the object."""
    cls = type(instance)
    for member in MEMBERS_BY_CLASS.get(cls, ()):
        if member.kind != "method" or not member.parameters:
            continue
        args = [surface.example(native, cls, name) for name, _ in member.parameters]
        try:
            member.call(instance, tuple(args), {})
        except native.ProxyError:
            pass


CLASSES = set(surface.classes(native) + surface.host_classes(host))
HOST_MEMBERS = surface.host_members(host)[1:]   # attach(): below, with its path fixed
MEMBERS = surface.members(native) + HOST_MEMBERS
MEMBERS_BY_CLASS = {}
for _member in MEMBERS:
    MEMBERS_BY_CLASS.setdefault(_member.cls, []).append(_member)


def check_internal_fault(member, instance, error):
    """The one documented internal fault: delay_ms with a NaN jitter factor."""
    if type(error).__name__ != "InternalFault" or isinstance(error, Exception):
        raise error
    if member.id != "RetryPolicy.delay_ms" or not math.isnan(instance.jitter_factor):
        raise error
    assert error.args == ("cannot sample empty range",)


@pytest.mark.parametrize("member", MEMBERS, ids=lambda member: member.id)
def test_any_arguments(member):
    cls = member.cls
    parameters = member.parameters

    @settings(
        max_examples=EXAMPLES,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
    )
    @given(data=st.data())
    def run(data):
        EXAMPLES_RUN[member.id] += 1
        instance = None if member.kind in ("new", "static") else surface.prepared(native, cls)
        # A constructor has no object yet: hostile arguments poke a sibling.
        target = instance if instance is not None else surface.prepared(native, cls)
        arity = len(parameters)
        count = data.draw(
            st.one_of(st.just(arity), st.integers(0, arity + 1)), label="positional"
        )
        args = [
            data.draw(argument(cls, parameters[i][0] if i < len(parameters) else None))
            for i in range(count)
        ]
        kwargs = {}
        for name, _ in parameters[count:]:
            if data.draw(st.booleans()):
                kwargs[name] = data.draw(argument(cls, name), label=name)
        if data.draw(st.integers(0, 7)) == 0:
            names = [name for name, _ in parameters] + ["bogus", "self"]
            kwargs[data.draw(st.sampled_from(names))] = data.draw(ANY)

        hooks = [lambda: poke(target), lambda: (churn(target), poke(target))]
        if hasattr(target, "close"):
            hooks.append(target.close)
        _reentry.append(data.draw(st.sampled_from(hooks), label="what callbacks do"))
        try:
            result = member.call(instance, tuple(args), kwargs)
        except ALLOWED:
            result = None
        except BaseException as error:  # noqa: BLE001 - sorted out below
            check_internal_fault(member, instance, error)
            result = None
        finally:
            _reentry.pop()
        if member.kind == "property":
            value = data.draw(ANY)
            with pytest.raises(AttributeError):
                setattr(instance, member.name, value)
            with pytest.raises(AttributeError):
                delattr(instance, member.name)
        for item in result if isinstance(result, list) else [result]:
            poke(item)
        poke(instance)

    run()


@pytest.mark.parametrize("function", ["attach", "attach_private"])
def test_attach_any_description(function):
    """attach() with its path fixed (it creates files), and attach_private(),
    with anything else."""
    attach = getattr(host, function)
    parameters = [name for name, _ in surface._parameters(attach)]
    target = surface.host_region(host)

    @settings(max_examples=EXAMPLES, suppress_health_check=[HealthCheck.too_slow])
    @given(data=st.data())
    def run(data):
        valid = surface.host_attach_arguments()
        arguments = {name: valid[name] for name in parameters}
        for name in parameters:
            if name == "path":
                continue
            if data.draw(st.booleans(), label=f"{name} replaced"):
                arguments[name] = data.draw(argument(host, name), label=name)
        _reentry.append(lambda: poke(target))
        try:
            result = attach(**arguments)
        except ALLOWED:
            result = None
        finally:
            _reentry.pop()
        poke(result)

    run()


# The server's readers and its log line: valid calls first, then anything at all.
SERVER_FUNCTIONS = {
    "scan_request": [st.binary()],
    "read_usage": [st.binary()],
    "split_events": [st.binary(), st.booleans()],
    "access_line": [st.floats(), st.text(), st.integers(), st.text(), st.text(),
                    st.none() | st.text(), st.none() | st.text(), st.integers(),
                    st.integers(), st.booleans(), st.floats(), st.floats(),
                    st.none() | st.integers(), st.none() | st.integers()],
}


@pytest.mark.parametrize("name", sorted(SERVER_FUNCTIONS))
def test_server_functions_take_any_arguments(name):
    function = getattr(host, name)
    valid = SERVER_FUNCTIONS[name]

    @settings(max_examples=EXAMPLES, suppress_health_check=[HealthCheck.too_slow])
    @given(data=st.data())
    def run(data):
        count = data.draw(st.one_of(st.just(len(valid)), st.integers(0, len(valid) + 1)))
        args = [data.draw(st.one_of(valid[i], ANY) if i < len(valid) else ANY)
                for i in range(count)]
        _reentry.append(lambda: None)
        try:
            function(*args)
        except ALLOWED:
            pass
        finally:
            _reentry.pop()

    run()
