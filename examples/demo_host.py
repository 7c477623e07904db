"""Four worker processes on one host, one rate limit: HostState at work.

Run with `make demo` (after the main demo) or `python examples/demo_host.py`.
Two fake provider APIs listen on 127.0.0.1: "groq", fast and cheap, so the
router ranks it first, with a request limit of 10 per second (burst 10), and
"together", unlimited. Four worker processes, started like a server's
`--workers 4`, each build their own Gateway over the same shared-memory
region and send requests as fast as they can for a few seconds.

Every worker draws from the one host-wide bucket: the calls that reach groq
add up to at most burst + rate x elapsed across all four processes, and the
rest fall back to together. With the default in-process state each worker
would have its own bucket and groq would see up to four times that.
"""

import argparse
import collections
import http.client
import ipaddress
import json
import multiprocessing
import os
import sys
import tempfile
import time

from fake_providers import FakeProvider, ProviderTraits

from velmorquist_proxy import (
    AllProvidersFailed,
    Gateway,
    HostState,
    Provider,
    ProviderFailure,
    ProviderProfile,
    RateLimitConfig,
    RetryPolicy,
    RouterConfig,
)

RATE = RateLimitConfig(max_calls=10, time_window_secs=1.0, burst_size=10)
TRAITS = (
    ProviderTraits("groq", 0.002, 0.85, 20),
    ProviderTraits("together", 0.03, 0.84, 40),
)
KEYS = {
    "groq": ("sk-g-demo-host-key-01", "sk-g-demo-host-key-02"),
    "together": ("sk-t-demo-host-key-01",),
}
CLIENT_TIMEOUT_S = 2.0


def providers():
    # together is told to the router as the dear, slow fallback it is here.
    fallback = ProviderProfile("together", 0.03, 0.84, 900.0)
    return [Provider("groq", list(KEYS["groq"]), rate=RATE),
            Provider("together", list(KEYS["together"]), profile=fallback, rate=False)]


def make_gateway(path):
    # Ranking by the posterior mean keeps groq first while it serves well, so
    # every request asks its bucket before falling back.
    return Gateway(providers(), shared=HostState(path), deadline_s=2.0,
                   retry=RetryPolicy(2, 50, 200, 0.5), router=RouterConfig(explore_mode=False))


def send(address, key, request_id):
    """POST one completion request; the reply's text, or ProviderFailure."""
    host, port = address
    assert ipaddress.ip_address(host).is_loopback, host
    connection = http.client.HTTPConnection(host, port, timeout=CLIENT_TIMEOUT_S)
    try:
        connection.request(
            "POST", "/v1/chat/completions", body=json.dumps({"prompt": "hello"}),
            headers={"Authorization": f"Bearer {key}", "Content-Type": "application/json",
                     "X-Request-Id": str(request_id), "X-Attempt": "0"})
        response = connection.getresponse()
        body = json.loads(response.read() or b"{}")
    except (OSError, http.client.HTTPException, ValueError) as error:
        raise ProviderFailure(str(error) or type(error).__name__) from None
    finally:
        connection.close()
    if response.status != 200:
        raise ProviderFailure(f"HTTP {response.status}", status=response.status,
                              retry_after=response.getheader("Retry-After"))
    return body["choices"][0]["message"]["content"]


def worker(index, path, addresses, ready, start, until, results):
    """One worker process: its own gateway over the shared region."""
    sent = collections.Counter()
    served = collections.Counter()

    def call(provider, key):
        sent[provider] += 1
        return send(addresses[provider], key, index * 1_000_000 + sum(sent.values()))

    with make_gateway(path) as gateway:
        ready.wait()
        start.wait()
        while time.monotonic() < until.value:
            try:
                for attempt in gateway.attempts():
                    with attempt:
                        call(attempt.provider, attempt.key)
                served[attempt.provider] += 1
            except AllProvidersFailed:
                served["failed"] += 1
    results.put((index, dict(sent), dict(served)))


def run(workers, seconds):
    servers = [FakeProvider(traits, KEYS[traits.name], seed=1, total_requests=10**6,
                            speed=1.0, hang_s=CLIENT_TIMEOUT_S) for traits in TRAITS]
    for server in servers:
        server.start()
    addresses = {server.traits.name: server.address for server in servers}
    directory = tempfile.mkdtemp(dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    path = os.path.join(directory, "demo-region")
    context = multiprocessing.get_context("spawn")
    results = context.Queue()
    ready, start = context.Barrier(workers + 1), context.Event()
    until = context.Value("d", 0.0)
    try:
        # The region is made here, and every worker attaches to it before the
        # clock starts: the bucket holds its burst at the start, no more.
        with make_gateway(path) as gateway:
            processes = [context.Process(target=worker, args=(i, path, addresses, ready,
                                                              start, until, results))
                         for i in range(workers)]
            for process in processes:
                process.start()
            try:
                ready.wait(timeout=120)
                began = time.monotonic()
                until.value = began + seconds
                start.set()
                reports = sorted(results.get(timeout=seconds + 60) for _ in processes)
            finally:
                for process in processes:
                    process.join(timeout=30)
                    if process.is_alive():
                        process.kill()
                        process.join()
            elapsed = time.monotonic() - began
            snapshot = gateway.snapshot()
    finally:
        for server in servers:
            server.stop()
        for name in ("demo-region", "demo-region.key"):
            if os.path.exists(os.path.join(directory, name)):
                os.remove(os.path.join(directory, name))
        os.rmdir(directory)
    return reports, elapsed, snapshot


def report(workers, reports, elapsed, snapshot):
    # Admissions end when the last request does, at most `elapsed` after the start.
    rate = RATE.max_calls / RATE.time_window_secs
    limit = RATE.burst_size + rate * elapsed
    print("== One host, one region ==")
    print(f"  {workers} worker processes, {elapsed:.1f} s, region shared through HostState")
    print(f"  groq: {RATE.max_calls} requests per {RATE.time_window_secs:g} s, "
          f"burst {RATE.burst_size}; together: unlimited")
    print()
    print(f"  {'worker':<8}{'sent to groq':>14}{'to together':>14}{'served':>9}{'failed':>9}")
    total = collections.Counter()
    for index, sent, served in reports:
        total.update(sent)
        served_total = sum(n for name, n in served.items() if name != "failed")
        print(f"  {index:<8}{sent.get('groq', 0):>14}{sent.get('together', 0):>14}"
              f"{served_total:>9}{served.get('failed', 0):>9}")
    print()
    admitted = total["groq"]
    verdict = "within" if admitted <= limit else "OVER"
    print(f"  host-wide admitted to groq: {admitted} of at most {limit:.0f} "
          f"(burst {RATE.burst_size} + {rate:g}/s x {elapsed:.1f} s): {verdict} the limit")
    print(f"  in-process state would have allowed up to {workers * limit:.0f} "
          f"({workers} buckets of {limit:.0f})")
    level = snapshot["providers"]["groq"]["bucket"]["requests"]
    print(f"  groq's shared bucket now holds {level:.1f} requests")
    return admitted <= limit


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=4, help="worker processes (default 4)")
    parser.add_argument("--seconds", type=float, default=4.0,
                        help="how long the workers send requests (default 4)")
    args = parser.parse_args(argv)
    if args.workers < 1:
        parser.error("--workers must be at least 1")
    if not args.seconds > 0:
        parser.error("--seconds must be positive")
    reports, elapsed, snapshot = run(args.workers, args.seconds)
    return 0 if report(args.workers, reports, elapsed, snapshot) else 1


if __name__ == "__main__":
    sys.exit(main())
