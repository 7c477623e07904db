"""`velmorquist-proxy serve` in front of three fake OpenAI-compatible APIs.

Run with `make demo`. The script starts the fake APIs on 127.0.0.1 (one
server playing three providers: `alpha` fails with 500s for the first part
of the run and then recovers, `beta` streams slowly, `gamma` answers a share
of its calls with 429s), writes a configuration, starts the proxy with two
workers sharing one HostState region, and drives it with concurrent clients,
streaming and not. The report shows what the clients saw, what the proxy
says about the providers (its /metrics and /admin/snapshot), and the
latency the proxy adds: the same requests sent straight to a healthy fake
API and through the proxy, one after the other. Exit status 0 means the run
completed.
"""

import argparse
import asyncio
import json
import os
import pathlib
import signal
import socket
import subprocess
import sys
import tempfile
import time
from collections import Counter

import aiohttp
from prometheus_client.parser import text_string_to_metric_families

from velmorquist_proxy.server.fake_upstream import FakeUpstream

KEYS = {"ALPHA_KEY_1": "sk-alpha-demo-key-000000000001", "ALPHA_KEY_2": "sk-alpha-demo-key-000002",
        "BETA_KEY_1": "sk-beta-demo-key-0000000000001", "GAMMA_KEY_1": "sk-gamma-demo-key-000001",
        "GAMMA_KEY_2": "sk-gamma-demo-key-000000000002", "STEADY_KEY": "sk-steady-demo-key-0001",
        "DEMO_CLIENT_KEY": "demo-client-key", "DEMO_ADMIN_KEY": "demo-admin-key"}
CLIENT_TIMEOUT_S = 20.0
WORKERS = 2
CONFIG = """
deadline_s = 10.0

[server]
listen = "127.0.0.1:{port}"
workers = {workers}
client_keys_env = ["DEMO_CLIENT_KEY"]
admin_key_env = "DEMO_ADMIN_KEY"
grace_s = 5.0

[retry]
max_retries = 2
base_delay_ms = 20
max_delay_ms = 200

[[providers]]
name = "alpha"
base_url = "{alpha}"
keys_env = ["ALPHA_KEY_1", "ALPHA_KEY_2"]
breaker = {{ failure_threshold = 3, recovery_timeout_secs = 1.0 }}
[[providers]]
name = "beta"
base_url = "{beta}"
keys_env = ["BETA_KEY_1"]
[[providers]]
name = "gamma"
base_url = "{gamma}"
keys_env = ["GAMMA_KEY_1", "GAMMA_KEY_2"]
[[providers]]
name = "steady"
base_url = "{steady}"
keys_env = ["STEADY_KEY"]

[[models]]
name = "chat"
route = [{{ provider = "alpha", model = "alpha-large" }}, {{ provider = "beta", model = "beta-1" }},
         {{ provider = "gamma", model = "gamma-chat" }}]
[[models]]
name = "steady"
route = [{{ provider = "steady", model = "steady-1" }}]
"""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--requests", type=int, default=600, help="requests of the mixed run")
    parser.add_argument("--clients", type=int, default=16, help="concurrent clients")
    parser.add_argument("--latency-requests", type=int, default=300,
                        help="requests per path of the added-latency run")
    options = parser.parse_args()
    for name in ("requests", "clients", "latency_requests"):
        if getattr(options, name) < 1:
            parser.error(f"--{name.replace('_', '-')} must be at least 1")
    fake = FakeUpstream.in_thread()
    fake.scripts.update(alpha="status:500", beta="slow:0.02", gamma="limited:0.3")
    port = _free_port()
    with tempfile.TemporaryDirectory(prefix="velmorquist-demo-") as scratch:
        config = pathlib.Path(scratch) / "proxy.toml"
        config.write_text(CONFIG.format(port=port, workers=WORKERS, **{n: fake.url(n) for n in
                                                       ("alpha", "beta", "gamma", "steady")}))
        # A file, not a pipe: a pipe nobody reads fills up and stops the proxy.
        log_path = pathlib.Path(scratch) / "proxy.log"
        with open(log_path, "w") as log_file:
            proxy = subprocess.Popen([sys.executable, "-m", "velmorquist_proxy", "serve",
                                      "--config", str(config)], env={**os.environ, **KEYS},
                                     stderr=log_file)
        try:
            _wait_listening(proxy, log_path, WORKERS)
            results = asyncio.run(_drive(f"http://127.0.0.1:{port}", fake, options))
        except BaseException:
            sys.stderr.write(log_path.read_text())
            raise
        finally:
            proxy.send_signal(signal.SIGTERM)
            proxy.wait(timeout=60)
            log = log_path.read_text()
    fake.stop()
    _report(results, log, proxy.returncode)
    return 0 if proxy.returncode == 0 else 1


async def _drive(url, fake, options):
    client = {"authorization": f"Bearer {KEYS['DEMO_CLIENT_KEY']}"}
    admin = {"authorization": f"Bearer {KEYS['DEMO_ADMIN_KEY']}"}
    connector = aiohttp.TCPConnector(limit=options.clients)
    timeout = aiohttp.ClientTimeout(total=CLIENT_TIMEOUT_S)
    async with aiohttp.ClientSession(connector=connector, timeout=timeout) as session:
        started = time.perf_counter()
        mixed = await _mixed_run(session, url, client, fake, options)
        mixed_s = time.perf_counter() - started
        latency = await _latency_run(session, url, client, fake, options.latency_requests)
        async with session.get(url + "/metrics") as reply:
            metrics = await reply.text()
        async with session.get(url + "/admin/snapshot", headers=admin) as reply:
            snapshot = await reply.json()
    return {"mixed": mixed, "mixed_s": mixed_s, "latency": latency, "metrics": metrics,
            "snapshot": snapshot}


async def _mixed_run(session, url, headers, fake, options):
    """Requests over `chat`, half of them streamed; alpha recovers a third of the way in."""
    seen = []
    queue = iter(range(options.requests))

    async def client():
        for n in queue:
            if n == options.requests // 3:
                fake.scripts["alpha"] = "ok"
            seen.append(await _one(session, url, headers, "chat", stream=n % 2 == 1))

    await asyncio.gather(*(client() for _ in range(options.clients)))
    return seen


async def _latency_run(session, url, headers, fake, count):
    """The same requests straight to a healthy fake API and through the proxy."""
    direct_url = fake.url("direct")
    paths = {"direct": [], "proxy": []}
    for stream in (False, True):
        for n in range(2 * count):
            through = n % 2 == 1
            result = await _one(session, url if through else None, headers, "steady",
                                stream=stream, direct=None if through else direct_url)
            paths["proxy" if through else "direct"].append(result)
    return paths


async def _one(session, url, headers, model, *, stream, direct=None):
    body = {"model": model, "messages": [{"role": "user", "content": "hello"}], "stream": stream}
    target = direct + "/chat/completions" if direct else url + "/v1/chat/completions"
    if direct:
        headers = {"authorization": "Bearer sk-direct"}
    started = time.perf_counter()
    first = None
    async with session.post(target, json=body, headers=headers) as reply:
        if stream and reply.status == 200:
            async for _ in reply.content.iter_any():
                if first is None:
                    first = time.perf_counter() - started
        else:
            await reply.read()
        return {"status": reply.status, "stream": stream, "seconds": time.perf_counter() - started,
                "first_s": first, "provider": reply.headers.get("x-velmorquist-provider"),
                "attempts": int(reply.headers.get("x-velmorquist-attempts", 0)),
                "overhead_ms": float(reply.headers.get("x-velmorquist-overhead-ms", 0.0))}


def _report(results, log, exit_code):
    mixed = results["mixed"]
    print("== Run ==")
    print(f"  {len(mixed)} requests over model `chat` ({sum(r['stream'] for r in mixed)} "
          f"streamed) in {results['mixed_s']:.1f} s; alpha failed for the first third")
    statuses = Counter(r["status"] for r in mixed)
    print("  statuses: " + ", ".join(f"{s}: {n}" for s, n in sorted(statuses.items())))
    served = Counter(r["provider"] for r in mixed if r["status"] == 200)
    print("  served by: " + ", ".join(f"{p}: {n}" for p, n in sorted(served.items())))
    print(f"  fell over (more than one attempt): {sum(r['attempts'] > 1 for r in mixed)}")
    print("\n== Providers (from /admin/snapshot) ==")
    print(f"  {'provider':<8} {'breaker':<10} {'posterior':>9}  keys")
    for name, provider in results["snapshot"]["providers"].items():
        keys = ", ".join(f"{k['key']} {k['status']}" for k in provider["keys"])
        mean = provider["posterior"]["mean"]
        print(f"  {name:<8} {provider['breaker']:<10} {mean:>9.3f}  {keys}")
    print("\n== Upstream calls by result (from /metrics) ==")
    for family in text_string_to_metric_families(results["metrics"]):
        if family.name == "velmorquist_attempts":
            for sample in sorted(family.samples, key=lambda s: sorted(s.labels.items())):
                if sample.name.endswith("_total"):
                    print(f"  {sample.labels['provider']:<8} {sample.labels['result']:<14} "
                          f"{sample.value:>6.0f}")
    print("\n== Latency the proxy adds (ms, the same requests direct and through it) ==")
    latency = results["latency"]
    print(f"  {'':<28} {'p50':>8} {'p99':>8}")
    for stream, label, key in ((False, "whole reply", "seconds"),
                               (True, "time to first chunk", "first_s")):
        direct = [r[key] for r in latency["direct"] if r["stream"] is stream and r[key]]
        proxied = [r[key] for r in latency["proxy"] if r["stream"] is stream and r[key]]
        print(f"  {label + ' (added)':<28} {_ms(_q(proxied, 50) - _q(direct, 50)):>8} "
              f"{_ms(_q(proxied, 99) - _q(direct, 99)):>8}")
    overhead = [r["overhead_ms"] / 1000 for r in latency["proxy"]]
    print(f"  {'x-velmorquist-overhead-ms':<28} {_ms(_q(overhead, 50)):>8} "
          f"{_ms(_q(overhead, 99)):>8}")
    lines = [json.loads(line) for line in log.splitlines() if line.startswith("{")]
    workers = Counter(line["worker"] for line in lines)
    print(f"\n== Proxy ==\n  {len(lines)} access-log lines from {len(workers)} workers; "
          f"exit status {exit_code} after SIGTERM")


def _q(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * q / 100))] if ordered else 0.0


def _ms(seconds):
    return f"{seconds * 1000:.3f}"


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _wait_listening(process, log_path, workers) -> None:
    """Until every worker says it listens, so the clients' connections
    spread over all of them."""
    for _ in range(1200):
        if process.poll() is not None:
            raise SystemExit("the proxy exited at start")
        if log_path.read_text().count(" listening on ") >= workers:
            return
        time.sleep(0.05)
    raise SystemExit("the proxy did not start")


if __name__ == "__main__":
    sys.exit(main())
