"""The demo's progress line and final report, read from the gateway's snapshot,
its events, the proxy's timings and what the clients saw."""

PHASES = ("before", "down", "back", "recovered")


def progress_line(run, snapshot, elapsed):
    width = 30
    filled = width * run.done // run.total
    not_closed = [f"{name} {provider['breaker'].upper()}"
                  for name, provider in snapshot["providers"].items()
                  if provider["breaker"] != "closed"]
    counters = snapshot["counters"]
    return (f"[{'#' * filled}{'.' * (width - filled)}] {run.done:>5}/{run.total} "
            f"ok {run.ok:>5} failed {run.failed:>3} fallbacks {counters['fallbacks']:>4} "
            f"{elapsed:5.1f}s  breakers: {', '.join(not_closed) or 'all closed'}")


def table(headers, rows, aligns=None):
    aligns = aligns or ["<"] + [">"] * (len(headers) - 1)
    cells = [headers] + [[str(cell) for cell in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    lines = ["  ".join(f"{cell:{align}{width}}" for cell, align, width in zip(row, aligns, widths))
             for row in cells]
    lines.insert(1, "  ".join("-" * width for width in widths))
    return "\n".join("  " + line for line in lines)


def report(run, snapshot, events, timings, wall_s, seed, speed):
    providers = snapshot["providers"]
    counters = snapshot["counters"]
    refusals = counters["refusals"]
    print("\n== Run ==")
    print(f"  {run.total} requests from {run.threads} threads in {wall_s:.1f} s "
          f"(seed {seed}, {speed:g}x simulated speed)")
    print(f"  succeeded {run.ok}, failed after retries {run.failed}, provider calls "
          f"{counters['attempts']}, fallbacks {counters['fallbacks']}, "
          f"retry rounds {events.retry_waits}")
    print(f"  providers passed over: breaker open {refusals['breaker']}, "
          f"rate limit {refusals['rate']}, no usable key {refusals['keys']}")
    report_overhead(timings)
    report_providers(run, providers, events, speed)
    report_keys(providers, events, speed)
    report_routing(run, providers, events)


def report_overhead(timings):
    percentiles = timings.percentiles_ms()
    print("\n== Proxy overhead per request (real time) ==")
    rows = [["in the proxy, not waiting on a provider", *percentiles["overhead"]],
            ["  of which inside gateway calls", *percentiles["decision"]]]
    print(table(["", "p50 ms", "p99 ms"],
                [[label, f"{p50:.3f}", f"{p99:.3f}"] for label, p50, p99 in rows]))
    print("  (waits between retry rounds are not overhead; gateway calls choose the\n"
          "   provider and key, check the reply and record the outcome)")


def report_providers(run, providers, events, speed):
    print("\n== Providers ==")
    rows = []
    for name, provider in providers.items():
        level = provider["bucket"]["requests"]
        rows.append([name, provider["breaker"], run.calls[name], run.answered[name],
                     sum(events.failures[name].values()), events.trips[name],
                     f"{mean_latency_ms(provider['keys']) * speed:.0f}",
                     "-" if level is None else f"{level:.0f}",
                     f"{provider['posterior']['mean']:.3f}"])
    print(table(["provider", "breaker", "calls", "ok", "failed", "trips", "ms/ok",
                 "bucket", "posterior mean"], rows, ["<", "<"] + [">"] * 7))
    kinds = sorted({kind for counts in events.failures.values() for kind in counts})
    if kinds:
        print("\n  failures by kind (the gateway's classification):")
        print(table(["provider"] + kinds,
                    [[name] + [events.failures[name][kind] for kind in kinds]
                     for name in providers]))


def mean_latency_ms(keys):
    weighted = sum(key["avg_latency_ms"] * key["requests"] for key in keys)
    requests = sum(key["requests"] for key in keys if key["avg_latency_ms"])
    return weighted / requests if requests else 0.0


def report_keys(providers, events, speed):
    print("\n== Keys ==")
    rows = []
    for name, provider in providers.items():
        for key in provider["keys"]:
            rows.append([name, key["key"], key["status"], key["requests"], key["errors"],
                         events.cooled[name, key["key"]],
                         f"{key['avg_latency_ms'] * speed:.0f}", f"{key['health']:.2f}"])
    print(table(["provider", "key", "status", "requests", "errors", "cooled",
                 "avg ms", "health"], rows, ["<", "<", "<"] + [">"] * 5))
    print("  (an adaptive pool counts a request when it selects the key and again when\n"
          "   its outcome is recorded; health is at most 0.40 with the pool's weights)")


def report_routing(run, providers, events):
    down = run.down_name
    print(f"\n== Routing while {down} went down and came back ==")
    print("  share of first attempts per phase of the run "
          f"(down: requests {run.down_from}-{run.down_until - 1}):")
    totals = {phase: sum(n for (p, _), n in run.first_choice.items() if p == phase)
              for phase in PHASES}
    rows = [[name] + [f"{100.0 * run.first_choice.get((phase, name), 0) / totals[phase]:.1f}%"
                      if totals[phase] else "-" for phase in PHASES]
            for name in providers]
    print(table(["provider", "before", f"{down} down", "back, breaker open",
                 "breaker closed again"], rows))
    print("\n  posterior mean of each provider's success rate:")
    moments = [label for label in ("outage began", "outage ended") if label in run.posteriors]
    rows = [[name] + [f"{run.posteriors[label][name]:.3f}" for label in moments]
            + [f"{provider['posterior']['mean']:.3f}"] for name, provider in providers.items()]
    print(table(["provider"] + moments + ["end of run"], rows))
    timeline = events.timelines.get(down, [])
    print(f"\n  {down} breaker: " + (", ".join(timeline_entries(timeline))
                                     if timeline else "never left closed"))


def timeline_entries(timeline):
    """"3.5s open, 8.0s trial x3, ...": a run of one event shows its first time."""
    runs = []
    for seconds, what in timeline:
        if runs and runs[-1][1] == what:
            runs[-1][2] += 1
        else:
            runs.append([seconds, what, 1])
    return [f"{seconds:.1f}s {what}" + (f" x{count}" if count > 1 else "")
            for seconds, what, count in runs]
