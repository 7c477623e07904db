"""The loopback demo as a fleet: 3 hosts x 2 workers sharing one Redis.

Starts a redis-server of its own on 127.0.0.1, three fake provider APIs
(fake_providers.py) and six worker processes, each a gateway over
`FleetState(..., host=HostState(path))`: the two workers of a host share
one region (one lease pool, one set of trips and cool-downs, one syncer
talking to Redis for both). Midway it stops Redis (SIGSTOP), kills it and
starts it again. The report shows the fleet-wide admitted requests against
each limit, how fast a breaker trip reached the other hosts, and what
happened while Redis was away.

    python examples/demo_fleet.py [--seconds 12]
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fake_providers import FakeProvider, ProviderTraits  # noqa: E402

HOSTS, WORKERS, THREADS = 3, 2, 3
SPEED = 20.0            # simulated latencies run this many times faster
TOTAL_IDS = 100_000     # request ids map the run's time onto the outage window
SECRET = "demo-fleet-secret-not-for-production"
# name -> traits, fleet-wide request limit (max_calls a second, burst) or None
PROVIDERS = {
    "alpha": (ProviderTraits("alpha", 0.002, 0.86, 300.0, error_rate=0.01), (40, 10)),
    "beta": (ProviderTraits("beta", 0.004, 0.90, 400.0, error_rate=0.02,
                            outage=(0.15, 0.35)), (60, 20)),
    "gamma": (ProviderTraits("gamma", 0.010, 0.80, 600.0, rate_limit_rate=0.02), None),
}


# ---- a worker process --------------------------------------------------------
def worker(config: dict) -> dict:
    from velmorquist_proxy import (
        CircuitBreakerConfig, FleetState, Gateway, HostState, Provider, ProviderProfile,
        RateLimitConfig, RetryPolicy,
    )

    events, started = [], config["t0"]
    providers = []
    for name, (traits, limit) in PROVIDERS.items():
        providers.append(Provider(
            name, keys=config["keys"][name],
            profile=ProviderProfile(name, traits.cost_per_1k, traits.base_quality,
                                    traits.latency_ms),
            breaker=CircuitBreakerConfig(name, 3, 2.0, 1),
            rate=RateLimitConfig(*limit[:1], 1.0, limit[1]) if limit else False))
    fleet = FleetState(config["redis"], namespace="demo", secret=SECRET,
                       host=HostState(config["region"]))
    gateway = Gateway(providers, retry=RetryPolicy(2, 20, 200),
                      on_event=lambda e: events.append((time.monotonic(), e)), shared=fleet)
    admitted = {name: 0 for name in PROVIDERS}
    slowest = {"normal": 0.0, "redis away": 0.0}
    served = {"normal": 0, "redis away": 0}
    lock, end = threading.Lock(), started + config["seconds"]

    def run():
        while time.monotonic() < end:
            rid = int((time.monotonic() - started) / config["seconds"] * TOTAL_IDS)
            begin = time.monotonic()
            degraded = gateway.snapshot()["fleet"]["degraded"]
            try:
                for attempt in gateway.attempts(deadline_s=1.0):
                    with attempt:
                        with lock:
                            admitted[attempt.provider] += 1
                        status, body, retry = _post(config["urls"][attempt.provider],
                                                    attempt.key, rid, attempt.number)
                        attempt.check(status, retry, body)
                ok = True
            except Exception:
                ok = False
            phase = "redis away" if degraded else "normal"
            with lock:
                slowest[phase] = max(slowest[phase], time.monotonic() - begin - 0.0)
                served[phase] += ok

    time.sleep(max(0.0, started - time.monotonic()))
    syncer = gateway.snapshot()["fleet"]["syncer"]
    threads = [threading.Thread(target=run) for _ in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    gateway.close()
    return {"admitted": admitted, "served": served, "slowest": slowest, "syncer": syncer,
            "events": [(t, e.kind, e.provider, e.detail) for t, e in events
                       if e.kind in ("breaker", "fleet_degraded", "fleet_recovered")]}


def _post(url, key, rid, attempt_number):
    request = urllib.request.Request(url, data=b'{"prompt": "hello"}', method="POST", headers={
        "Authorization": f"Bearer {key}", "X-Request-Id": str(rid),
        "X-Attempt": str(attempt_number), "Content-Type": "application/json"})
    try:
        with urllib.request.urlopen(request, timeout=0.25) as reply:
            return reply.status, reply.read().decode(), None
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode(), error.headers.get("Retry-After")


# ---- the conductor -------------------------------------------------------------
def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=12.0)
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        print(json.dumps(worker(json.loads(args.worker))), flush=True)
        return
    with tempfile.TemporaryDirectory() as directory:
        redis = _Redis(directory)
        try:
            conduct(redis, args.seconds, directory)
        finally:
            redis.stop()


def conduct(redis, seconds: float, directory: str) -> None:
    keys = {name: [f"sk-{name}-{'x' * 20}{i}" for i in range(2)] for name in PROVIDERS}
    fakes = {name: FakeProvider(traits, keys[name], seed=7, total_requests=TOTAL_IDS,
                                speed=SPEED, hang_s=0.5).start()
             for name, (traits, _) in PROVIDERS.items()}
    t0 = time.monotonic() + 5.0   # every worker starts together, once all are up
    config = {"redis": redis.url, "keys": keys, "t0": t0, "seconds": seconds,
              "urls": {name: fake.url for name, fake in fakes.items()}}
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    workers = [subprocess.Popen([sys.executable, __file__, "--worker",
                                 json.dumps(config | {"region": f"{directory}/host{h}"})],
                                stdout=subprocess.PIPE, text=True, env=env)
               for h in range(HOSTS) for _ in range(WORKERS)]
    outage = _outage(redis, t0, seconds)
    results = []
    try:
        for process in workers:
            results.append(json.loads(process.stdout.readline()))
    finally:
        for process in workers:
            process.wait()
            process.stdout.close()
        for fake in fakes.values():
            fake.stop()
    report(results, outage, t0, seconds)


def _outage(redis, t0, seconds):
    """Stops Redis at 40% of the run for 2 s, kills it, restarts it 1 s later."""
    times = {}

    def act():
        time.sleep(max(0.0, t0 + 0.4 * seconds - time.monotonic()))
        times["stopped"] = time.monotonic()
        redis.pause()
        time.sleep(2.0)
        redis.kill()
        times["killed"] = time.monotonic()
        time.sleep(1.0)
        redis.start()
        times["restarted"] = time.monotonic()

    thread = threading.Thread(target=act, daemon=True)
    thread.start()
    return times


def report(results, outage, t0, seconds) -> None:
    print(f"\n== Fleet demo: {HOSTS} hosts x {WORKERS} workers, {seconds:.0f} s, "
          f"one Redis ==\n")
    print("Fleet-wide calls sent to each provider against its limit:")
    for name, (_, limit) in PROVIDERS.items():
        sent = sum(r["admitted"][name] for r in results)
        bound = f"limit {limit[1] + limit[0] * seconds:.0f} (burst {limit[1]} + " \
                f"{limit[0]}/s x {seconds:.0f} s)" if limit else "no limit"
        print(f"  {name:6} {sent:6d}   {bound}")
    print("  (while Redis is away each host spends its share: limit / live hosts)")

    print("\nBreaker trips and how fast the other hosts applied them (their syncers):")
    trips = sorted((t, p) for r in results for t, kind, p, d in r["events"]
                   if kind == "breaker" and d.get("state") == "open" and "source" not in d)
    applied = [(t, p) for r in results for t, kind, p, d in r["events"]
               if kind == "breaker" and d.get("source") == "fleet"]
    for when, provider in trips[:5]:
        delays = sorted(t - when for t, p in applied if p == provider and 0 <= t - when < 1.0)
        shown = ", ".join(f"{d * 1000:.1f}" for d in delays[:5]) or "none (already open)"
        print(f"  {provider} opened at {when - t0:5.2f} s; applied by others after ms: {shown}")
    if not trips:
        print("  none")

    print("\nWhile Redis was away:")
    stopped = outage.get("stopped", t0) - t0
    print(f"  stopped (SIGSTOP) at {stopped:.2f} s, killed at "
          f"{outage.get('killed', t0) - t0:.2f} s, restarted at "
          f"{outage.get('restarted', t0) - t0:.2f} s")
    for i, r in enumerate(results):
        if not r["syncer"]:
            continue
        marks = [(t - t0, kind) for t, kind, _, _ in r["events"] if kind.startswith("fleet_")]
        shown = ", ".join(f"{kind} at {t:.2f} s" for t, kind in marks) or "no change"
        print(f"  host {i // WORKERS} (syncer: worker {i % WORKERS}): {shown}")
    served = {phase: sum(r["served"][phase] for r in results) for phase in ("normal", "redis away")}
    slowest = {phase: max(r["slowest"][phase] for r in results) for phase in served}
    print(f"  requests served: {served['normal']} with Redis, {served['redis away']} without")
    print(f"  slowest request: {slowest['normal'] * 1000:.0f} ms with Redis, "
          f"{slowest['redis away'] * 1000:.0f} ms without (retries and provider "
          "latency included; none waited on Redis)")


class _Redis:
    """A redis-server of the demo's own, stopped by its pid."""

    def __init__(self, directory):
        with socket.socket() as sock:
            sock.bind(("127.0.0.1", 0))
            self.port = sock.getsockname()[1]
        self.directory = directory
        self.url = f"redis://127.0.0.1:{self.port}/0"
        self.process = None
        self.start()

    def start(self):
        self.process = subprocess.Popen(
            ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1", "--dir",
             self.directory, "--save", "", "--appendonly", "no", "--loglevel", "warning"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(500):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.1).close()
                return
            except OSError:
                time.sleep(0.01)
        raise RuntimeError("redis-server did not start")

    def pause(self):
        os.kill(self.process.pid, signal.SIGSTOP)

    def kill(self):
        os.kill(self.process.pid, signal.SIGCONT)
        os.kill(self.process.pid, signal.SIGKILL)
        self.process.wait()

    def stop(self):
        if self.process.poll() is None:
            self.kill()


if __name__ == "__main__":
    main()
