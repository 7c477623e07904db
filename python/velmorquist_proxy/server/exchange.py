"""What the server knows about one request: for its response headers, its
access-log line and its metrics."""

from __future__ import annotations

import os
import sys
import time
from itertools import count
from json.encoder import encode_basestring_ascii as _json_text
from time import perf_counter

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
        """One JSON object. Written out rather than through json.dumps,
        which costs more than all the rest of a request's bookkeeping."""
        model = self.model
        return (
            f'{{"ts":{time.time():.3f},"request_id":{_json_text(self.request_id)},'
            f'"worker":{_IDS.pid},"method":{_json_text(method)},"path":{_json_text(self.path)},'
            f'"model":{_text_or_null(model if model is None else model[:_MAX_LOGGED_MODEL])},'
            f'"provider":{_text_or_null(self.provider)},"status":{self.status},'
            f'"attempts":{self.attempts},"stream":{"true" if self.stream else "false"},'
            f'"latency_ms":{(perf_counter() - self.started) * 1000.0:.3f},'
            f'"overhead_ms":{self.overhead_ms():.3f},'
            f'"tokens_in":{_int_or_null(self.tokens_in)},'
            f'"tokens_out":{_int_or_null(self.tokens_out)}}}')


def write_log(line: str) -> None:
    sys.stderr.write(line + "\n")


def _request_id(given: str | None) -> str:
    if given and len(given) <= _MAX_REQUEST_ID and given.isprintable():
        return given
    return _IDS.next()


def _text_or_null(text: str | None) -> str:
    return "null" if text is None else _json_text(text)


def _int_or_null(number: int | None) -> str:
    return "null" if number is None else str(number)
