"""The fleet's figures: how fast a breaker trip reaches another host, and what
a request costs when the gateway's state is a FleetState.

Starts a redis-server of its own on 127.0.0.1 (skips, saying so, when none is
installed or redis-py is missing), stops it by its pid at the end.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

# The tests' Redis server and fleet hosts: tests/python and tests/python/fleet.
_TESTS = os.path.join(os.path.dirname(__file__), "..", "tests", "python")
sys.path[:0] = [_TESTS, os.path.join(_TESTS, "fleet")]

from fleet_hosts import fleet_gateway, succeed, try_once, wait_for  # noqa: E402
from redis_server import RedisServer  # noqa: E402

from velmorquist_proxy import Gateway, Provider  # noqa: E402

TRIPS = 20
CALLS = 20000


def trip_propagation_ms(url: str) -> list[float]:
    """One trip per fresh namespace: the time until the other host refuses."""
    figures = []
    for trip in range(TRIPS):
        namespace = f"bench-{os.getpid()}-{trip}"
        tripping, other = fleet_gateway(url, namespace), fleet_gateway(url, namespace)
        try:
            try_once(tripping, _fail)
            seconds = wait_for(lambda: other.snapshot()["providers"]["acme"]["breaker"] == "open")
            figures.append(seconds * 1000.0)
        finally:
            tripping.close()
            other.close()
    return figures


def _fail(provider, key):
    from velmorquist_proxy import ProviderFailure
    raise ProviderFailure("upstream said no", status=503)


def request_ns(gateway) -> float:
    """Median over batches of one successful `call`, in ns."""
    call = gateway.call
    samples = []
    for _ in range(20):
        start = time.perf_counter_ns()
        for _ in range(CALLS // 20):
            call(succeed)
        samples.append((time.perf_counter_ns() - start) / (CALLS // 20))
    return statistics.median(samples)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--json", help="bench JSON to add a 'fleet' section to")
    options = parser.parse_args()
    try:
        import redis  # noqa: F401
    except ImportError:
        print("fleet bench skipped: redis-py is not importable")
        return 0
    if shutil.which("redis-server") is None:
        print("fleet bench skipped: redis-server is not installed")
        return 0
    with tempfile.TemporaryDirectory() as directory:
        server = RedisServer(directory)
        server.start()
        try:
            trips = trip_propagation_ms(server.url)
            fleet = fleet_gateway(server.url, f"bench-{os.getpid()}-calls")
            try:
                fleet_ns = request_ns(fleet)
            finally:
                fleet.close()
        finally:
            server.kill()
    local = Gateway([Provider("acme", keys=["sk-live-aaaaaaaaaaaaaaaaaaaa01"], rate=False)])
    local_ns = request_ns(local)
    result = {
        "trip_propagation_ms_median": statistics.median(trips),
        "trip_propagation_ms_max": max(trips),
        "request_ns_fleet": fleet_ns,
        "request_ns_in_process": local_ns,
    }
    print(f"fleet: a trip reached the other host in {result['trip_propagation_ms_median']:.1f} ms"
          f" median, {result['trip_propagation_ms_max']:.1f} ms worst of {TRIPS} (target 100 ms)")
    print(f"fleet: one successful Gateway.call costs {fleet_ns:.0f} ns on a FleetState,"
          f" {local_ns:.0f} ns in process (no Redis on the request path)")
    if options.json:
        with open(options.json) as file:
            document = json.load(file)
        document["fleet"] = result
        with open(options.json, "w") as file:
            json.dump(document, file, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
