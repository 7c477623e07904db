"""Per-call cost of the module's hot Python calls against empty native calls.

Each real call is timed beside the empty method of the same calling
convention (from the test-only `_bench_floor` extension), interleaved in one
process, so the ratio is what the machine and the interpreter cannot explain.
Prints a table and writes it as JSON.

    python bench/bench_calls.py --floor-dir build/bench --json build/bench.json
"""

import argparse
import json
import platform
import statistics
import sys
import timeit


def build_cases(native, floor):
    """(label, floor label, floor statement, real statement, namespace)."""
    breaker = native.CircuitBreaker()
    msg80 = ("The upstream Provider returned an Unexpected Response; " * 2)[:80]
    cases = [
        ("allow_request() closed", "METH_NOARGS", "f.no_args()", "b.allow_request()"),
        ("record_success()", "METH_NOARGS", "f.no_args()", "b.record_success()"),
        ("record_failure() below threshold", "fastcall, no argument", "f.fast_no_args()",
         "b.record_failure(); b.record_success()"),
        ("classify_error(msg) 80 chars, no match", "static, one str",
         "F.static_one_string(m)", "CB.classify_error(m)"),
        ("state property", "getset property", "f.property", "b.state"),
    ]
    namespace = {"f": floor.Floor(), "F": floor.Floor, "b": breaker,
                 "CB": native.CircuitBreaker, "m": msg80}
    extra = getattr(sys.modules[__name__], "EXTRA_CASES", None)
    if extra:
        more_cases, more_names = extra(native, floor)
        cases += more_cases
        namespace.update(more_names)
    return cases, namespace


def per_call_ns(statement, namespace, number):
    return timeit.Timer(statement, globals=namespace).timeit(number) / number * 1e9


def calibrate(statement, namespace, target_seconds):
    number = 1000
    while True:
        elapsed = timeit.Timer(statement, globals=namespace).timeit(number)
        if elapsed >= target_seconds:
            return number
        number *= 2 if elapsed > target_seconds / 4 else 8


def measure(cases, namespace, samples, target_seconds):
    loop_number = calibrate("pass", namespace, target_seconds)
    rows = []
    for label, floor_label, floor_stmt, real_stmt in cases:
        number = calibrate(real_stmt, namespace, target_seconds)
        floors, reals, loops = [], [], []
        for _ in range(samples):  # interleaved, so drift hits both alike
            loops.append(per_call_ns("pass", namespace, loop_number))
            floors.append(per_call_ns(floor_stmt, namespace, number))
            reals.append(per_call_ns(real_stmt, namespace, number))
        loop = statistics.median(loops)
        floor_ns = statistics.median(floors) - loop
        real_ns = statistics.median(reals) - loop
        rows.append({"call": label, "ns_per_call": round(real_ns, 1), "floor": floor_label,
                     "floor_ns": round(floor_ns, 1), "ratio": round(real_ns / floor_ns, 2)})
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor-dir", required=True)
    parser.add_argument("--json", default=None)
    parser.add_argument("--samples", type=int, default=7)
    parser.add_argument("--target", type=float, default=0.02, help="seconds per sample")
    args = parser.parse_args()
    sys.path.insert(0, args.floor_dir)
    import _bench_floor as floor
    import velmorquist_proxy._native as native

    cases, namespace = build_cases(native, floor)
    rows = measure(cases, namespace, args.samples, args.target)
    width = max(len(row["call"]) for row in rows)
    print(f"{'call':<{width}}  {'ns/call':>8}  {'floor ns':>8}  {'ratio':>5}  floor")
    for row in rows:
        print(f"{row['call']:<{width}}  {row['ns_per_call']:>8.1f}  {row['floor_ns']:>8.1f}  "
              f"{row['ratio']:>5.2f}  {row['floor']}")
    if args.json:
        with open(args.json, "w") as out:
            json.dump({"python": sys.version, "machine": platform.machine(),
                       "processor": platform.processor(), "rows": rows}, out, indent=2)
        print(f"\nwritten to {args.json}")


if __name__ == "__main__":
    main()
