"""Errors as OpenAI-compatible clients expect them:
`{"error": {"message", "type", "code"}}`, never a traceback, never a key.

How a request that found no provider ends:

| the gateway's end                                  | status |
|----------------------------------------------------|--------|
| the deadline passed                                | 504 |
| no call went upstream (breakers open, limits, keys cooling) | 503 with Retry-After |
| calls went upstream and failed                     | 502 |
| an upstream said the request is wrong (a 4xx the table gives the caller) | its status and body, keys masked |
"""

from __future__ import annotations

import json
import math

from velmorquist_proxy.outcomes import AllProvidersFailed

# Retry-After bounds: a client neither hammers nor gives up for a day.
_MIN_RETRY_AFTER_S = 1
_MAX_RETRY_AFTER_S = 3600


class ApiError(Exception):
    """An answer the server gives instead of an upstream's."""

    def __init__(self, status: int, message: str, kind: str, code: str | None,
                 retry_after: int | None = None, allow: str | None = None):
        super().__init__(message)
        self.status = status
        self.message = message
        self.kind = kind
        self.code = code
        self.retry_after = retry_after
        self.allow = allow   # a 405's Allow header: the methods its path takes

    def body(self) -> bytes:
        return error_body(self.message, self.kind, self.code)


def error_body(message: str, kind: str, code: str | None) -> bytes:
    return json.dumps({"error": {"message": message, "type": kind, "code": code}}).encode()


def bad_request(message: str, code: str | None = None) -> ApiError:
    return ApiError(400, message, "invalid_request_error", code)


def unauthorized() -> ApiError:
    return ApiError(401, "Incorrect or missing API key: pass `Authorization: Bearer <key>`.",
                    "invalid_request_error", "invalid_api_key")


def model_not_found(model: str) -> ApiError:
    return ApiError(404, f"The model `{_short(model)}` does not exist.",
                    "invalid_request_error", "model_not_found")


def not_found(path: str) -> ApiError:
    return ApiError(404, f"No route for {_short(path)}.", "invalid_request_error", "not_found")


def not_allowed(method: str, allowed) -> ApiError:
    allow = ", ".join(sorted(allowed))
    return ApiError(405, f"This path does not take {_short(method)}; it takes {allow}.",
                    "invalid_request_error", "method_not_allowed", allow=allow)


def too_large(limit: int) -> ApiError:
    return ApiError(413, f"The request body is larger than {limit} bytes.",
                    "invalid_request_error", "request_too_large")


def internal() -> ApiError:
    return ApiError(500, "The proxy failed to handle this request.", "server_error",
                    "internal_error")


def from_failure(failure: AllProvidersFailed, ready_in_s: float) -> ApiError:
    """The answer for a request every provider failed or refused."""
    if failure.reason == "deadline passed":
        return ApiError(504, f"No provider answered before the deadline "
                        f"({len(failure.attempts)} attempt(s)).", "timeout_error",
                        "deadline_exceeded")
    if not failure.attempts:
        wait = ready_in_s if math.isfinite(ready_in_s) else _MAX_RETRY_AFTER_S
        seconds = min(max(_MIN_RETRY_AFTER_S, math.ceil(wait)), _MAX_RETRY_AFTER_S)
        refused = ", ".join(f"{name}: {cause}" for name, cause in failure.refusals.items())
        return ApiError(503, f"No provider is usable now ({refused or failure.reason}).",
                        "service_unavailable", "providers_unavailable", seconds)
    kinds = ", ".join(sorted({record.kind for record in failure.attempts}))
    return ApiError(502, f"Every provider failed ({len(failure.attempts)} attempt(s): "
                    f"{kinds}).", "upstream_error", "upstream_failed")


def _short(text: str) -> str:
    """Client-sent text echoed back, bounded."""
    return text if len(text) <= 200 else text[:200] + "..."
