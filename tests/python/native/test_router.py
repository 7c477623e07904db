import os

import pytest
from hypothesis import given, strategies as st

CATALOGUE_RANKING = [
    "groq", "cerebras", "fireworks", "together", "ollama", "deepseek",
    "mistral", "cohere", "google", "azure_openai", "openai", "anthropic",
]


@pytest.fixture
def deterministic(native):
    return native.RouterConfig(explore_mode=False)


@pytest.fixture
def loaded(native, deterministic):
    router = native.ThompsonRouter(deterministic)
    router.load_defaults()
    return router


def profile(native, pid, cost=0.01, quality=0.9, latency=300.0):
    return native.ProviderProfile(pid, cost, quality, latency)


# ---- value classes ---------------------------------------------------------------


@pytest.mark.parametrize(
    "args, text",
    [
        (("openai", 0.03, 0.92, 800), "ProviderProfile(id='openai', cost=0.0300, quality=0.92, latency=800ms)"),
        (("x", -1, 2, float("nan")), "ProviderProfile(id='x', cost=-1.0000, quality=2.00, latency=NaNms)"),
        (("a", 0.00005, 0.125, 0.5), "ProviderProfile(id='a', cost=0.0001, quality=0.12, latency=0ms)"),
        (("a'b", float("inf"), -0.0, 1.5), "ProviderProfile(id='a'b', cost=inf, quality=-0.00, latency=2ms)"),
    ],
)
def test_profile_repr(native, args, text):
    assert repr(native.ProviderProfile(*args)) == text


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


def test_profile_fields_and_conversions(native):
    p = native.ProviderProfile(id="groq", cost_per_1k=1, base_quality=Floaty(), base_latency_ms=Indexy())
    assert (p.id, p.cost_per_1k, p.base_quality, p.base_latency_ms) == ("groq", 1.0, 2.5, 7.0)
    assert type(p.cost_per_1k) is float
    with pytest.raises(AttributeError):
        p.id = "other"
    assert p.id == "groq"


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((5, 1, 1, 1), TypeError, "argument 'id': 'int' object cannot be converted to 'PyString'"),
        (("a", "1", 1, 1), TypeError, "argument 'cost_per_1k': must be real number, not str"),
    ],
)
def test_profile_refusals(native, args, error, message):
    with pytest.raises(error) as info:
        native.ProviderProfile(*args)
    assert str(info.value) == message


def test_number_conversion_errors_propagate_unchanged(native):
    class Broken:
        def __float__(self):
            raise ValueError("nope")

    with pytest.raises(ValueError, match="^nope$"):
        native.ProviderProfile("a", 1, Broken(), 1)


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({}, "RouterConfig(cost=0.50, quality=0.35, latency=0.15, explore=true, decay=0.95)"),
        ({"explore_mode": False, "cost_weight": 0.125},
         "RouterConfig(cost=0.12, quality=0.35, latency=0.15, explore=false, decay=0.95)"),
        ({"cost_weight": 2, "quality_weight": -1, "decay_factor": float("-inf")},
         "RouterConfig(cost=2.00, quality=-1.00, latency=0.15, explore=true, decay=-inf)"),
        ({"fallback_provider": "openai"},
         "RouterConfig(cost=0.50, quality=0.35, latency=0.15, explore=true, decay=0.95)"),
    ],
)
def test_config_repr(native, kwargs, text):
    assert repr(native.RouterConfig(**kwargs)) == text


def test_config_fields(native):
    c = native.RouterConfig(0.1, 0.2, 0.3, False, 1.5, "openai")
    assert (c.cost_weight, c.quality_weight, c.latency_weight) == (0.1, 0.2, 0.3)
    assert c.explore_mode is False and c.decay_factor == 1.5
    assert c.fallback_provider == "openai"
    assert native.RouterConfig(fallback_provider=None).fallback_provider is None
    with pytest.raises(AttributeError):
        c.explore_mode = True


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"explore_mode": 1}, "argument 'explore_mode': 'int' object cannot be converted to 'PyBool'"),
        ({"explore_mode": None}, "argument 'explore_mode': 'NoneType' object cannot be converted to 'PyBool'"),
        ({"fallback_provider": b"x"}, "argument 'fallback_provider': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_config_refusals(native, kwargs, message):
    with pytest.raises(TypeError) as info:
        native.RouterConfig(**kwargs)
    assert str(info.value) == message


def test_config_accepts_numpy_bool(native):
    numpy = pytest.importorskip("numpy")
    assert native.RouterConfig(explore_mode=numpy.bool_(False)).explore_mode is False


def test_routing_decision_has_no_constructor(native):
    with pytest.raises(TypeError, match="^No constructor defined for RoutingDecision$"):
        native.RoutingDecision()
    assert native.RoutingDecision.__doc__ == "Python-visible routing decision."
    assert native.RoutingDecision.__text_signature__ is None


@pytest.mark.parametrize(
    "cls, signature, doc",
    [
        ("ProviderProfile", "(id, cost_per_1k, base_quality, base_latency_ms)", "Python-visible provider profile."),
        ("RouterConfig", "(cost_weight=0.5, quality_weight=0.35, latency_weight=0.15, explore_mode=True, "
                         "decay_factor=0.95, fallback_provider=None)", "Python-visible router config."),
        ("ThompsonRouter", "(config=None)", "Thompson sampling router for LLM providers."),
    ],
)
def test_class_signatures(native, cls, signature, doc):
    assert getattr(native, cls).__text_signature__ == signature
    assert getattr(native, cls).__doc__ == doc


# ---- ThompsonRouter surface ---------------------------------------------------------


@pytest.mark.parametrize(
    "method, signature, doc",
    [
        ("add_provider", "($self, profile)", "Add a provider to the router."),
        ("remove_provider", "($self, provider_id)", "Remove a provider by ID. Returns true if found and removed."),
        ("select", "($self)", "Select a provider (auto mode: explore or deterministic based on config)."),
        ("select_deterministic", "($self)", "Select deterministically (no sampling)."),
        ("record_outcome", "($self, provider_id, reward)",
         "Record an outcome for a provider. Reward should be in [0, 1]."),
        ("rank_among", "($self, eligible_ids=...)",
         "Rank providers by score (best-to-worst).\nIf `eligible_ids` is empty, all providers are ranked."),
        ("load_defaults", "($self)", "Load default profiles for 12 common providers."),
    ],
)
def test_method_docs(native, method, signature, doc):
    function = getattr(native.ThompsonRouter, method)
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc


def test_provider_count_property(native):
    assert native.ThompsonRouter.provider_count.__doc__ == "Number of registered providers."
    router = native.ThompsonRouter()
    with pytest.raises(AttributeError):
        router.provider_count = 3


@pytest.mark.parametrize("args", [(), (None,)])
def test_default_router_is_empty(native, args):
    router = native.ThompsonRouter(*args)
    assert repr(router) == "ThompsonRouter(providers=0)"
    for call in (router.select, router.select_deterministic, router.rank_among):
        with pytest.raises(native.NoProvidersError, match="^no providers registered$"):
            call()
    router.load_defaults()
    assert repr(router) == "ThompsonRouter(providers=12)"
    assert router.select().is_explore is True


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda n: n.ThompsonRouter(n.ProviderProfile("a", 1, 1, 1)),
         "argument 'config': 'ProviderProfile' object cannot be converted to 'RouterConfig'"),
        (lambda n: n.ThompsonRouter({}), "argument 'config': 'dict' object cannot be converted to 'RouterConfig'"),
        (lambda n: n.ThompsonRouter().add_provider(n.RouterConfig()),
         "argument 'profile': 'RouterConfig' object cannot be converted to 'ProviderProfile'"),
        (lambda n: n.ThompsonRouter().remove_provider(1),
         "argument 'provider_id': 'int' object cannot be converted to 'PyString'"),
        (lambda n: n.ThompsonRouter().record_outcome(1, "x"),
         "argument 'provider_id': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_argument_refusals(native, call, message):
    with pytest.raises(TypeError) as info:
        call(native)
    assert str(info.value) == message


def test_deterministic_catalogue_ranking(native, loaded):
    ranking = loaded.rank_among()
    assert [d.provider_id for d in ranking] == CATALOGUE_RANKING
    assert all(type(d) is native.RoutingDecision and d.is_explore is False for d in ranking)
    best = loaded.select()
    assert repr(best) == "RoutingDecision(provider_id='groq', score=0.1177, is_explore=false)"
    assert best.score == 0.35 * (0.5 * 0.85) - 0.5 * 0.002 - 0.15 * 0.2
    assert loaded.select() is not best
    with pytest.raises(AttributeError):
        best.score = 1.0


def test_duplicates_and_removal(native, deterministic):
    router = native.ThompsonRouter(deterministic)
    p = profile(native, "dup")
    router.add_provider(p)
    router.add_provider(profile=p)
    assert router.provider_count == 2
    assert [d.provider_id for d in router.rank_among(["dup", "dup"])] == ["dup", "dup"]
    assert router.remove_provider("nobody") is False
    assert router.provider_count == 2
    assert router.remove_provider(provider_id="dup") is True
    assert router.provider_count == 0


@pytest.mark.parametrize(
    "eligible, expected",
    [
        (["groq"], ["groq"]),
        (("openai", "groq"), ["groq", "openai"]),
        (["openai", "nobody", "groq", "groq"], ["groq", "openai"]),
        ([], CATALOGUE_RANKING),
    ],
)
def test_rank_among_candidates(loaded, eligible, expected):
    assert [d.provider_id for d in loaded.rank_among(eligible)] == expected
    assert [d.provider_id for d in loaded.rank_among(eligible_ids=eligible)] == expected


def test_rank_among_without_match(native, loaded):
    with pytest.raises(native.NoProvidersError, match="^no providers registered$"):
        loaded.rank_among(["nobody"])


class StrSubclass(str):
    pass


class OddSequence:
    """Passes the sequence check; its length is unreadable."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, index):
        return self.items[index]

    def __len__(self):
        raise RuntimeError("no length")


class FailingSequence:
    def __getitem__(self, index):
        raise ValueError("broken item")


@pytest.mark.parametrize(
    "value, message",
    [
        ("groq", "argument 'eligible_ids': Can't extract `str` to `Vec`"),
        (StrSubclass("groq"), "argument 'eligible_ids': Can't extract `str` to `Vec`"),
        (None, "argument 'eligible_ids': 'NoneType' object cannot be converted to 'Sequence'"),
        ((x for x in ["groq"]), "argument 'eligible_ids': 'generator' object cannot be converted to 'Sequence'"),
        ({"groq"}, "argument 'eligible_ids': 'set' object cannot be converted to 'Sequence'"),
        ({"groq": 1}, "argument 'eligible_ids': 'dict' object cannot be converted to 'Sequence'"),
        (b"groq", "argument 'eligible_ids': 'int' object cannot be converted to 'PyString'"),
        (["groq", 3], "argument 'eligible_ids': 'int' object cannot be converted to 'PyString'"),
    ],
)
def test_rank_among_refusals(loaded, value, message):
    with pytest.raises(TypeError) as info:
        loaded.rank_among(value)
    assert str(info.value) == message


def test_rank_among_sequence_protocol(loaded):
    ranking = loaded.rank_among(OddSequence([StrSubclass("openai"), "ollama"]))
    assert [d.provider_id for d in ranking] == ["ollama", "openai"]
    with pytest.raises(ValueError, match="^broken item$"):
        loaded.rank_among(FailingSequence())


def test_record_outcome(native, deterministic):
    router = native.ThompsonRouter(deterministic)
    router.add_provider(profile(native, "a"))
    router.add_provider(profile(native, "b"))
    fresh = router.select_deterministic().score
    router.record_outcome("a", 1)
    learned = router.select_deterministic()
    assert learned.provider_id == "a" and learned.score > fresh
    # (1.95 / 2.95) is the mean after one success with decay 0.95.
    assert learned.score == 0.35 * ((1.95 / 2.95) * 0.9) - 0.5 * 0.01 - 0.15 * 0.3

    with pytest.raises(TypeError, match="^argument 'reward': "):
        router.record_outcome("b", "1.0")
    with pytest.raises(native.ProviderNotFoundError, match="^provider `A` not found$"):
        router.record_outcome(provider_id="A", reward=1.0)
    with pytest.raises(native.ProxyError):
        router.record_outcome("c", float("nan"))
    assert router.select_deterministic().score == learned.score
    router.record_outcome("a", float("nan"))  # resets the posterior
    assert router.select_deterministic().score == fresh


def test_explore_single_provider(native):
    router = native.ThompsonRouter()
    router.add_provider(profile(native, "only"))
    decisions = [router.select() for _ in range(20)]
    assert {d.provider_id for d in decisions} == {"only"}
    assert all(d.is_explore for d in decisions)
    assert len({d.score for d in decisions}) > 1
    assert router.select_deterministic().is_explore is False
    assert all(d.is_explore for d in router.rank_among())


@given(
    st.lists(
        st.tuples(st.sampled_from("abcd"), st.floats(-1, 1), st.floats(0, 1), st.floats(0, 2000)),
        min_size=1,
        max_size=8,
    ),
    st.lists(st.sampled_from("abcde"), max_size=4),
)
def test_deterministic_ranking_properties(native, entries, eligible):
    router = native.ThompsonRouter(native.RouterConfig(explore_mode=False))
    for pid, cost, quality, latency in entries:
        router.add_provider(native.ProviderProfile(pid, cost, quality, latency))
    candidates = [e[0] for e in entries if not eligible or e[0] in eligible]
    if not candidates:
        with pytest.raises(native.NoProvidersError):
            router.rank_among(eligible)
        return
    ranking = router.rank_among(eligible)
    assert sorted(d.provider_id for d in ranking) == sorted(candidates)
    scores = [d.score for d in ranking]
    assert scores == sorted(scores, reverse=True)
    if not eligible:
        best = router.select_deterministic()
        assert (best.provider_id, best.score) == (ranking[0].provider_id, ranking[0].score)


# ---- re-entrancy and fork ----------------------------------------------------------


def test_reentrant_float_during_record_outcome(native):
    router = native.ThompsonRouter()
    router.load_defaults()

    class Reward:
        def __float__(self):
            router.add_provider(native.ProviderProfile("late", 0, 1, 1))
            router.select()
            router.record_outcome("groq", 0.0)
            return 1.0

    router.record_outcome("groq", Reward())
    assert router.provider_count == 13


def test_reentrant_iterator_during_rank_among(native):
    router = native.ThompsonRouter(native.RouterConfig(explore_mode=False))
    router.load_defaults()

    class Ids:
        def __len__(self):
            return 2

        def __getitem__(self, index):
            if index >= 2:
                raise IndexError(index)
            router.rank_among()
            router.record_outcome("openai", 1.0)
            router.remove_provider("anthropic")
            return ["openai", "anthropic"][index]

    ranking = router.rank_among(Ids())
    assert [d.provider_id for d in ranking] == ["openai"]
    assert router.provider_count == 11


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_router_works_in_forked_child(native):
    router = native.ThompsonRouter()
    router.load_defaults()
    router.select()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            router.record_outcome(router.select().provider_id, 1.0)
            code = 0 if len(router.rank_among()) == 12 and router.remove_provider("groq") else 1
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert router.provider_count == 12
