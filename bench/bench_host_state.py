"""One successful request's state work (choose + record), 12 providers with two
keys each: on a host-shared region (HostState) against the same calls on the
in-process native objects. Target: shared <= 2x in-process."""

import os
import sys
import tempfile
import timeit
from types import SimpleNamespace

from velmorquist_proxy import (
    CircuitBreaker,
    CircuitBreakerConfig,
    HostState,
    KeyPool,
    ProviderProfile,
    RateLimitConfig,
    RouterConfig,
    ThompsonRouter,
    TokenBucket,
)

NAMES = [f"p{i:02d}" for i in range(12)]
RATE = RateLimitConfig(10**9, 1.0)


def specs():
    return [SimpleNamespace(name=name, keys=(f"sk-{name}-key-a000", f"sk-{name}-key-b000"),
                            profile=ProviderProfile(name, 0.01, 0.9, 100.0),
                            breaker=CircuitBreakerConfig(name), rate=RATE, token_rate=None,
                            key_strategy="adaptive", weights=(1.0, 1.0),
                            daily_limits=(None, None)) for name in NAMES]


def shared_request(state, candidates):
    p = state.rank(candidates)[0]
    state.try_breaker(p)
    state.try_limits(p, 0)
    k = state.select_key(p)
    state.breaker_outcome(p, False, 0)
    state.reward(p, 1.0)
    state.key_outcome(p, k, 0, 12.0)


def local_request(router, breakers, buckets, pools):
    name = router.rank_among()[0].provider_id
    breakers[name].allow_request()
    buckets[name].try_acquire()
    key = pools[name].select_key()
    breakers[name].record_success()
    router.record_outcome(name, 1.0)
    pools[name].record_success(key, 12.0)


def best_of(function, number=20000, repeat=5):
    return min(timeit.repeat(function, number=number, repeat=repeat)) / number * 1e9


def main():
    with tempfile.TemporaryDirectory(dir="/dev/shm" if os.path.isdir("/dev/shm") else None) as d:
        state = HostState(os.path.join(d, "bench-region"))._attach(specs(), RouterConfig())
        candidates = list(range(len(NAMES)))
        shared = best_of(lambda: shared_request(state, candidates))
        del state
    router = ThompsonRouter(RouterConfig())
    breakers, buckets, pools = {}, {}, {}
    for spec in specs():
        router.add_provider(spec.profile)
        breakers[spec.name] = CircuitBreaker(spec.breaker)
        buckets[spec.name] = TokenBucket(RATE)
        pools[spec.name] = KeyPool("adaptive")
        for key in spec.keys:
            pools[spec.name].add_key(key)
    local = best_of(lambda: local_request(router, breakers, buckets, pools))
    ratio = shared / local
    print(f"choose+record, 12 providers x 2 keys: host-shared {shared:8.0f} ns   "
          f"in-process {local:8.0f} ns   ratio {ratio:.2f} (target <= 2.00)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
