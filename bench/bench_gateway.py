"""The gateway's own cost for one successful request, beside its floor and a hand-made peer.

One request is "choose, then record a success": `for attempt in
gateway.attempts(): with attempt: pass`, over 12 providers with 2 keys each
and no network. Beside it, interleaved in one process:

* floor: the native calls the gateway makes for such a request (its state's
  choice calls, the clock, then the state's three records), written one after
  the other with no glue: what the work costs before any decision logic;
* by hand: the same composition written as an application would without the
  gateway (router, breaker, bucket and key pool glued together in Python,
  as the README showed before the gateway existed).

Medians of CPU-time samples, as bench_calls.py measures them; figures include
the timing loop. Adds a "gateway" section to the bench JSON.

    python bench/bench_gateway.py --json build/bench.json
"""

import argparse
import json
import os
import statistics
import time
import timeit

import velmorquist_proxy as vp

PROVIDERS = ("openai", "anthropic", "google", "groq", "together", "fireworks", "deepseek",
             "cerebras", "ollama", "mistral", "cohere", "azure_openai")
KEYS_PER_PROVIDER = 2
# A bucket that never runs dry in a run of this benchmark, so every provider
# stays eligible and the bucket is still consulted on every request.
ENDLESS = vp.RateLimitConfig(max_calls=10**15, time_window_secs=1.0)
TARGET_NS = 5_000
TARGET_RATIO = 2.0


def keys_of(name):
    return [f"sk-{name}-bench-{i}-0123456789abcdef" for i in range(KEYS_PER_PROVIDER)]


def make_gateway():
    return vp.Gateway([vp.Provider(name, keys=keys_of(name), rate=ENDLESS)
                       for name in PROVIDERS])


class NativeParts:
    """One provider's native objects, as the floor and the hand-made proxy hold them."""

    def __init__(self, name):
        self.breaker = vp.CircuitBreaker(vp.CircuitBreaker.provider_defaults(name)
                                         or vp.CircuitBreakerConfig(name), provider=name)
        self.bucket = vp.TokenBucket(ENDLESS)
        self.pool = vp.KeyPool("adaptive")
        for key in keys_of(name):
            self.pool.add_key(key)


def make_router():
    router = vp.ThompsonRouter(vp.RouterConfig())
    router.load_defaults()
    return router


class HandMadeProxy:
    """The composition an application writes by hand: pick the best-ranked
    provider its breaker, bucket and pool let through; record the outcome."""

    def __init__(self):
        self.router = make_router()
        self.parts = {name: NativeParts(name) for name in PROVIDERS}

    def pick(self, tried):
        eligible = [name for name in self.parts if name not in tried] or list(self.parts)
        for decision in self.router.rank_among(eligible):
            parts = self.parts[decision.provider_id]
            try:
                parts.breaker.allow_request()
                parts.bucket.try_acquire()
                return decision.provider_id, parts.pool.select_key()
            except vp.ProxyError:
                continue
        return None

    def complete(self, send):
        name, key = self.pick(())
        parts = self.parts[name]
        started = time.monotonic()
        answer = send(name, key)
        parts.pool.record_success(key, (time.monotonic() - started) * 1000.0)
        parts.breaker.record_success()
        self.router.record_outcome(name, 1.0)
        return answer


def floor_namespace():
    state = make_gateway()._state   # the gateway's own native state, used directly
    return {"trial_candidates": state.trial_candidates, "rank": state.rank,
            "try_breaker": state.try_breaker, "try_limits": state.try_limits,
            "select_key": state.select_key, "key_outcome": state.key_outcome,
            "reward": state.reward, "breaker_outcome": state.breaker_outcome,
            "learn_latency": state.learn_latency, "now": time.monotonic, "wall": time.time}


# The native calls the gateway makes for one successful request, in its
# order: the daily-reset check's wall clock, the providers due a trial, the
# ranking, the head's breaker, limits and key, the latency's two clock reads,
# then the four records (the router's latency, key, posterior, breaker).
FLOOR = """\
wall()
trial_candidates()
p = rank(())[0]
ticket = try_breaker(p)
try_limits(p, 0)
k = select_key(p)
started = now()
latency_ms = (now() - started) * 1000.0
learn_latency(p, latency_ms, False)
key_outcome(p, k, 0, latency_ms)
reward(p, 1.0)
breaker_outcome(p, ticket == 2, 0)
"""

GATEWAY = """\
for attempt in gateway.attempts():
    with attempt:
        pass
"""

GATEWAY_CASES = {
    "gateway: for attempt in attempts(): with attempt: pass": GATEWAY,
    "gateway: call(send)": "gateway.call(send)",
}
CASES = {
    **GATEWAY_CASES,
    "floor (its native calls, no glue)": FLOOR,
    "by hand (Python glue over the native classes)": "hand.complete(send)",
}


def seconds(statement, namespace, number, timer):
    return timeit.Timer(statement, globals=namespace, timer=timer).timeit(number)


def calibrate(statement, namespace, target_seconds, timer):
    number = 1
    while True:
        elapsed = seconds(statement, namespace, number, timer)
        if elapsed >= target_seconds:
            return number
        number *= 2 if elapsed > target_seconds / 4 else 8


def measure(samples, target_seconds, timer):
    """Median ns per request (timing loop included) of each case, and of the loop."""
    namespace = {"gateway": make_gateway(), "hand": HandMadeProxy(),
                 "send": lambda provider, key: None, **floor_namespace()}
    statements = {"loop": "pass", **CASES}
    numbers = {label: calibrate(statement, namespace, target_seconds, timer)
               for label, statement in statements.items()}
    results = {label: [] for label in statements}
    for _ in range(samples):  # interleaved, so drift hits every case alike
        for label, statement in statements.items():
            elapsed = seconds(statement, namespace, numbers[label], timer)
            results[label].append(elapsed / numbers[label] * 1e9)
    return {label: statistics.median(values) for label, values in results.items()}


def rows_of(medians):
    floor = medians["floor (its native calls, no glue)"]
    return [{"case": label, "ns_with_loop": round(medians[label], 1),
             "ratio_to_floor": round(medians[label] / floor, 2)} for label in CASES]


def verdict(rows):
    """Judged on the gateway's cheapest public path."""
    best = min((row for row in rows if row["case"] in GATEWAY_CASES),
               key=lambda row: row["ns_with_loop"])
    return {"judged": best["case"], "ns_target": TARGET_NS,
            "ns_met": best["ns_with_loop"] <= TARGET_NS, "ratio_target": TARGET_RATIO,
            "ratio_met": best["ratio_to_floor"] <= TARGET_RATIO}


def print_rows(loop_ns, rows, judged):
    print(f"\none successful request through the gateway: {len(PROVIDERS)} providers x "
          f"{KEYS_PER_PROVIDER} keys, no network (timing loop {loop_ns:.1f} ns, included)")
    width = max(len(row["case"]) for row in rows)
    print(f"  {'case':<{width}}  {'ns':>8}  {'x floor':>7}")
    print(f"  {'-' * width}  {'-' * 8}  {'-' * 7}")
    for row in rows:
        print(f"  {row['case']:<{width}}  {row['ns_with_loop']:>8.1f}  "
              f"{row['ratio_to_floor']:>7.2f}")
    words = {True: "met", False: "NOT MET"}
    print(f"  judged on the cheaper gateway path: <= {TARGET_NS / 1000:g} us "
          f"{words[judged['ns_met']]}; <= {TARGET_RATIO:g}x floor {words[judged['ratio_met']]}")


def write_json(path, section, name="gateway"):
    """Adds the section to the bench JSON, keeping what the other benches wrote."""
    document = {}
    if os.path.exists(path):
        with open(path) as existing:
            document = json.load(existing)
    document[name] = section
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    with open(path, "w") as out:
        json.dump(document, out, indent=2)
    print(f"\nwritten to {path}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--json", default=None)
    parser.add_argument("--samples", type=int, default=9)
    parser.add_argument("--target", type=float, default=0.05, help="seconds per sample")
    parser.add_argument("--timer", choices=["cpu", "wall"], default="cpu",
                        help="process CPU time (default) or wall-clock time")
    args = parser.parse_args()
    timer = time.process_time if args.timer == "cpu" else time.perf_counter
    medians = measure(args.samples, args.target, timer)
    rows = rows_of(medians)
    judged = verdict(rows)
    print_rows(medians["loop"], rows, judged)
    if args.json:
        write_json(args.json, {"providers": len(PROVIDERS), "keys_per_provider": KEYS_PER_PROVIDER,
                               "samples": args.samples, "loop_ns": round(medians["loop"], 1),
                               "rows": rows, **judged})


if __name__ == "__main__":
    main()
