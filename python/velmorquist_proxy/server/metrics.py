"""Prometheus metrics: what the server counts per request, and gauges read
from the gateway's state when scraped.

With several workers every worker writes its counts to files in
`PROMETHEUS_MULTIPROC_DIR` (prometheus_client's multiprocess mode, chosen
by the environment before the library is imported), so whichever worker
answers a scrape adds them all up; the gauges come from the shared region,
which already holds the whole host's state.

Names: `velmorquist_*` for the proxy's own; token usage and time to first
token follow OpenTelemetry's GenAI conventions (`gen_ai.client.token.usage`
with `gen_ai.token.type` input/output, `gen_ai.server.time_to_first_token`).
"""

from __future__ import annotations

import os

from prometheus_client import (
    CollectorRegistry, Counter, Histogram, disable_created_metrics, generate_latest,
)
from prometheus_client.core import GaugeMetricFamily

# A `_created` series per label set doubles a scrape and says nothing here.
disable_created_metrics()

CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8"
_OVERHEAD_BUCKETS = (0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1,
                     0.25, 1.0)
_FIRST_TOKEN_BUCKETS = (0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1.0, 2.5, 5.0, 10.0, 30.0, 60.0)
_TOKEN_BUCKETS = (1, 4, 16, 64, 256, 1024, 4096, 16384, 65536, 262144, 1048576)
_BREAKER_VALUES = {"closed": 0, "half_open": 1, "open": 2}


class Metrics:
    """Counts requests; `attach(gateway)` adds the gauges of its state and
    `on_event` (the gateway's callback) counts its failed calls."""

    def __init__(self):
        self.registry = CollectorRegistry(auto_describe=True)
        multiprocess = "PROMETHEUS_MULTIPROC_DIR" in os.environ
        own = None if multiprocess else self.registry
        if multiprocess:
            from prometheus_client.multiprocess import MultiProcessCollector
            MultiProcessCollector(self.registry)
        self._requests = Counter(
            "velmorquist_requests", "Requests by model, serving provider and outcome.",
            ("model", "provider", "outcome"), registry=own)
        self._attempts = Counter(
            "velmorquist_attempts", "Upstream calls by provider and result (success or the "
            "failure kind).", ("provider", "result"), registry=own)
        self._fallbacks = Counter(
            "velmorquist_fallbacks", "Requests that moved on to another provider, by the "
            "provider moved to.", ("provider",), registry=own)
        self._overhead = Histogram(
            "velmorquist_overhead_seconds", "Time in the proxy minus time waiting on "
            "upstreams, per request.", buckets=_OVERHEAD_BUCKETS, registry=own)
        self._first_token = Histogram(
            "gen_ai_server_time_to_first_token_seconds", "Time from the request to the "
            "first streamed chunk sent to the client.", ("gen_ai_request_model",
                                                         "gen_ai_provider_name"),
            buckets=_FIRST_TOKEN_BUCKETS, registry=own)
        self._tokens = Histogram(
            "gen_ai_client_token_usage", "Tokens per request as the upstream reported them.",
            ("gen_ai_request_model", "gen_ai_provider_name", "gen_ai_token_type"),
            buckets=_TOKEN_BUCKETS, registry=own)
        self._series: dict[tuple[str, str, str], _Series] = {}

    def attach(self, gateway) -> None:
        self.registry.register(_StateCollector(gateway))

    # ---- counting ----------------------------------------------------------
    def request_done(self, exchange) -> None:
        # Labels: a configured model's name, never a client's free text.
        key = (exchange.known_model, exchange.provider or "", exchange.outcome or "error")
        series = self._series.get(key)
        if series is None:
            series = self._series[key] = _Series(self, *key)
        series.requests.inc()
        self._overhead.observe(exchange.overhead_ms() / 1000.0)
        if series.succeeded is not None:
            series.succeeded.inc()
        if exchange.first_chunk_s is not None:
            (series.first_token or series.add_first_token(self)).observe(exchange.first_chunk_s)
        if exchange.tokens_in is not None:
            tokens_in, tokens_out = series.tokens or series.add_tokens(self)
            tokens_in.observe(exchange.tokens_in)
            tokens_out.observe(exchange.tokens_out)

    def on_event(self, event) -> None:
        """The gateway's `on_event`: failed calls and fall-overs."""
        kind = event.kind
        if kind == "attempt_failed" or kind == "stream_interrupted":
            self._attempts.labels(event.provider, event.detail["kind"]).inc()
        elif kind == "fallback":
            self._fallbacks.labels(event.provider).inc()

    def render(self) -> bytes:
        return generate_latest(self.registry)


class _Series:
    """The labelled children one kind of request counts into, looked up
    once per request rather than once per metric."""

    __slots__ = ("model", "provider", "requests", "succeeded", "first_token", "tokens")

    def __init__(self, metrics: Metrics, model: str, provider: str, outcome: str):
        self.model, self.provider = model, provider
        self.requests = metrics._requests.labels(model, provider, outcome)
        self.succeeded = (metrics._attempts.labels(provider, "success")
                          if outcome == "success" and provider else None)
        # Made when first needed: a series shows in a scrape once made.
        self.first_token = None
        self.tokens = None

    def add_first_token(self, metrics: Metrics):
        self.first_token = metrics._first_token.labels(self.model, self.provider)
        return self.first_token

    def add_tokens(self, metrics: Metrics):
        self.tokens = (metrics._tokens.labels(self.model, self.provider, "input"),
                       metrics._tokens.labels(self.model, self.provider, "output"))
        return self.tokens


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
