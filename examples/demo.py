"""A proxy in front of five LLM providers, simulated over real HTTP on loopback.

Run with `make demo` (or `python examples/demo.py --help`). The script starts
five fake provider APIs on 127.0.0.1 (ports chosen by the OS, in a child
process so they do not compete with the proxy for the interpreter) with different
prices, latencies and failure habits; one of them goes down for a stretch of
the run and comes back. In front of them runs a proxy, an OpenAI-style
`POST /v1/chat/completions` endpoint on 127.0.0.1 as well, which forwards
every request through one velmorquist_proxy `Gateway`: the gateway ranks the
providers, gates each call with the provider's breaker and rate limit, picks
the key, classifies the outcome, cools, disables or retires keys, falls back
and retries. Several client threads then push a few thousand requests
through the proxy.

The report reads the gateway's `snapshot()` and the events it emitted, and
the proxy's own overhead per request beside the part spent inside the
gateway.

The simulation runs at ten times real speed: latencies, rate-limit windows,
breaker recovery times, Retry-After hints and retry delays are real-world
values divided by 10. The providers' own randomness is seeded (--seed); the
gateway's draws (Thompson sampling, key choice, retry jitter) come from OS
entropy, so two runs with one seed agree on what the providers did, not on
every routing choice. Exit status 0 means the run completed.
"""

import argparse
import http.client
import json
import random
import sys
import threading
import time

from demo_events import EventLog
from demo_report import progress_line, report
from fake_providers import ProviderTraits
from loopback_proxy import ProxyServer, note_retry_wait
from provider_process import ProviderProcess

from velmorquist_proxy import (
    CircuitBreaker,
    CircuitBreakerConfig,
    Gateway,
    Provider,
    RateLimitConfig,
    RetryPolicy,
    RouterConfig,
    TokenBucket,
)

SPEED = 10.0                  # simulated seconds per real second
UPSTREAM_TIMEOUT_S = 3.0      # simulated
HANG_S = 3.5                  # simulated: how long a hanging provider holds on
CLIENT_TIMEOUT_S = 30.0       # real: the proxy answers long before this

# The router sees each provider's catalogue profile; the failure habits are
# the simulation's.
PROVIDERS = [
    ProviderTraits("groq", 0.002, 0.85, 200, error_rate=0.01, rate_limit_rate=0.04),
    ProviderTraits("fireworks", 0.005, 0.83, 350, error_rate=0.02, outage=(0.25, 0.60)),
    ProviderTraits("together", 0.008, 0.84, 400, error_rate=0.03, rate_limit_rate=0.01,
                   quota_key_limit=120),
    ProviderTraits("deepseek", 0.004, 0.86, 600, error_rate=0.04, timeout_rate=0.02),
    ProviderTraits("openai", 0.03, 0.92, 800, error_rate=0.005, revoked_keys=1),
]
KEYS_PER_PROVIDER = 3
PROMPTS = ("summarise this page", "translate to French", "write a haiku",
           "explain the stack trace", "draft a reply")


def simulated(traits, keys):
    """The gateway's view of one provider, with its built-in times sped up."""
    name = traits.name
    breaker = CircuitBreaker.provider_defaults(name) or CircuitBreakerConfig(name)
    rate = TokenBucket.provider_preset(name) or RateLimitConfig(60, 60.0)
    return Provider(
        name, keys,
        breaker=CircuitBreakerConfig(name, breaker.failure_threshold,
                                     breaker.recovery_timeout_secs / SPEED,
                                     breaker.success_threshold),
        rate=RateLimitConfig(rate.max_calls, rate.time_window_secs / SPEED, rate.burst_size))


def build_gateway(providers, on_event):
    return Gateway(
        [simulated(provider.traits, provider.keys) for provider in providers],
        retry=RetryPolicy(max_retries=3, base_delay_ms=round(250 / SPEED),
                          max_delay_ms=round(4000 / SPEED), jitter_factor=0.5),
        router=RouterConfig(explore_mode=True, decay_factor=0.95),
        on_event=on_event)


class Run:
    """The client side: hands out request ids to the threads and tallies what
    came back (the proxy names the providers it tried in a header)."""

    def __init__(self, gateway, events, proxy_address, total, threads, down, seed):
        self.gateway = gateway
        self.events = events
        self.proxy_address = proxy_address
        self.total = total
        self.threads = threads
        self.down_name = down.traits.name
        self.down_from, self.down_until = down.down_from, down.down_until
        self.outage_over_at = None
        self.rng = random.Random(seed)
        self.lock = threading.Lock()
        self.next_id = 0
        self.done = self.ok = self.failed = 0
        self.errors = []
        self.calls = {p.name: 0 for p in PROVIDERS}
        self.answered = {p.name: 0 for p in PROVIDERS}
        self.first_choice = {}      # (phase, provider) -> requests
        self.posteriors = {}        # moment -> provider -> posterior mean

    def phase(self, request_id):
        if request_id < self.down_from:
            return "before"
        if request_id < self.down_until:
            return "down"
        recovered = self.events.closed_at(self.down_name)
        if recovered is None or self.outage_over_at is None or recovered < self.outage_over_at:
            return "back"   # answering again, but its breaker has not closed yet
        return "recovered"

    def take(self):
        with self.lock:
            if self.next_id >= self.total:
                return None
            request_id = self.next_id
            self.next_id += 1
            prompt = f"request {request_id}: {self.rng.choice(PROMPTS)}"
        for boundary, label in ((self.down_from, "outage began"),
                                (self.down_until, "outage ended")):
            if request_id == boundary:
                self.posteriors[label] = posterior_means(self.gateway.snapshot())
        if request_id == self.down_until:
            self.outage_over_at = time.monotonic()
        return request_id, prompt, self.phase(request_id)

    def tally(self, phase, status, tried):
        with self.lock:
            self.done += 1
            self.ok += status == 200
            self.failed += status != 200
            for name in tried:
                self.calls[name] += 1
            if tried:
                key = (phase, tried[0])
                self.first_choice[key] = self.first_choice.get(key, 0) + 1
            if status == 200:
                self.answered[tried[-1]] += 1

    def worker(self):
        host, port = self.proxy_address
        connection = http.client.HTTPConnection(host, port, timeout=CLIENT_TIMEOUT_S)
        try:
            while (job := self.take()) is not None:
                request_id, prompt, phase = job
                connection.request(
                    "POST", "/v1/chat/completions",
                    body=json.dumps({"model": "auto",
                                     "messages": [{"role": "user", "content": prompt}]}),
                    headers={"Content-Type": "application/json",
                             "X-Request-Id": str(request_id)})
                response = connection.getresponse()
                response.read()
                tried = (response.getheader("X-Attempted-Providers") or "").split(",")
                self.tally(phase, response.status, [name for name in tried if name])
        except BaseException as error:  # noqa: BLE001 - reported, and fails the run
            with self.lock:
                self.errors.append(error)
                self.next_id = self.total  # stop the others
        finally:
            connection.close()


def posterior_means(snapshot):
    return {name: provider["posterior"]["mean"]
            for name, provider in snapshot["providers"].items()}


def show_progress(run, started, stop, out):
    tty = out.isatty()
    next_mark = 0.1
    while not stop.wait(0.2):
        line = progress_line(run, run.gateway.snapshot(), time.monotonic() - started)
        if tty:
            print("\r" + line.ljust(110), end="", file=out, flush=True)
        elif run.done >= next_mark * run.total:
            print(line, file=out, flush=True)
            next_mark += 0.1
    if tty:
        line = progress_line(run, run.gateway.snapshot(), time.monotonic() - started)
        print("\r" + line.ljust(110), file=out, flush=True)


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


def provider_process(args):
    """The fake providers, each with its keys, in a child process."""
    key_rng = random.Random(args.seed)
    traits_and_keys = [(traits, [f"sk-{traits.name}-{key_rng.getrandbits(64):016x}"
                                 for _ in range(KEYS_PER_PROVIDER)])
                       for traits in PROVIDERS]
    return ProviderProcess(traits_and_keys, seed=args.seed, total_requests=args.requests,
                           speed=SPEED, hang_s=HANG_S / SPEED)


def drive(run, started):
    """Runs the client threads to the end; False when interrupted."""
    stop = threading.Event()
    progress = threading.Thread(target=show_progress, args=(run, started, stop, sys.stdout),
                                daemon=True)
    progress.start()
    workers = [threading.Thread(target=run.worker, name=f"client-{i}", daemon=True)
               for i in range(run.threads)]
    for worker in workers:
        worker.start()
    try:
        for worker in workers:
            worker.join()
    except KeyboardInterrupt:
        return False
    finally:
        stop.set()
        progress.join()
    return True


def main(argv=None):
    args = parse_args(argv)
    events = EventLog()

    def on_event(event):
        if event.kind == "retry_wait":
            note_retry_wait()
        events.record(event)

    with provider_process(args) as child:
        providers = child.providers
        down = next(p for p in providers if p.traits.outage)
        with build_gateway(providers, on_event) as gateway:
            proxy = ProxyServer(gateway, {p.traits.name: p.address for p in providers},
                                upstream_timeout_s=UPSTREAM_TIMEOUT_S / SPEED).start()
            try:
                outcome = run_through(proxy, gateway, events, providers, down, args)
            finally:
                proxy.stop()
    if outcome is None:
        print("\ninterrupted", file=sys.stderr)
        return 130
    run, snapshot, wall_s = outcome
    if run.errors or run.done != run.total:
        print(f"\nthe run did not complete: {run.errors[:1]!r}", file=sys.stderr)
        return 1
    report(run, snapshot, events, proxy.timings, wall_s, args.seed, SPEED)
    return 0


def run_through(proxy, gateway, events, providers, down, args):
    """(run, final snapshot, seconds) of the client threads' run; None if interrupted."""
    print("fake providers on loopback:")
    for provider in providers:
        print(f"  {provider.traits.name:<10} {provider.url}")
    print(f"proxy:\n  {'gateway':<10} {proxy.url}")
    run = Run(gateway, events, proxy.address, args.requests, args.threads, down, args.seed)
    print(f"\n{args.requests} requests, {args.threads} threads; {down.traits.name} is down "
          f"for requests {down.down_from}-{down.down_until - 1}\n")
    started = time.monotonic()
    events.start(started)
    if not drive(run, started):
        return None
    return run, gateway.snapshot(), time.monotonic() - started


if __name__ == "__main__":
    sys.exit(main())
