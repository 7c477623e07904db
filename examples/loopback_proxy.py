"""An OpenAI-style completion endpoint on 127.0.0.1 that forwards through a Gateway.

Clients POST /v1/chat/completions to the proxy; the gateway picks a provider
and a key for each try, and the proxy relays the request to that provider's
server with the key as its bearer token. The upstream's answer goes back to
the client as it came; when no provider answers, the client gets a 503 whose
message lists the tries (keys masked by the gateway).

The proxy traces every request: the providers it tried, in order (also sent
back in the X-Attempted-Providers header), its own overhead (wall time inside
the proxy minus the time spent waiting on upstreams and between retry rounds)
and the part of that spent inside gateway calls (choosing, checking,
recording). Retry rounds are told apart by the gateway's "retry_wait" event:
pass it to `note_retry_wait` from the gateway's `on_event`.
"""

import http.client
import ipaddress
import json
import statistics
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from velmorquist_proxy import AllProvidersFailed, ProviderFailure

LOOPBACK = "127.0.0.1"
COMPLETIONS = "/v1/chat/completions"
# Forwarded to the upstream so a provider can tell one request's tries apart.
PASSED_HEADERS = ("X-Request-Id",)

_thread = threading.local()


def note_retry_wait():
    """The gateway is about to wait between rounds, in this thread."""
    _thread.waits = _waits_seen() + 1


def _waits_seen():
    return getattr(_thread, "waits", 0)


class Timings:
    """Per-request seconds: proxy overhead and time inside gateway calls."""

    def __init__(self):
        self._lock = threading.Lock()
        self.overhead_s = []
        self.decision_s = []

    def add(self, overhead_s, decision_s):
        with self._lock:
            self.overhead_s.append(overhead_s)
            self.decision_s.append(decision_s)

    def percentiles_ms(self):
        """{"overhead": (p50, p99), "decision": (p50, p99)} in milliseconds."""
        with self._lock:
            series = {"overhead": list(self.overhead_s), "decision": list(self.decision_s)}
        return {name: _p50_p99_ms(values) for name, values in series.items()}


def _p50_p99_ms(values):
    if len(values) < 2:
        value = values[0] * 1e3 if values else 0.0
        return value, value
    cuts = statistics.quantiles(values, n=100, method="inclusive")
    return cuts[49] * 1e3, cuts[98] * 1e3


class RequestTrace:
    """The providers one request tried, and its wall time split into upstream
    calls, retry waits and the rest."""

    def __init__(self):
        self.providers = []
        self.upstream_s = 0.0
        self.wait_s = 0.0

    def attempts(self, attempts):
        """The gateway's attempts, with the rounds' waits told apart from choosing."""
        iterator = iter(attempts)
        while True:
            waits_before = _waits_seen()
            started = time.perf_counter()
            attempt = next(iterator, None)
            if _waits_seen() != waits_before:
                self.wait_s += time.perf_counter() - started
            if attempt is None:
                return
            self.providers.append(attempt.provider)
            yield attempt

    def upstream(self, call, *args):
        started = time.perf_counter()
        try:
            return call(*args)
        finally:
            self.upstream_s += time.perf_counter() - started


def post_upstream(address, key, body, headers, timeout_s):
    """(status, Retry-After header or None, body bytes) of one upstream call."""
    host, port = address
    assert ipaddress.ip_address(host).is_loopback, host
    connection = http.client.HTTPConnection(host, port, timeout=timeout_s)
    try:
        connection.request("POST", COMPLETIONS, body=body, headers={
            **headers, "Authorization": f"Bearer {key}", "Content-Type": "application/json"})
        response = connection.getresponse()
        return response.status, response.getheader("Retry-After"), response.read()
    except http.client.HTTPException as error:
        # A reply cut short is the connection's fault, whatever http.client calls it.
        raise ProviderFailure(str(error) or type(error).__name__, kind="connection") from None
    finally:
        connection.close()


class ProxyServer:
    """The proxy; start() it, send requests to .url, stop() it."""

    def __init__(self, gateway, upstreams, *, upstream_timeout_s):
        self.gateway = gateway
        self.upstreams = dict(upstreams)          # provider name -> (host, port)
        self.upstream_timeout_s = upstream_timeout_s
        self.timings = Timings()
        self._server = _Server((LOOPBACK, 0), _Handler)
        self._server.proxy = self
        self._thread = None

    @property
    def address(self):
        return self._server.server_address[:2]

    @property
    def url(self):
        host, port = self.address
        return f"http://{host}:{port}{COMPLETIONS}"

    def start(self):
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05},
            name="loopback-proxy", daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    def forward(self, body, headers, trace):
        """The upstream's (status, body) for one client request."""
        for attempt in trace.attempts(self.gateway.attempts()):
            with attempt:
                status, retry_after, data = trace.upstream(
                    post_upstream, self.upstreams[attempt.provider], attempt.key, body,
                    {**headers, "X-Attempt": str(attempt.number)}, self.upstream_timeout_s)
                attempt.check(status, retry_after, data.decode("utf-8", "replace"))
        return status, data

    def serve(self, body, headers):
        """(status, body) for the client, its trace and the time spent in the gateway."""
        trace = RequestTrace()
        started = time.perf_counter()
        try:
            status, data = self.forward(body, headers, trace)
        except AllProvidersFailed as failure:
            status, data = 503, _error_body(str(failure), "all_providers_failed")
        except ProviderFailure as failure:      # the request's own fault: say so
            status, data = failure.status or 400, _error_body(str(failure), "invalid_request")
        in_gateway = time.perf_counter() - started - trace.upstream_s - trace.wait_s
        return status, data, trace, in_gateway


def _error_body(message, code):
    return json.dumps({"error": {"message": message, "code": code}}).encode()


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    proxy: ProxyServer


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"     # keep-alive: a client thread keeps its connection
    # Headers and body go out in two writes; with Nagle the body would wait
    # for the client's delayed ACK of the headers (tens of ms on a kept-alive connection).
    disable_nagle_algorithm = True

    def log_message(self, format, *args):  # noqa: A002 - the base class's name
        pass

    def parse_request(self):
        # The request line has just arrived: the proxy's time starts here.
        self.received = time.perf_counter()
        return super().parse_request()

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length)
        if self.path != COMPLETIONS:
            self._reply(404, _error_body(f"no route {self.path}", "not_found"))
            return
        proxy = self.server.proxy
        headers = {name: self.headers[name] for name in PASSED_HEADERS if name in self.headers}
        status, data, trace, in_gateway = proxy.serve(body, headers)
        self._reply(status, data, {"X-Attempted-Providers": ",".join(trace.providers)})
        overhead = time.perf_counter() - self.received - trace.upstream_s - trace.wait_s
        proxy.timings.add(overhead, in_gateway)

    def _reply(self, status, data, headers=None):
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(data)
