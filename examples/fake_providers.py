"""Fake LLM provider APIs served over HTTP on 127.0.0.1, for the demo.

Each provider is a stdlib ThreadingHTTPServer on a port the OS picks. It
answers POST /v1/chat/completions with a JSON completion after a simulated
latency, or fails the way real provider APIs fail: 500/502/503 errors, 429
rate limits with a Retry-After hint, quota exhaustion, revoked keys, dropped
connections and requests that hang past the client's timeout. A provider can
also be down for a stretch of the run.

Run as a script, it serves the providers described by its JSON argument in
a process of its own (see provider_process.py), prints their addresses as
one JSON line and serves until its standard input closes.

Every decision a server takes for a request is drawn from a generator seeded
with (seed, provider, request id, attempt), so a given seed produces the same
provider behaviour whatever order the client threads' requests arrive in.
"""

import dataclasses
import json
import random
import signal
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

LOOPBACK = "127.0.0.1"


@dataclasses.dataclass(frozen=True)
class ProviderTraits:
    """How a fake provider behaves. Times are simulated (real world) times."""

    name: str
    cost_per_1k: float           # what the router is told
    base_quality: float
    latency_ms: float            # typical latency, as advertised to the router
    error_rate: float = 0.0      # 500 / 502 / "overloaded" answers
    rate_limit_rate: float = 0.0  # 429 answers with a Retry-After hint
    timeout_rate: float = 0.0    # requests that hang past the client timeout
    outage: tuple[float, float] | None = None  # down between these fractions of the run
    revoked_keys: int = 0        # the last keys of the provider answer 401
    quota_key_limit: int | None = None  # the first key runs out of quota after this many


@dataclasses.dataclass(frozen=True)
class Behaviour:
    """What the server does with one request."""

    kind: str                    # "ok", "error", "rate_limit", "hang", "drop"
    latency_s: float             # real seconds to wait before answering
    status: int = 200
    message: str = ""
    retry_after_s: float = 0.0   # simulated seconds; the header says it in real ones


def outage_span(traits, total_requests):
    """The request ids [from, until) for which the provider is down, or (None, None)."""
    if not traits.outage:
        return None, None
    return int(traits.outage[0] * total_requests), int(traits.outage[1] * total_requests)


class FakeProvider:
    """One provider API server; start() it, then send requests to .url."""

    def __init__(self, traits, keys, *, seed, total_requests, speed, hang_s):
        self.traits = traits
        self.keys = tuple(keys)
        self._seed = seed
        self.speed = speed
        self._hang_s = hang_s
        revoked = keys[len(keys) - traits.revoked_keys:] if traits.revoked_keys else ()
        self._revoked = frozenset(revoked)
        self._quota_key = keys[0] if traits.quota_key_limit is not None else None
        self._quota_used = 0
        self._quota_lock = threading.Lock()
        self.down_from, self.down_until = outage_span(traits, total_requests)
        self._server = _Server((LOOPBACK, 0), _Handler)
        self._server.provider = self
        self._thread = None

    @property
    def url(self):
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}/v1/chat/completions"

    @property
    def address(self):
        return self._server.server_address[:2]

    def start(self):
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
            name=f"fake-{self.traits.name}", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    def is_down(self, request_id):
        return self.down_from is not None and self.down_from <= request_id < self.down_until

    def behaviour(self, request_id, attempt, key):
        """Decide the fate of one request (deterministic per seed and request)."""
        traits = self.traits
        rng = random.Random(f"{self._seed}/{traits.name}/{request_id}/{attempt}")
        latency_s = traits.latency_ms * rng.lognormvariate(0.0, 0.25) / 1000.0 / self.speed
        if key in self._revoked:
            return Behaviour("error", latency_s / 4, 401, "Invalid API key provided")
        if self.is_down(request_id):
            roll = rng.random()
            if roll < 0.6:
                return Behaviour("error", latency_s / 2, 503, "Service Unavailable: upstream overloaded")
            if roll < 0.85:
                return Behaviour("drop", latency_s / 2)
            return Behaviour("hang", self._hang_s)
        roll = rng.random()
        if roll < traits.rate_limit_rate:
            retry_after = rng.choice((1, 2, 3, 5, 8))
            return Behaviour("rate_limit", latency_s / 4, 429,
                             "Rate limit reached for requests", retry_after)
        roll -= traits.rate_limit_rate
        if roll < traits.error_rate:
            status, message = rng.choice((
                (500, "Internal Server Error: internal error"),
                (502, "Bad Gateway"),
                (529, "Overloaded: the model is overloaded, try again later"),
            ))
            return Behaviour("error", latency_s, status, message)
        roll -= traits.error_rate
        if roll < traits.timeout_rate:
            return Behaviour("hang", self._hang_s)
        if key == self._quota_key:
            with self._quota_lock:
                self._quota_used += 1
                exhausted = self._quota_used > traits.quota_key_limit
            if exhausted:
                return Behaviour("error", latency_s / 4, 429,
                                 "insufficient_quota: You exceeded your current quota")
        return Behaviour("ok", latency_s)


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    provider: FakeProvider


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass  # keep the demo's output readable

    def do_POST(self):
        provider = self.server.provider
        length = int(self.headers.get("Content-Length") or 0)
        messages = json.loads(self.rfile.read(length) or b"{}").get("messages") or [{}]
        prompt = messages[-1].get("content", "")
        key = (self.headers.get("Authorization") or "").removeprefix("Bearer ")
        request_id = int(self.headers.get("X-Request-Id") or 0)
        attempt = int(self.headers.get("X-Attempt") or 0)
        plan = provider.behaviour(request_id, attempt, key)
        time.sleep(plan.latency_s)
        if plan.kind in ("drop", "hang"):
            self.close_connection = True  # no answer at all
            return
        if plan.kind == "ok":
            body = {"model": provider.traits.name, "choices": [
                {"message": {"role": "assistant", "content": f"echo: {prompt[:40]}"}}]}
            self._reply(200, body)
            return
        # The hint in real seconds, so a client that obeys it runs at the simulation's speed.
        retry_after = plan.retry_after_s / provider.speed
        headers = {"Retry-After": f"{retry_after:g}"} if retry_after else {}
        code = "insufficient_quota" if plan.message.startswith("insufficient_quota") else None
        self._reply(plan.status, {"error": {"message": plan.message, "code": code}}, headers)

    def _reply(self, status, body, headers=None):
        data = json.dumps(body).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)
        self.close_connection = True


def serve_until_stdin_closes(setup):
    """The script's body: `setup` as provider_process.py writes it."""
    providers = [FakeProvider(traits_from_json(entry["traits"]), entry["keys"],
                              seed=setup["seed"], total_requests=setup["total_requests"],
                              speed=setup["speed"], hang_s=setup["hang_s"]).start()
                 for entry in setup["providers"]]
    try:
        print(json.dumps({p.traits.name: list(p.address) for p in providers}), flush=True)
        sys.stdin.read()
    finally:
        for provider in providers:
            provider.stop()


def traits_from_json(fields):
    outage = fields.get("outage")
    return ProviderTraits(**{**fields, "outage": tuple(outage) if outage else None})


if __name__ == "__main__":
    signal.signal(signal.SIGINT, signal.SIG_IGN)   # the parent decides when to stop
    serve_until_stdin_closes(json.loads(sys.argv[1]))
