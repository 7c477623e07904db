"""The proxy server's overhead: the same fixed-rate load sent, in one run,
to a fake upstream directly, through a bare aiohttp relay (the floor for
any proxy on this stack) and through `velmorquist-proxy serve`, each in a
process of its own on loopback.

For each rate (500 and 2,000 requests/s) and kind (whole replies,
streams): p50 and p99 latency and p99 time to first chunk, and what the
relay and the proxy add to the direct figures. The load is open-loop: each
request starts at its scheduled time whether or not earlier ones have
finished, and its latency counts from that time. Targets: the proxy's added
latency within 1.5x the relay's at p50 and 2x at p99, its added time to
first chunk within 2x the relay's, and at most 80 MB resident per worker.

A shared machine's other jobs come and go in bursts that can swamp one
point's tail, so the whole set of points is measured in several rounds and
each verdict takes the median of the rounds' ratios.

    python bench/bench_server.py [--seconds 2] [--rounds 5] [--json build/bench.json]
"""

import argparse
import json
import os
import pathlib
import signal
import socket
import subprocess
import sys
import tempfile
import time

from bench_gateway import write_json
from open_loop import Target, load

RATES = (500, 2000)
SLICES = 4
HERE = pathlib.Path(__file__).resolve().parent
CLIENT_KEY = "bench-client-key"
BODY = {"model": "bench", "messages": [{"role": "user", "content": "hello"}]}
P50_TARGET, P99_TARGET, FIRST_CHUNK_TARGET = 1.5, 2.0, 2.0
RSS_TARGET_MB = 80.0
CONFIG = """
[server]
client_keys_env = ["BENCH_CLIENT_KEY"]
[[providers]]
name = "upstream"
base_url = "{url}/upstream/v1"
keys = ["sk-bench-upstream-key-0001"]
rate = false
[[models]]
name = "bench"
route = [{{ provider = "upstream", model = "bench-1" }}]
"""


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=2.0, help="load per point and round")
    parser.add_argument("--rounds", type=int, default=5)
    # A worker per core, as an operator runs it: one worker of a two-core
    # machine is near a core's limit at 2,000 requests/s.
    parser.add_argument("--workers", type=int, default=2, help="proxy workers")
    parser.add_argument("--json", default=None)
    options = parser.parse_args()
    ports = [_free_port() for _ in range(3)]
    upstream_url = f"http://127.0.0.1:{ports[0]}"
    processes = []
    with tempfile.TemporaryDirectory(prefix="velmorquist-bench-") as scratch:
        config = pathlib.Path(scratch) / "proxy.toml"
        config.write_text(CONFIG.format(url=upstream_url))
        env = {**os.environ, "BENCH_CLIENT_KEY": CLIENT_KEY}
        try:
            processes.append(_start([HERE / "server_parts.py", "upstream", str(ports[0])], env))
            processes.append(_start([HERE / "server_parts.py", "relay", str(ports[1]),
                                     upstream_url + "/upstream/v1"], env))
            proxy = _start(["-m", "velmorquist_proxy", "serve", "--config", str(config),
                            "--listen", f"127.0.0.1:{ports[2]}",
                            "--workers", str(options.workers)], env, log=True)
            processes.append(proxy)
            for port in ports:
                _wait_listening(port)
            urls = {"direct": upstream_url + "/upstream/v1/chat/completions",
                    "relay": f"http://127.0.0.1:{ports[1]}/v1/chat/completions",
                    "proxy": f"http://127.0.0.1:{ports[2]}/v1/chat/completions"}
            import uvloop
            rounds, rss_mb = uvloop.run(_measure(urls, options.seconds, options.rounds,
                                                 proxy.pid))
        finally:
            for process in processes:
                process.send_signal(signal.SIGTERM)
            for process in processes:
                try:
                    process.wait(timeout=30)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
    return _report(rounds, rss_mb, options.workers, options.json)


async def _measure(urls, seconds, rounds, proxy_pid):
    """Samples per round and point, and the proxy's RSS after each rate."""
    headers = {"Authorization": f"Bearer {CLIENT_KEY}"}
    targets = {(path, stream): Target(url, json.dumps({**BODY, "stream": stream}).encode(),
                                      headers)
               for path, url in urls.items() for stream in (False, True)}
    try:
        for target in targets.values():   # connections opened and code paths warm
            await load(target, 300, 0.5)
        samples, rss_mb = [], {}
        for _ in range(rounds):
            samples.append({})
            for rate in RATES:
                for stream in (False, True):
                    # Slices of each path in turn, so that the other jobs of
                    # a shared machine weigh on all three alike.
                    for _ in range(SLICES):
                        for path in urls:
                            done = await load(targets[path, stream], rate, seconds / SLICES)
                            samples[-1].setdefault((stream, rate, path), []).extend(done)
                rss_mb[rate] = max(rss_mb.get(rate, 0.0), _rss_mb(proxy_pid))
    finally:
        for target in targets.values():
            target.close()
    return samples, rss_mb


def _summary(done, stream):
    latencies = sorted(d[0] for d in done)
    firsts = sorted(d[1] for d in done if d[1] is not None)
    return {"p50_ms": _q(latencies, 50), "p99_ms": _q(latencies, 99),
            "first_chunk_p99_ms": _q(firsts, 99) if stream else None,
            "errors": sum(not d[2] for d in done), "requests": len(done)}


def _report(rounds, rss_mb, workers, json_path) -> int:
    points = list(rounds[0])
    pooled = {point: _summary([d for samples in rounds for d in samples[point]], point[0])
              for point in points}
    per_round = [{point: _summary(samples[point], point[0]) for point in points}
                 for samples in rounds]
    print(f"proxy server overhead (ms; open-loop load, {len(rounds)} rounds pooled; "
          f"added = minus direct; proxy with {workers} worker(s))")
    print(f"  {'kind':<7} {'rate':>5} {'path':<7} {'p50':>8} {'p99':>8} {'ttfc p99':>9} "
          f"{'added p50':>10} {'added p99':>10} {'added ttfc':>11} {'errors':>7}")
    section = {}
    for (stream, rate, path), figures in pooled.items():
        added = _added(pooled, stream, rate, path)
        kind = "stream" if stream else "whole"
        section[f"{kind}_{rate}_{path}"] = {**figures, **{f"added_{k}": v
                                                          for k, v in added.items()}}
        print(f"  {kind:<7} {rate:>5} {path:<7} {figures['p50_ms']:>8.3f} "
              f"{figures['p99_ms']:>8.3f} {_f(figures['first_chunk_p99_ms']):>9} "
              f"{_f(added['p50_ms']) if path != 'direct' else '':>10} "
              f"{_f(added['p99_ms']) if path != 'direct' else '':>10} "
              f"{_f(added['first_chunk_p99_ms']) if path != 'direct' else '':>11} "
              f"{figures['errors']:>7}")
    print("  verdicts: the median over rounds of proxy added / relay added")
    for stream in (False, True):
        for rate in RATES:
            kind = "stream" if stream else "whole"
            checks = [("p50", "p50_ms", P50_TARGET), ("p99", "p99_ms", P99_TARGET)]
            if stream:
                checks.append(("ttfc p99", "first_chunk_p99_ms", FIRST_CHUNK_TARGET))
            for label, key, factor in checks:
                ratios = []
                for results in per_round:
                    relay = _added(results, stream, rate, "relay")[key]
                    proxy = _added(results, stream, rate, "proxy")[key]
                    # A relay adding ~nothing is noise: its floor is 0.05 ms.
                    ratios.append(max(proxy, 0.0) / max(relay, 0.05))
                ratio = sorted(ratios)[len(ratios) // 2]
                section[f"{kind}_{rate}_{label.replace(' ', '_')}_ratio"] = ratio
                print(f"  {kind} {rate}/s {label}: {ratio:.2f}x (rounds: "
                      f"{', '.join(f'{r:.2f}' for r in ratios)}; target {factor}x) "
                      f"{'ok' if ratio <= factor else 'MISSED'}")
    for rate, mb in rss_mb.items():
        print(f"  proxy worker RSS after {rate}/s: {mb:.1f} MB (target {RSS_TARGET_MB:.0f} MB) "
              f"{'ok' if mb <= RSS_TARGET_MB else 'MISSED'}")
    section["rss_mb"] = rss_mb
    if json_path:
        write_json(json_path, section, name="server")
    return 0


def _added(results, stream, rate, path) -> dict:
    figures, direct = results[(stream, rate, path)], results[(stream, rate, "direct")]
    return {key: None if figures[key] is None else figures[key] - direct[key]
            for key in ("p50_ms", "p99_ms", "first_chunk_p99_ms")}


def _f(value):
    return "" if value is None else f"{value:.3f}"


def _q(values, q):
    if not values:
        return 0.0
    return values[min(len(values) - 1, int(len(values) * q / 100))] * 1000.0


def _rss_mb(pid: int) -> float:
    """The largest resident set of the proxy's workers (or of the proxy)."""
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as children:
            pids = [int(child) for child in children.read().split()] or [pid]
    except OSError:
        pids = [pid]
    return max(_rss_of(one) for one in pids)


def _rss_of(pid: int) -> float:
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024.0
    except OSError:
        pass
    return 0.0


def _start(arguments, env, log=False):
    process = subprocess.Popen([sys.executable, *map(str, arguments)], env=env,
                               stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL if log else None)
    return process


def _free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _wait_listening(port: int) -> None:
    for _ in range(600):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise SystemExit(f"nothing listens on port {port}")


if __name__ == "__main__":
    sys.exit(main())
