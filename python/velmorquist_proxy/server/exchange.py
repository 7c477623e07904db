"""What the server knows about one request: for its response headers, its
access-log line and its metrics."""

from __future__ import annotations

import os
import sys
import time
from itertools import count
from time import perf_counter

from velmorquist_proxy._host import access_line

# A client's request id is echoed back if it is this short and printable.
_MAX_REQUEST_ID = 128
_MAX_LOGGED_MODEL = 200


class _Ids:
    """Request ids unique across processes: a random prefix per process
    and a counter (a uuid4 per request costs more than the rest of the
    request's bookkeeping)."""

    def __init__(self):
        self.restart()

    def restart(self) -> None:
        self.pid = os.getpid()
        self.prefix = os.urandom(8).hex()
        self.numbers = count()

    def next(self) -> str:
        return f"{self.prefix}{next(self.numbers):016x}"


_IDS = _Ids()
os.register_at_fork(after_in_child=_IDS.restart)


class Exchange:
    __slots__ = ("request_id", "started", "path", "model", "known_model", "provider",
                 "attempts", "status", "waited", "tokens_in", "tokens_out", "stream", "attempt",
                 "first_chunk_s", "outcome", "upstream_error")

    def __init__(self, request_id: str | None, path: str):
        self.request_id = _request_id(request_id)
        self.started = perf_counter()
        self.path = path
        self.model = None         # as the client asked (for the log)
        self.known_model = ""     # a configured model's name: bounded, for metric labels
        self.provider = None
        self.attempts = 0         # calls that went upstream
        self.status = 0
        self.waited = 0.0         # seconds spent waiting on upstreams (and a slow client)
        self.tokens_in = self.tokens_out = None
        self.stream = False
        self.attempt = None       # the gateway's attempt of the latest upstream call
        self.first_chunk_s = None
        self.outcome = None       # for the metrics: success, upstream_error, ...
        self.upstream_error = None   # (status, body, content type) of a refused call

    def set_usage(self, usage: tuple[int, int]) -> None:
        self.tokens_in, self.tokens_out = usage
        attempt = self.attempt
        if attempt is not None:
            attempt.used_tokens(usage[0] + usage[1])

    def overhead_ms(self) -> float:
        return max(0.0, perf_counter() - self.started - self.waited) * 1000.0

    def headers(self) -> dict[str, str]:
        return {
            "x-request-id": self.request_id,
            "x-velmorquist-provider": self.provider or "none",
            "x-velmorquist-attempts": str(self.attempts),
            "x-velmorquist-overhead-ms": f"{self.overhead_ms():.3f}",
        }

    def log_line(self, method: str) -> str:
        """One JSON object, made natively: in Python its number formatting
        alone cost more than all the rest of a request's bookkeeping."""
        model = self.model
        return access_line(
            time.time(), self.request_id, _IDS.pid, method, self.path,
            model if model is None else model[:_MAX_LOGGED_MODEL], self.provider, self.status,
            self.attempts, self.stream, (perf_counter() - self.started) * 1000.0,
            self.overhead_ms(), self.tokens_in, self.tokens_out)


def write_log(line: str) -> None:
    sys.stderr.write(line + "\n")


def _request_id(given: str | None) -> str:
    if given and len(given) <= _MAX_REQUEST_ID and given.isprintable():
        return given
    return _IDS.next()
