"""A proxy in front of five LLM providers, simulated over real HTTP on loopback.

Run with `make demo` (or `python examples/demo.py --help`). The script starts
five fake provider APIs on 127.0.0.1 (ports chosen by the OS) with different
prices, latencies and failure habits; one of them goes down for a stretch of
the run and comes back. Several client threads then push a few thousand
requests through a proxy built from velmorquist_proxy:

* ThompsonRouter ranks the providers for every request;
* a CircuitBreaker and a TokenBucket per provider gate each call;
* a KeyPool per provider rotates that provider's API keys;
* RetryPolicy decides whether and when a failed request is tried again;
* CircuitBreaker.classify_error turns each failure into a failure type,
  and every outcome is reported back to the breaker, the pool and the router.

The simulation runs at ten times real speed: latencies, rate-limit windows,
breaker recovery times and retry delays are real-world values divided by 10.
The providers' own randomness is seeded (--seed); the module's own draws
(Thompson sampling, key choice, retry jitter) come from OS entropy, so two
runs with one seed agree on what the providers did, not on every routing
choice. Exit status 0 means the run completed.
"""

import argparse
import collections
import dataclasses
import http.client
import itertools
import ipaddress
import json
import random
import sys
import threading
import time

from fake_providers import LOOPBACK, FakeProvider, ProviderTraits

from velmorquist_proxy import (
    CircuitBreaker,
    CircuitBreakerConfig,
    CircuitOpenError,
    KeyPool,
    NoAvailableKeysError,
    ProviderProfile,
    RateLimitConfig,
    RateLimitedError,
    RetryPolicy,
    RouterConfig,
    ThompsonRouter,
    TokenBucket,
)

SPEED = 10.0                  # simulated seconds per real second
CLIENT_TIMEOUT_S = 3.0        # simulated
HANG_S = 3.5                  # simulated: how long a hanging provider holds on

# Profiles as the router sees them come from the built-in catalogue; the
# failure habits are the simulation's.
TRIAL_EVERY = 10              # share of requests offered to a half-open provider

PROVIDERS = [
    ProviderTraits("groq", 0.002, 0.85, 200, error_rate=0.01, rate_limit_rate=0.04),
    ProviderTraits("fireworks", 0.005, 0.83, 350, error_rate=0.02, outage=(0.25, 0.60)),
    ProviderTraits("together", 0.008, 0.84, 400, error_rate=0.03, rate_limit_rate=0.01,
                 quota_key_limit=120),
    ProviderTraits("deepseek", 0.004, 0.86, 600, error_rate=0.04, timeout_rate=0.02),
    ProviderTraits("openai", 0.03, 0.92, 800, error_rate=0.005, revoked_keys=1),
]
KEYS_PER_PROVIDER = 3
PHASES = ("before", "down", "back", "recovered")

# Which failure types say something about the provider's health. Rate limits
# and auth failures are about one key, and go to the key pool instead.
PROVIDER_FAULTS = frozenset({"timeout", "connection", "service_error", "unknown"})


class ProviderFailure(Exception):
    """A provider call that did not produce a completion."""

    def __init__(self, message, *, retry_after_s=0.0, code=None):
        super().__init__(message)
        self.retry_after_s = retry_after_s
        self.code = code


def call_provider(provider, key, request_id, attempt, prompt):
    """POST one completion request; return the reply or raise ProviderFailure."""
    host, port = provider.address
    assert ipaddress.ip_address(host).is_loopback, host
    connection = http.client.HTTPConnection(host, port, timeout=CLIENT_TIMEOUT_S / SPEED)
    try:
        connection.request(
            "POST", "/v1/chat/completions",
            body=json.dumps({"model": provider.traits.name, "prompt": prompt}),
            headers={"Authorization": f"Bearer {key}", "Content-Type": "application/json",
                     "X-Request-Id": str(request_id), "X-Attempt": str(attempt)})
        response = connection.getresponse()
        body = json.loads(response.read() or b"{}")
    except (OSError, http.client.HTTPException, ValueError) as error:
        raise ProviderFailure(str(error) or type(error).__name__) from None
    finally:
        connection.close()
    if response.status == 200:
        return body["choices"][0]["message"]["content"]
    error = body.get("error") or {}
    raise ProviderFailure(f"HTTP {response.status}: {error.get('message', '')}",
                          retry_after_s=float(response.getheader("Retry-After") or 0),
                          code=error.get("code"))


@dataclasses.dataclass
class ProviderStats:
    calls: int = 0
    successes: int = 0
    failures: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    refused_breaker: int = 0
    refused_bucket: int = 0
    no_key: int = 0
    trips: int = 0
    first_choice: collections.Counter = dataclasses.field(default_factory=collections.Counter)
    latency_ms_total: float = 0.0


class Proxy:
    """The application side: routing, gating, key rotation, retries, feedback."""

    def __init__(self, providers):
        self.providers = {p.traits.name: p for p in providers}
        self.ids = list(self.providers)
        self.router = ThompsonRouter(RouterConfig(explore_mode=True, decay_factor=0.95))
        # Fed the same outcomes as the router, scored by the posterior mean
        # alone (quality weight 1, nothing else), so its scores are the means.
        self.posterior = ThompsonRouter(RouterConfig(
            cost_weight=0.0, quality_weight=1.0, latency_weight=0.0, explore_mode=False,
            decay_factor=0.95))
        self.breakers, self.buckets, self.pools = {}, {}, {}
        for name, provider in self.providers.items():
            traits = provider.traits
            self.router.add_provider(
                ProviderProfile(name, traits.cost_per_1k, traits.base_quality, traits.latency_ms))
            self.posterior.add_provider(ProviderProfile(name, 0.0, 1.0, 0.0))
            defaults = CircuitBreaker.provider_defaults(name) or CircuitBreakerConfig(name)
            self.breakers[name] = CircuitBreaker(CircuitBreakerConfig(
                name, defaults.failure_threshold, defaults.recovery_timeout_secs / SPEED,
                defaults.success_threshold))
            preset = TokenBucket.provider_preset(name) or RateLimitConfig(60, 60.0)
            self.buckets[name] = TokenBucket(RateLimitConfig(
                preset.max_calls, preset.time_window_secs / SPEED, preset.burst_size))
            self.pools[name] = KeyPool("adaptive")
            for key in provider.keys:
                self.pools[name].add_key(key)
        self.policy = RetryPolicy(max_retries=3, base_delay_ms=250, max_delay_ms=4000,
                                  jitter_factor=0.5)
        self.stats = {name: ProviderStats() for name in self.providers}
        self.locks = {name: threading.Lock() for name in self.providers}
        self.feedback_lock = threading.Lock()
        self.breaker_log = []   # (seconds since start, provider, state seen or event)
        self.ticks = itertools.count()
        self.recovered_at = {}  # provider -> when its breaker last closed again
        self.last_state = {name: "closed" for name in self.providers}
        self.started = time.monotonic()

    # -- routing and gating ------------------------------------------------
    def route(self):
        """The best-ranked provider that its breaker, bucket and pool let through."""
        ranking = [decision.provider_id for decision in self.router.rank_among(self.ids)]
        # A half-open breaker is asking for trial calls, but an outage has sunk
        # its provider in the ranking: give it one request in TRIAL_EVERY.
        trial = [name for name in self.ids if self.breakers[name].state == "half_open"]
        if trial and next(self.ticks) % TRIAL_EVERY == 0:
            ranking.remove(trial[0])
            ranking.insert(0, trial[0])
        for name in ranking:
            stats = self.stats[name]
            try:
                self.breakers[name].allow_request()
            except CircuitOpenError:
                with self.locks[name]:
                    stats.refused_breaker += 1
                continue
            try:
                self.buckets[name].try_acquire()
            except RateLimitedError:
                with self.locks[name]:
                    stats.refused_bucket += 1
                continue
            try:
                key = self.pools[name].select_key()
            except NoAvailableKeysError:
                with self.locks[name]:
                    stats.no_key += 1
                continue
            return name, key
        return None

    # -- feedback ----------------------------------------------------------
    def _breaker_event(self, name, record):
        """Apply one breaker update, noting a trip and every state change seen."""
        breaker = self.breakers[name]
        with self.locks[name]:
            before = breaker.state
            record(breaker)
            after = breaker.state
            for state in (before, after):
                if state != self.last_state[name]:
                    self.last_state[name] = state
                    self.breaker_log.append((time.monotonic() - self.started, name, state))
            if after == "open" and before != "open":
                self.stats[name].trips += 1
            if before == "half_open" and after == "closed":
                self._fresh_start(name)
                self.recovered_at[name] = time.monotonic()
                self.breaker_log.append((time.monotonic() - self.started, name, "fresh posterior"))

    def _fresh_start(self, name):
        """Forget an outage once the breaker has seen its provider recover.

        Thompson sampling alone would take a long time to trust the provider
        again, since its posterior changes only when it gets traffic. Removing
        and re-adding it gives it a fresh posterior.
        """
        traits = self.providers[name].traits
        with self.feedback_lock:
            for router, profile in (
                    (self.router, ProviderProfile(
                        name, traits.cost_per_1k, traits.base_quality, traits.latency_ms)),
                    (self.posterior, ProviderProfile(name, 0.0, 1.0, 0.0))):
                router.remove_provider(name)
                router.add_provider(profile)

    def _reward(self, name, reward):
        # One lock keeps the router and its mirror seeing outcomes in one order.
        with self.feedback_lock:
            self.router.record_outcome(name, reward)
            self.posterior.record_outcome(name, reward)

    def succeeded(self, name, key, latency_ms):
        self._breaker_event(name, CircuitBreaker.record_success)
        self.pools[name].record_success(key, latency_ms)
        self._reward(name, 1.0)
        with self.locks[name]:
            self.stats[name].successes += 1
            self.stats[name].latency_ms_total += latency_ms

    def failed(self, name, key, failure):
        failure_type = CircuitBreaker.classify_error(str(failure))
        with self.locks[name]:
            self.stats[name].failures[failure_type] += 1
        pool = self.pools[name]
        if failure.code == "insufficient_quota":
            pool.record_exhausted(key)
        elif failure_type == "rate_limit":
            pool.record_rate_limit(key, (failure.retry_after_s or 1.0) / SPEED)
        elif failure_type == "auth":
            pool.disable_key(key)
        else:
            pool.record_error(key)
        if failure_type in PROVIDER_FAULTS:
            self._breaker_event(name, lambda breaker: breaker.record_failure(failure_type))
            self._reward(name, 0.0)
        return failure_type

    # -- one request, with retries ------------------------------------------
    def handle(self, request_id, phase, prompt):
        """Serve one request. Returns (succeeded, attempts)."""
        attempt = 0
        calls = 0
        while True:
            choice = self.route()
            if choice is not None:
                name, key = choice
                stats = self.stats[name]
                with self.locks[name]:
                    stats.calls += 1
                    if calls == 0:
                        stats.first_choice[phase] += 1
                calls += 1
                start = time.monotonic()
                try:
                    call_provider(self.providers[name], key, request_id, attempt, prompt)
                except ProviderFailure as failure:
                    failure_type = self.failed(name, key, failure)
                else:
                    self.succeeded(name, key, (time.monotonic() - start) * 1000.0 * SPEED)
                    return True, attempt + 1
                if failure_type == "auth" and calls <= KEYS_PER_PROVIDER:
                    continue  # a revoked key, now disabled: try another key at once
            if not self.policy.should_retry(attempt):
                return False, attempt + 1
            time.sleep(self.policy.delay_ms(attempt) / 1000.0 / SPEED)
            attempt += 1


class Run:
    """Hands out request ids to the client threads and keeps the totals."""

    def __init__(self, proxy, total, threads, down, seed):
        self.proxy = proxy
        self.total = total
        self.threads = threads
        self.down_name = down.traits.name
        self.down_from, self.down_until = down.down_from, down.down_until
        self.outage_over_at = None
        self.rng = random.Random(seed)
        self.lock = threading.Lock()
        self.next_id = 0
        self.done = self.ok = self.failed = self.attempts = 0
        self.errors = []
        self.snapshots = {}    # phase boundary -> posterior means

    def phase(self, request_id):
        if request_id < self.down_from:
            return "before"
        if request_id < self.down_until:
            return "down"
        recovered = self.proxy.recovered_at.get(self.down_name)
        if recovered is None or self.outage_over_at is None or recovered < self.outage_over_at:
            return "back"   # answering again, but its breaker has not closed yet
        return "recovered"

    def take(self):
        with self.lock:
            if self.next_id >= self.total:
                return None
            request_id = self.next_id
            self.next_id += 1
            prompt = f"request {request_id}: " + self.rng.choice(
                ("summarise this page", "translate to French", "write a haiku",
                 "explain the stack trace", "draft a reply"))
        for boundary, label in ((self.down_from, "outage began"),
                                (self.down_until, "outage ended")):
            if request_id == boundary:
                self.snapshots[label] = posterior_means(self.proxy)
        if request_id == self.down_until:
            self.outage_over_at = time.monotonic()
        return request_id, prompt

    def worker(self):
        try:
            while (job := self.take()) is not None:
                request_id, prompt = job
                ok, attempts = self.proxy.handle(request_id, self.phase(request_id), prompt)
                with self.lock:
                    self.done += 1
                    self.ok += ok
                    self.failed += not ok
                    self.attempts += attempts
        except BaseException as error:  # noqa: BLE001 - reported, and fails the run
            with self.lock:
                self.errors.append(error)
                self.next_id = self.total  # stop the others


def posterior_means(proxy):
    return {d.provider_id: d.score for d in proxy.posterior.rank_among()}


def progress_line(run, proxy, elapsed):
    width = 30
    filled = width * run.done // run.total
    not_closed = [f"{name} {breaker.state.upper()}" for name, breaker in proxy.breakers.items()
                  if breaker.state != "closed"]
    return (f"[{'#' * filled}{'.' * (width - filled)}] {run.done:>5}/{run.total} "
            f"ok {run.ok:>5} failed {run.failed:>3} retries {run.attempts - run.done:>4} "
            f"{elapsed:5.1f}s  breakers: {', '.join(not_closed) or 'all closed'}")


def show_progress(run, proxy, stop, out):
    tty = out.isatty()
    next_mark = 0.1
    while not stop.wait(0.2):
        elapsed = time.monotonic() - proxy.started
        if tty:
            print("\r" + progress_line(run, proxy, elapsed).ljust(110), end="", file=out, flush=True)
        elif run.done >= next_mark * run.total:
            print(progress_line(run, proxy, elapsed), file=out, flush=True)
            next_mark += 0.1
    if tty:
        print("\r" + progress_line(run, proxy, time.monotonic() - proxy.started).ljust(110),
              file=out, flush=True)


def table(headers, rows, aligns=None):
    aligns = aligns or ["<"] + [">"] * (len(headers) - 1)
    cells = [headers] + [[str(cell) for cell in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    lines = ["  ".join(f"{cell:{align}{width}}" for cell, align, width in zip(row, aligns, widths))
             for row in cells]
    lines.insert(1, "  ".join("-" * width for width in widths))
    return "\n".join("  " + line for line in lines)


def report(run, proxy, down_name, wall_s, seed):
    stats = proxy.stats
    final_means = posterior_means(proxy)
    print("\n== Run ==")
    print(f"  {run.total} requests from {run.threads} threads in {wall_s:.1f} s "
          f"(seed {seed}, {SPEED:g}x simulated speed)")
    print(f"  succeeded {run.ok}, failed after retries {run.failed}, provider calls "
          f"{sum(s.calls for s in stats.values())}, retries {run.attempts - run.done}")

    print("\n== Providers ==")
    rows = []
    for name, s in stats.items():
        failures = sum(s.failures.values())
        mean_latency = s.latency_ms_total / s.successes if s.successes else 0.0
        rows.append([name, s.calls, s.successes, failures, s.refused_breaker, s.refused_bucket,
                     s.no_key, s.trips, f"{mean_latency:.0f}", f"{final_means[name]:.3f}"])
    print(table(["provider", "calls", "ok", "failed", "breaker refusals", "bucket refusals",
                 "no key", "trips", "ms/ok", "posterior mean"], rows))
    kinds = sorted({kind for s in stats.values() for kind in s.failures})
    if kinds:
        print("\n  failures by type (CircuitBreaker.classify_error):")
        print(table(["provider"] + kinds,
                    [[name] + [s.failures.get(kind, 0) for kind in kinds]
                     for name, s in stats.items()]))

    print("\n== Keys ==")
    rows = []
    for name, pool in proxy.pools.items():
        for summary in pool.list_keys():
            rows.append([name, summary.key_masked, summary.status, summary.total_requests,
                         summary.total_errors, summary.total_rate_limits,
                         f"{summary.avg_latency_ms:.0f}", f"{summary.health_score:.2f}"])
    print(table(["provider", "key", "status", "requests", "errors", "rate limits",
                 "avg ms", "health"], rows, ["<", "<", "<"] + [">"] * 5))
    print("  (an adaptive pool counts a request when it selects the key and again when\n"
          "   its outcome is recorded; health is at most 0.40 with the pool's weights)")

    print(f"\n== Routing while {down_name} went down and came back ==")
    print("  share of first attempts per phase of the run "
          f"(down: requests {run.down_from}-{run.down_until - 1}):")
    totals = {phase: sum(s.first_choice[phase] for s in stats.values()) for phase in PHASES}
    rows = [[name] + [f"{100.0 * s.first_choice[p] / totals[p]:.1f}%" if totals[p] else "-"
                      for p in PHASES] for name, s in stats.items()]
    print(table(["provider", "before", f"{down_name} down", "back, breaker open",
                 "breaker closed again"], rows))
    print("\n  posterior mean of each provider's success rate:")
    columns = [label for label in ("outage began", "outage ended") if label in run.snapshots]
    rows = [[name] + [f"{run.snapshots[label][name]:.3f}" for label in columns]
            + [f"{final_means[name]:.3f}"] for name in stats]
    print(table(["provider"] + columns + ["end of run"], rows))
    events = [event for event in proxy.breaker_log if event[1] == down_name]
    print(f"\n  {down_name} breaker: " + (", ".join(
        f"{t:.1f}s {state}" for t, _, state in events) if events else "never left closed"))


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--requests", type=int, default=3000,
                        help="number of proxied requests (default 3000)")
    parser.add_argument("--threads", type=int, default=8,
                        help="client threads (default 8)")
    parser.add_argument("--seed", type=int, default=2024,
                        help="seed of the simulated providers' behaviour (default 2024)")
    args = parser.parse_args(argv)
    if args.requests < 1 or args.threads < 1:
        parser.error("--requests and --threads must be at least 1")
    return args


def main(argv=None):
    args = parse_args(argv)
    key_rng = random.Random(args.seed)
    providers = []
    for traits in PROVIDERS:
        keys = [f"sk-{traits.name}-{key_rng.getrandbits(64):016x}" for _ in range(KEYS_PER_PROVIDER)]
        providers.append(FakeProvider(traits, keys, seed=args.seed, total_requests=args.requests,
                                      speed=SPEED, hang_s=HANG_S / SPEED))
    down = next(p for p in providers if p.traits.outage)
    for provider in providers:
        provider.start()
    try:
        print("fake providers on loopback:")
        for provider in providers:
            print(f"  {provider.traits.name:<10} {provider.url}")
        proxy = Proxy(providers)
        run = Run(proxy, args.requests, args.threads, down, args.seed)
        print(f"\n{args.requests} requests, {args.threads} threads; {down.traits.name} is down "
              f"for requests {down.down_from}-{down.down_until - 1}\n")
        stop = threading.Event()
        progress = threading.Thread(target=show_progress, args=(run, proxy, stop, sys.stdout),
                                    daemon=True)
        progress.start()
        workers = [threading.Thread(target=run.worker, name=f"client-{i}", daemon=True)
                   for i in range(args.threads)]
        started = time.monotonic()
        for worker in workers:
            worker.start()
        try:
            for worker in workers:
                worker.join()
        except KeyboardInterrupt:
            print("\ninterrupted", file=sys.stderr)
            return 130
        finally:
            stop.set()
            progress.join()
        wall_s = time.monotonic() - started
    finally:
        for provider in providers:
            provider.stop()
    if run.errors or run.done != run.total:
        print(f"\nthe run did not complete: {run.errors[:1]!r}", file=sys.stderr)
        return 1
    report(run, proxy, down.traits.name, wall_s, args.seed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
