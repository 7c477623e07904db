"""Per-call cost of the module's hot Python calls against empty native calls.

Each real call is timed beside the empty method of the same calling
convention (from the test-only `_bench_floor` extension), interleaved in one
process, so the ratio is what the machine and the interpreter cannot explain.
Prints the floors and the calls as tables and writes both as JSON.

Every figure is the median of several autoranged samples of process CPU time
(--timer wall for wall-clock time), so time spent descheduled while other jobs
share the machine is not counted. "net" figures have
the cost of the timing loop itself (an empty `pass` statement) taken off;
"with loop" figures are what timeit reports, the basis on which the ratio
targets were set. Absolute targets are judged with the loop included, which
is the stricter reading.

Given core_bench's JSON (--core-json), it also judges the core benchmarks
that have targets, by their CPU time.

    python bench/bench_calls.py --floor-dir build-bench/bench \
        --core-json build/bench-core.json --json build/bench.json
"""

import argparse
import json
import os
import platform
import statistics
import sys
import time
import timeit

# Empty calls, one per calling convention the module uses.
FLOORS = {
    "METH_NOARGS": "f.no_args()",
    "fastcall, no argument": "f.fast_no_args()",
    "fastcall, optional u64 absent": "f.one_integer()",
    "fastcall, one u64": "f.one_integer(1)",
    "fastcall, one keyword": "f.one_integer(n=1)",
    "fastcall, one u32": "f.one_u32(1)",
    "METH_O, one argument": "f.one_object(1)",
    "static via class, one str": "F.static_one_string(m)",
    "getset property": "f.property",
    "METH_NOARGS returning a new key str": "f.new_key_str()",
    "fastcall, one u32, returning a new int": "f.one_u32_new_int(1)",
}

MSG80 = ("The upstream Provider returned an Unexpected Response; " * 2)[:80]


def ratio_target(limit):
    return {"kind": "ratio", "limit": limit}


def ns_target(limit):
    return {"kind": "ns", "limit": limit}


def build_cases(native):
    """(label, floor name, statement, target or None) and their namespace."""
    breaker = native.CircuitBreaker()
    # A threshold no run of this benchmark can reach keeps every failure below it.
    counting = native.CircuitBreaker(native.CircuitBreakerConfig("bench", 4294967295))
    bucket = native.TokenBucket(max_calls=10**18, time_window_secs=1.0)
    policy = native.RetryPolicy()
    names = {"b": breaker, "bf": counting, "CB": native.CircuitBreaker, "tb": bucket,
             "rp": policy, "m": MSG80, "m_match": MSG80[:-10] + "overloaded"}
    cases = [
        ("allow_request() closed", "METH_NOARGS", "b.allow_request()", ratio_target(1.5)),
        ("record_success()", "METH_NOARGS", "b.record_success()", ratio_target(1.5)),
        ("record_failure() below threshold", "fastcall, no argument", "bf.record_failure()",
         ratio_target(1.6)),
        ("try_acquire()", "fastcall, optional u64 absent", "tb.try_acquire()",
         ratio_target(3.0)),
        ("try_acquire(1)", "fastcall, one u64", "tb.try_acquire(1)", ratio_target(3.0)),
        ("try_acquire(n=1)", "fastcall, one keyword", "tb.try_acquire(n=1)", None),
        ("should_retry(a)", "fastcall, one u32", "rp.should_retry(1)", ratio_target(1.5)),
        ("delay_ms(a)", "fastcall, one u32", "rp.delay_ms(1)", ratio_target(2.0)),
        ("delay_ms(a) (vs a call returning an int)", "fastcall, one u32, returning a new int",
         "rp.delay_ms(1)", None),
        ("classify_error(msg) 80 chars, no match", "static via class, one str",
         "CB.classify_error(m)", ns_target(150)),
        ("classify_error(msg) 80 chars, match", "static via class, one str",
         "CB.classify_error(m_match)", None),
        ("state property", "getset property", "b.state", None),
        ("available_tokens property", "getset property", "tb.available_tokens", None),
    ]
    if hasattr(native, "KeyPool"):
        more, more_names = key_pool_cases(native)
        cases += more
        names.update(more_names)
    if hasattr(native, "ThompsonRouter"):
        more, more_names = router_cases(native)
        cases += more
        names.update(more_names)
    return cases, names


def key_pool_cases(native):
    def pool(strategy, size, latencies):
        p = native.KeyPool(strategy)
        for i in range(size):
            key = f"sk-bench-{i:06d}-0123456789abcdef0123456789abcdef"
            p.add_key(key)
            # The latency window keeps the most recent samples; fill it.
            for j in range(latencies):
                p.record_success(key, 100.0 + (i + j) % 50)
        return p

    names = {"kp16": pool("round_robin", 16, 0),
             "kp10k": pool("round_robin", 10_000, 0),
             "kpa10k": pool("adaptive", 10_000, 100)}
    cases = [
        ("select_key() round robin, 16 keys", "METH_NOARGS", "kp16.select_key()",
         ratio_target(3.0)),
        ("select_key() round robin, 16 keys (vs a call returning a str)",
         "METH_NOARGS returning a new key str", "kp16.select_key()", None),
        ("select_key() round robin, 10,000 keys", "METH_NOARGS", "kp10k.select_key()",
         ns_target(50_000)),
        ("select_key() adaptive, 10,000 keys", "METH_NOARGS", "kpa10k.select_key()",
         ns_target(1_000_000)),
    ]
    return cases, names


def router_cases(native):
    fresh = native.ThompsonRouter()
    fresh.load_defaults()
    # After some traffic: half the posteriors have grown past Beta(1, 1), so
    # both of the sampler's algorithms are in play.
    learned = native.ThompsonRouter()
    learned.load_defaults()
    for i, profile_id in enumerate(["openai", "anthropic", "google", "groq", "together",
                                    "fireworks", "deepseek", "cerebras", "ollama", "mistral",
                                    "cohere", "azure_openai"]):
        if i % 2 == 0:
            for outcome in range(20):
                learned.record_outcome(profile_id, 0.0 if outcome % 5 == 0 else 1.0)
    cases = [
        ("ThompsonRouter.select() 12 providers, explore", "METH_NOARGS", "tr.select()",
         ns_target(600)),
        ("ThompsonRouter.select() 12 providers, explore, learned", "METH_NOARGS",
         "trl.select()", ns_target(600)),
        ("ThompsonRouter.select_deterministic() 12 providers", "METH_NOARGS",
         "tr.select_deterministic()", None),
    ]
    return cases, {"tr": fresh, "trl": learned}


def seconds(statement, namespace, number):
    return timeit.Timer(statement, globals=namespace, timer=TIMER).timeit(number)


def calibrate(statement, namespace, target_seconds):
    number = 1
    while True:
        elapsed = seconds(statement, namespace, number)
        if elapsed >= target_seconds:
            return number
        number *= 2 if elapsed > target_seconds / 4 else 8


def measure(cases, namespace, samples, target_seconds):
    """Returns (loop ns, floor rows, call rows); every time is a median."""
    loop_number = calibrate("pass", namespace, target_seconds)
    loops = []

    def loop_ns():
        value = seconds("pass", namespace, loop_number) / loop_number * 1e9
        loops.append(value)
        return value

    floor_samples = {name: [] for name in FLOORS}
    rows = []
    for label, floor_name, statement, target in cases:
        floor_statement = FLOORS[floor_name]
        number = calibrate(statement, namespace, target_seconds)
        floors, reals = [], []
        for _ in range(samples):  # interleaved, so drift hits both alike
            loop_ns()
            floors.append(seconds(floor_statement, namespace, number) / number * 1e9)
            reals.append(seconds(statement, namespace, number) / number * 1e9)
        floor_samples[floor_name] += floors
        rows.append({"call": label, "floor": floor_name, "target": target,
                     "raw_ns": statistics.median(reals), "floor_raw_ns": statistics.median(floors)})

    # Floors no call is compared with are still shown, each with the loop.
    for name, values in floor_samples.items():
        if values:
            continue
        number = calibrate(FLOORS[name], namespace, target_seconds)
        for _ in range(samples):
            loop_ns()
            values.append(seconds(FLOORS[name], namespace, number) / number * 1e9)

    loop = statistics.median(loops)
    for row in rows:
        raw, floor_raw = row.pop("raw_ns"), row.pop("floor_raw_ns")
        row.update({
            "ns_per_call": round(raw - loop, 1), "ns_with_loop": round(raw, 1),
            "floor_ns": round(floor_raw - loop, 1), "floor_ns_with_loop": round(floor_raw, 1),
            "ratio": round((raw - loop) / (floor_raw - loop), 2),
            "ratio_with_loop": round(raw / floor_raw, 2),
        })
        target = row["target"]
        if target is not None:
            value = row["ratio_with_loop"] if target["kind"] == "ratio" else row["ns_with_loop"]
            row["met"] = value <= target["limit"]
            if target["kind"] == "ratio":
                row["met_net"] = row["ratio"] <= target["limit"]
    floors = []
    for name, values in floor_samples.items():
        if values:
            floor = statistics.median(values)
            floors.append({"floor": name, "statement": FLOORS[name],
                           "ns_with_loop": round(floor, 1), "ns": round(floor - loop, 1)})
    return round(loop, 1), floors, rows


def target_text(target):
    if target is None:
        return ""
    if target["kind"] == "ratio":
        return f"<= {target['limit']:g}x"
    limit = target["limit"]
    if limit >= 1_000_000:
        return f"<= {limit / 1_000_000:g} ms"
    if limit >= 1_000:
        return f"<= {limit / 1_000:g} us"
    return f"<= {limit:g} ns"


def verdict(row):
    if "met" not in row:
        return ""
    text = "met" if row["met"] else "NOT MET"
    if "met_net" in row:
        text += " (net: " + ("met" if row["met_net"] else "not met") + ")"
    return text


def print_table(header, rows, left):
    """Columns whose index is in `left` are left-aligned, the rest right-aligned."""
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    for line in [header, ["-" * w for w in widths], *rows]:
        cells = [str(c).ljust(w) if i in left else str(c).rjust(w)
                 for i, (c, w) in enumerate(zip(line, widths))]
        print("  ".join(cells).rstrip())


# Core benchmarks with a target: (name, "ns" or "bytes_per_second", limit).
CORE_TARGETS = [
    ("BM_ChaCha12Refill", "GB/s", 2.0),
    ("BM_BetaSample/BB_2_3", "ns", 30),
    ("BM_BetaSample/BB_40_12", "ns", 30),
    ("BM_BetaSample/BC_1_1", "ns", 30),
    ("BM_BetaSample/BC_0.5_0.5", "ns", 30),
    ("BM_BetaSample/BC_0.8_30", "ns", 30),
    ("BM_BetaSamplerPrepared/BB_40_12", "ns", 30),
    ("BM_BetaSamplerPrepared/BC_1_1", "ns", 30),
    ("BM_SelectKey/round_robin/10000", "ns", 50_000),
    ("BM_SelectKey/adaptive_full_windows/10000", "ns", 1_000_000),
]


def core_rows(path):
    """Verdicts for the core benchmarks with targets, from Google Benchmark's JSON."""
    with open(path) as source:
        results = {b["name"]: b for b in json.load(source)["benchmarks"]}
    scale = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}
    rows = []
    for name, unit, limit in CORE_TARGETS:
        result = results.get(name)
        if result is None:
            continue
        if unit == "GB/s":
            value = result["bytes_per_second"] / 1e9
            rows.append({"benchmark": name, "value": round(value, 2), "unit": "GB/s",
                         "target": f">= {limit:g} GB/s", "met": value >= limit})
        else:
            value = result["cpu_time"] * scale[result["time_unit"]]
            rows.append({"benchmark": name, "value": round(value, 1), "unit": "ns",
                         "target": target_text(ns_target(limit)), "met": value <= limit})
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor-dir", required=True)
    parser.add_argument("--json", default=None)
    parser.add_argument("--samples", type=int, default=9)
    parser.add_argument("--target", type=float, default=0.02, help="seconds per sample")
    parser.add_argument("--timer", choices=["cpu", "wall"], default="cpu",
                        help="process CPU time (default) or wall-clock time")
    parser.add_argument("--only", default=None, help="run the calls whose label contains this")
    parser.add_argument("--core-json", default=None,
                        help="Google Benchmark JSON of core_bench, for the core targets")
    args = parser.parse_args()
    global TIMER
    TIMER = time.process_time if args.timer == "cpu" else time.perf_counter
    sys.path.insert(0, args.floor_dir)
    import _bench_floor as floor
    import velmorquist_proxy._native as native

    cases, namespace = build_cases(native)
    if args.only:
        cases = [case for case in cases if args.only in case[0]]
    namespace.update({"f": floor.Floor(), "F": floor.Floor})
    loop, floors, rows = measure(cases, namespace, args.samples, args.target)

    print(f"timing loop (empty statement): {loop} ns per iteration\n")
    print_table(["empty call", "ns", "ns with loop", "statement"],
                [[f["floor"], f"{f['ns']:.1f}", f"{f['ns_with_loop']:.1f}", f["statement"]]
                 for f in floors], left={0, 3})
    print()
    print_table(["call", "ns", "floor ns", "ratio", "ns w/ loop", "floor w/ loop", "ratio w/ loop",
                 "target", "floor", "verdict"],
                [[r["call"], f"{r['ns_per_call']:.1f}", f"{r['floor_ns']:.1f}", f"{r['ratio']:.2f}",
                  f"{r['ns_with_loop']:.1f}", f"{r['floor_ns_with_loop']:.1f}",
                  f"{r['ratio_with_loop']:.2f}", target_text(r["target"]), r["floor"],
                  verdict(r)] for r in rows], left={0, 7, 8, 9})
    core = core_rows(args.core_json) if args.core_json else []
    if core:
        print()
        print_table(["core benchmark (CPU time)", "value", "target", "verdict"],
                    [[c["benchmark"], f"{c['value']:g} {c['unit']}", c["target"],
                      "met" if c["met"] else "NOT MET"] for c in core], left={0, 3})
    if args.json:
        os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
        with open(args.json, "w") as out:
            json.dump({"python": sys.version, "machine": platform.machine(),
                       "processor": platform.processor(), "cpus": os.cpu_count(),
                       "samples": args.samples, "loop_ns": loop, "floors": floors,
                       "rows": rows, "core": core}, out, indent=2)
        print(f"\nwritten to {args.json}")


if __name__ == "__main__":
    main()
