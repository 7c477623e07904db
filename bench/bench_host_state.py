"""One successful request's state work, 12 providers with two keys each, on a
host-shared region (HostState) against in-process memory (the default
state: the same native state in private memory): first the state calls a
gateway request makes (choose + record), then a whole `Gateway.call`.
Target: shared <= 2x in-process."""

import os
import sys
import tempfile
import timeit

from velmorquist_proxy import Gateway, HostState, Provider, RateLimitConfig, RouterConfig
from velmorquist_proxy._state import KEY_SUCCESS, SUCCESS, TRIAL
from velmorquist_proxy.host_state import private_state

NAMES = [f"p{i:02d}" for i in range(12)]
RATE = RateLimitConfig(10**9, 1.0)


def providers():
    return [Provider(name, [f"sk-{name}-key-a000", f"sk-{name}-key-b000"], rate=RATE)
            for name in NAMES]


def choose_and_record(state):
    """What request.py asks of its state for a request that succeeds at once."""
    trials = state.trial_candidates()
    p = trials[0] if trials else next(iter(state.rank(())))
    ticket = state.try_breaker(p)
    state.try_limits(p, 0)
    k = state.select_key(p)
    state.key_outcome(p, k, KEY_SUCCESS, 12.0)
    state.reward(p, 1.0)
    state.breaker_outcome(p, ticket == TRIAL, SUCCESS)


def best_of(function, number=20000, repeat=5):
    return min(timeit.repeat(function, number=number, repeat=repeat)) / number * 1e9


def report(what, shared, local):
    print(f"{what:<38} host-shared {shared:8.0f} ns   in-process {local:8.0f} ns   "
          f"ratio {shared / local:.2f} (target <= 2.00)")


def main():
    descriptions = [provider.resolve() for provider in providers()]
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    with tempfile.TemporaryDirectory(dir=base) as directory:
        path = os.path.join(directory, "bench-region")
        state = HostState(path)._attach(descriptions, RouterConfig())
        shared = best_of(lambda: choose_and_record(state))
        state.close()
        local_state = private_state(descriptions, RouterConfig())
        report("choose+record, 12 providers x 2 keys:", shared,
               best_of(lambda: choose_and_record(local_state)))

        def reply(provider, key):
            return provider

        with Gateway(providers(), shared=HostState(path, fresh=True)) as gateway:
            shared = best_of(lambda: gateway.call(reply), number=5000)
        with Gateway(providers()) as gateway:
            local = best_of(lambda: gateway.call(reply), number=5000)
        report("Gateway.call, 12 providers x 2 keys:", shared, local)
    return 0


if __name__ == "__main__":
    sys.exit(main())
