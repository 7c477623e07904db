"""Prometheus metrics: what the server counts per request, and gauges read
from the gateway's state when scraped.

Counts live in counts.py's arrays, where a request's figures are added
natively (`tally_request`, which also holds the histograms' bounds); with
several workers each worker writes its own and whichever answers a scrape
adds them all up. The gauges come from the shared region, which already
holds the whole host's state.

Names: `velmorquist_*` for the proxy's own; token usage and time to first
token follow OpenTelemetry's GenAI conventions (`gen_ai.client.token.usage`
with `gen_ai.token.type` input/output, `gen_ai.server.time_to_first_token`).
"""

from __future__ import annotations

from prometheus_client import CollectorRegistry, generate_latest
from prometheus_client.core import (
    CounterMetricFamily, GaugeMetricFamily, HistogramMetricFamily,
)
from prometheus_client.utils import floatToGoString

from velmorquist_proxy._host import (
    FIRST_TOKEN_BOUNDS_S, OVERHEAD_BOUNDS_S, TOKEN_BOUNDS, tally_request,
)
from velmorquist_proxy.outcomes import KINDS
from velmorquist_proxy.server.counts import Counts, Layout

CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
_BREAKER_VALUES = {"closed": 0, "half_open": 1, "open": 2}
# How a request ended, as the server's code sets it (exchange.outcome).
OUTCOMES = ("success", "client_error", "upstream_error", "unavailable", "timeout", "rejected",
            "cancelled", "interrupted", "error")
# An upstream call's result: a success or the outcome table's kind.
RESULTS = ("success", *sorted(KINDS))


class _Histogram:
    """Series of one histogram: per label set, its buckets (the last one
    for values past every bound) and then its sum."""

    def __init__(self, layout: Layout, bounds: tuple, label_sets):
        self.bounds = bounds
        self.series = {labels: layout.reserve(len(bounds) + 2) for labels in label_sets}

    def family(self, totals, name: str, documentation: str, label_names) -> HistogramMetricFamily:
        family = HistogramMetricFamily(name, documentation, labels=label_names)
        bounds = self.bounds
        for labels, at in self.series.items():
            counts = totals[at:at + len(bounds) + 1]
            if not any(counts):
                continue
            running, buckets = 0.0, []
            for bound, count in zip((*bounds, float("inf")), counts):
                running += count
                buckets.append((floatToGoString(bound), running))
            family.add_metric(labels, buckets, totals[at + len(bounds) + 1])
        return family


class Metrics:
    """Counts requests; `attach(gateway)` adds the gauges of its state and
    `on_event` (the gateway's callback) counts its failed calls. `folder`:
    where the workers of one server keep their counts (None: one process)."""

    def __init__(self, config, folder: str | None = None):
        # Labels: configured names only (or ""), never a client's free text.
        models = ("", *config.models)
        providers = ("", *config.upstreams)
        layout = Layout()
        self._requests = {(m, p, o): layout.reserve(1)
                          for m in models for p in providers for o in OUTCOMES}
        self._attempts = {(p, r): layout.reserve(1) for p in providers for r in RESULTS}
        self._fallbacks = {p: layout.reserve(1) for p in providers}
        self._overhead = _Histogram(layout, OVERHEAD_BOUNDS_S, [()])
        self._overhead_at = self._overhead.series[()]
        self._first_token = _Histogram(layout, FIRST_TOKEN_BOUNDS_S,
                                       [(m, p) for m in models for p in providers])
        self._tokens = _Histogram(layout, TOKEN_BOUNDS, [
            (m, p, kind) for m in models for p in providers for kind in ("input", "output")])
        # Per model and provider, the places a request's figures go.
        self._rows = {m: {p: _Row(self, m, p) for p in providers} for m in models}
        self._counts = Counts(layout.size, folder)
        self._cells = self._counts.cells
        self.registry = CollectorRegistry(auto_describe=False)
        self.registry.register(_CountsCollector(self))

    def attach(self, gateway) -> None:
        self.registry.register(_StateCollector(gateway))

    # ---- counting ----------------------------------------------------------
    def request_done(self, exchange) -> None:
        provider = exchange.provider
        row = self._rows[exchange.known_model][provider or ""]
        outcome = exchange.outcome or "error"
        tally_request(self._cells, row.requests[outcome],
                      row.success if outcome == "success" and provider else None,
                      self._overhead_at, exchange.overhead_ms() / 1000.0,
                      row.first_token, exchange.first_chunk_s,
                      row.tokens_in, exchange.tokens_in, row.tokens_out, exchange.tokens_out)

    def on_event(self, event) -> None:
        """The gateway's `on_event`: failed calls and fall-overs."""
        kind = event.kind
        if kind == "attempt_failed" or kind == "stream_interrupted":
            result = event.detail["kind"]
            self._cells[self._attempts[event.provider, result if result in KINDS
                                       else "unknown"]] += 1
        elif kind == "fallback":
            self._cells[self._fallbacks[event.provider]] += 1

    def render(self) -> bytes:
        return generate_latest(self.registry)


class _Row:
    __slots__ = ("requests", "success", "first_token", "tokens_in", "tokens_out")

    def __init__(self, metrics: Metrics, model: str, provider: str):
        self.requests = {o: metrics._requests[model, provider, o] for o in OUTCOMES}
        self.success = metrics._attempts[provider, "success"]
        self.first_token = metrics._first_token.series[model, provider]
        tokens = metrics._tokens.series
        self.tokens_in = tokens[model, provider, "input"]
        self.tokens_out = tokens[model, provider, "output"]


class _CountsCollector:
    def __init__(self, metrics: Metrics):
        self._metrics = metrics

    def collect(self):
        metrics = self._metrics
        totals = metrics._counts.totals()
        requests = CounterMetricFamily(
            "velmorquist_requests", "Requests by model, serving provider and outcome.",
            labels=("model", "provider", "outcome"))
        for labels, at in metrics._requests.items():
            if totals[at]:
                requests.add_metric(labels, totals[at])
        attempts = CounterMetricFamily(
            "velmorquist_attempts", "Upstream calls by provider and result (success or the "
            "failure kind).", labels=("provider", "result"))
        for labels, at in metrics._attempts.items():
            if totals[at]:
                attempts.add_metric(labels, totals[at])
        fallbacks = CounterMetricFamily(
            "velmorquist_fallbacks", "Requests that moved on to another provider, by the "
            "provider moved to.", labels=("provider",))
        for provider, at in metrics._fallbacks.items():
            if totals[at]:
                fallbacks.add_metric((provider,), totals[at])
        return [
            requests, attempts, fallbacks,
            metrics._overhead.family(
                totals, "velmorquist_overhead_seconds", "Time in the proxy minus time waiting "
                "on upstreams, per request.", ()),
            metrics._first_token.family(
                totals, "gen_ai_server_time_to_first_token_seconds", "Time from the request "
                "to the first streamed chunk sent to the client.",
                ("gen_ai_request_model", "gen_ai_provider_name")),
            metrics._tokens.family(
                totals, "gen_ai_client_token_usage", "Tokens per request as the upstream "
                "reported them.", ("gen_ai_request_model", "gen_ai_provider_name",
                                   "gen_ai_token_type")),
        ]


class _StateCollector:
    """Gauges read from the gateway's state at each scrape."""

    def __init__(self, gateway):
        self._gateway = gateway

    def describe(self):
        return []

    def collect(self):
        snapshot = self._gateway.snapshot()
        breaker = GaugeMetricFamily("velmorquist_breaker_state", "Breaker state per provider "
                                    "(0 closed, 1 half-open, 2 open).", labels=("provider",))
        keys = GaugeMetricFamily("velmorquist_keys", "Keys per provider and status.",
                                 labels=("provider", "status"))
        bucket = GaugeMetricFamily("velmorquist_bucket_level", "Calls or tokens left in the "
                                   "provider's rate-limit buckets.", labels=("provider", "limit"))
        for name, provider in snapshot["providers"].items():
            breaker.add_metric((name,), _BREAKER_VALUES.get(provider["breaker"], -1))
            counts: dict[str, int] = {}
            for key in provider["keys"]:
                status = str(key.get("status", "unknown"))
                counts[status] = counts.get(status, 0) + 1
            for status, count in counts.items():
                keys.add_metric((name, status), count)
            for limit, level in provider["bucket"].items():
                if level is not None:
                    bucket.add_metric((name, limit), level)
        families = [breaker, keys, bucket]
        fleet = snapshot.get("fleet")
        if fleet is not None:
            degraded = GaugeMetricFamily("velmorquist_fleet_degraded",
                                         "1 while Redis does not answer this host.")
            degraded.add_metric((), 1 if fleet.get("degraded") else 0)
            hosts = GaugeMetricFamily("velmorquist_fleet_hosts", "Live hosts of the fleet.")
            hosts.add_metric((), fleet.get("hosts", 0))
            families += [degraded, hosts]
        return families
