"""Fleet hosts for the tests: gateways over FleetState on one provider."""

from __future__ import annotations

import time

from velmorquist_proxy import (
    AllProvidersFailed, CircuitBreakerConfig, FleetState, Gateway, Provider,
    ProviderFailure, RateLimitConfig, RetryPolicy,
)

SECRET = "fleet-test-secret-0123456789"
KEYS = ["sk-live-aaaaaaaaaaaaaaaaaaaa01", "sk-live-bbbbbbbbbbbbbbbbbbbb02"]


def fleet_gateway(url, namespace="fleet", events=None, rate=None, secret=SECRET,
                  **fleet_options):
    """One host: a failure opens the breaker for a minute; no retries."""
    fleet = FleetState(url, namespace=namespace, secret=secret, **fleet_options)
    provider = Provider("acme", keys=KEYS, breaker=CircuitBreakerConfig("acme", 1, 60.0, 1),
                        rate=rate if rate is not None else False, key_strategy="round_robin")
    return Gateway([provider], retry=RetryPolicy(max_retries=0),
                   on_event=None if events is None else events.append, shared=fleet)


def succeed(provider, key):
    return "ok"


def fail_with(status, retry_after=None, key=None):
    """A send that fails with `status` (only for `key` when given)."""
    def send(provider, used_key):
        if key is None or used_key == key:
            raise ProviderFailure("upstream said no", status=status, retry_after=retry_after)
        return "ok"
    return send


def try_once(gateway, send=succeed) -> bool:
    """True when the call went out and succeeded; never raises for refusals."""
    try:
        gateway.call(send, deadline_s=0.05)
        return True
    except (AllProvidersFailed, ProviderFailure):
        return False


def wait_for(condition, timeout=5.0) -> float:
    """Seconds until `condition()` held; fails past `timeout` (generous: the
    figures themselves are reported by the demo)."""
    start = time.monotonic()
    while not condition():
        if time.monotonic() - start > timeout:
            raise AssertionError(f"not within {timeout} s")
        time.sleep(0.002)
    return time.monotonic() - start


def host_options(region_path):
    """FleetState options for one process of a host region (None: its own host)."""
    from velmorquist_proxy import HostState
    return {} if region_path is None else {"host": HostState(region_path)}


def hammer(url, namespace, max_calls, window, burst, seconds, threads, go, region_path=None):
    """Runs `threads` threads of calls for `seconds` from the moment `go`
    returns; gives the monotonic times of the successes and of the start."""
    import threading

    start = time.monotonic()
    gateway = fleet_gateway(url, namespace, rate=RateLimitConfig(max_calls, window, burst),
                            **host_options(region_path))
    successes: list[float] = []
    go()
    end = time.monotonic() + seconds

    def run():
        while time.monotonic() < end:
            if try_once(gateway):
                successes.append(time.monotonic())

    workers = [threading.Thread(target=run) for _ in range(threads)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    syncer = gateway.snapshot()["fleet"].get("syncer")
    gateway.close()
    return start, successes, syncer


def serve(url, namespace, region_path):
    """Answers one command a line on stdin: `state` (breaker and syncer),
    `fail` (a call that opens the breaker); ends at end of input."""
    import json
    import sys

    gateway = fleet_gateway(url, namespace, **host_options(region_path))
    print("ready", flush=True)
    for line in sys.stdin:
        if line.strip() == "fail":
            try_once(gateway, fail_with(503))
        snapshot = gateway.snapshot()
        print(json.dumps({"breaker": snapshot["providers"]["acme"]["breaker"],
                          "syncer": snapshot["fleet"].get("syncer")}), flush=True)


if __name__ == "__main__":   # one fleet host (or one process of one) of test_fleet*.py
    import json
    import sys

    if sys.argv[1] == "serve":
        serve(sys.argv[2], sys.argv[3], sys.argv[4])
        sys.exit(0)
    url, namespace, max_calls, window, burst, seconds, threads = sys.argv[1:8]
    region_path = sys.argv[8] if len(sys.argv) > 8 else None

    def go():
        print("ready", flush=True)
        sys.stdin.readline()

    start, successes, syncer = hammer(url, namespace, int(max_calls), float(window), int(burst),
                                      float(seconds), int(threads), go, region_path)
    print(json.dumps({"start": start, "successes": successes, "syncer": syncer}), flush=True)
