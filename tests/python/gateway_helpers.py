"""Gateways with a known ranking, and a fake `send` that plays a script."""

from velmorquist_proxy import (
    CircuitBreakerConfig, Gateway, Provider, ProviderProfile, RetryPolicy, RouterConfig,
)

# Ranked in this order by a deterministic router, whatever the posteriors:
# the price steps outweigh the whole quality term.
NAMES = ("alpha", "bravo", "charlie")
KEYS = {name: (f"sk-{name}-secret-0001", f"sk-{name}-secret-0002") for name in NAMES}


def provider(name, keys=None, *, threshold=100, recovery=60.0, successes=1, **options):
    rank = NAMES.index(name) if name in NAMES else len(NAMES)
    options.setdefault("rate", False)
    options.setdefault("key_strategy", "least_used")
    return Provider(name, list(keys or KEYS[name]),
                    profile=ProviderProfile(name, 1.0 * rank, 0.9, 100.0),
                    breaker=CircuitBreakerConfig(name, threshold, recovery, successes),
                    **options)


def make_gateway(*providers, max_retries=2, sleeps=None, **options):
    """Sleeps are recorded in `sleeps`, never slept."""
    providers = providers or tuple(provider(name) for name in NAMES)
    sleeps = [] if sleeps is None else sleeps
    options.setdefault("retry", RetryPolicy(max_retries, 100, 1000, 0.0))
    return Gateway(list(providers), router=RouterConfig(explore_mode=False),
                   _sleep=sleeps.append, **options)


class Script:
    """`send(provider, key)` playing, per provider, a list of outcomes: an
    int status (with optional retry-after and body as a tuple) or an
    exception to raise. A provider past its script answers 200."""

    def __init__(self, **outcomes):
        self.outcomes = {name: list(steps) for name, steps in outcomes.items()}
        self.calls = []

    def __call__(self, provider, key):
        self.calls.append((provider, key))
        steps = self.outcomes.get(provider, [])
        step = steps.pop(0) if steps else 200
        if isinstance(step, BaseException) or (isinstance(step, type)
                                                and issubclass(step, BaseException)):
            raise step
        return step if isinstance(step, tuple) else (step, None, "")


def request(gateway, send, **options):
    """One request through `attempts`, as a user writes it."""
    for attempt in gateway.attempts(**options):
        with attempt:
            status, retry_after, body = send(attempt.provider, attempt.key)
            attempt.check(status, retry_after, body)
    return attempt
