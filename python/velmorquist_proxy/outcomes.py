"""What a provider call's failure means, and the exceptions a request ends with.

The outcome table (`classify_failure`), first matching row wins:

| Failure                                                  | Kind            | Effect |
|----------------------------------------------------------|-----------------|--------|
| 402, kind "quota", or "insufficient_quota" in the text    | "quota"         | key exhausted; next key or provider at once |
| 429 or kind "rate_limit"                                 | "rate_limit"    | key cools for Retry-After (1 s when absent); next key or provider at once; when every key of the provider is cooling the router hears a failure, the breaker nothing |
| 401, 403 or kind "auth"                                  | "auth"          | key disabled; next key at once |
| 408, timeouts (by type, or a type name ending in "Timeout", "TimeoutError", "TimeoutException") | "timeout" | provider failure |
| connection errors (`OSError`, a connection dropped mid-reply, type names ending in "ConnectError", "ConnectionError", "NetworkError", "ProtocolError", "PayloadError") | "connection" | provider failure |
| 5xx or kind "service_error"                              | "service_error" | provider failure |
| other 4xx                                                | "caller"        | raised to the caller at once; nothing recorded |
| a `ProviderFailure` without status or kind               | by its text (`CircuitBreaker.classify_error`) | |
| any other exception                                      | None            | a bug in the caller's code: re-raised, nothing recorded |

The status and Retry-After of the errors common HTTP clients raise are read
by duck typing, without importing those libraries: `.status` (aiohttp's
`ClientResponseError`), `.status_code` (OpenAI-style SDKs), `.code`
(urllib's `HTTPError`), or the same on `.response` (httpx's
`HTTPStatusError`, requests' `HTTPError`); Retry-After from `.headers` or
`.response.headers`. A status is read before the type, so urllib's
`HTTPError`, an `OSError`, counts by its status and not as a connection
failure.

A provider failure means: breaker failure of that kind, router reward 0,
key error. Other statuses (1xx, 2xx and 3xx in an exception) count as
provider failures of kind "unknown". `Gateway(classify=...)` replaces the
table; it receives the exception and returns one of `KINDS` or None, and
may call `classify_failure` for the cases it leaves alone.
"""

from __future__ import annotations

import math
import time
from email.utils import parsedate_to_datetime
from typing import NamedTuple

from velmorquist_proxy._native import CircuitBreaker, ProxyError

# The provider failures (breaker, router and key all hear of them).
PROVIDER_KINDS = frozenset({"timeout", "connection", "service_error", "unknown"})
# The key's own problems, and the caller's.
KINDS = PROVIDER_KINDS | {"rate_limit", "auth", "quota", "caller"}

DEFAULT_RETRY_AFTER_S = 1.0
# A longer Retry-After reads as this: a key is never parked beyond the next
# daily reset by a typo or a hostile header ("inf", "1e400", 10**400).
MAX_RETRY_AFTER_S = 86400.0
_TIMEOUT_SUFFIXES = ("Timeout", "TimeoutError", "TimeoutException")
_CONNECTION_SUFFIXES = ("ConnectError", "ConnectionError", "NetworkError", "ProtocolError",
                        "PayloadError")
# http.client's: a reply cut short (not an OSError), or no reply at all.
_CONNECTION_NAMES = frozenset({"IncompleteRead", "BadStatusLine", "RemoteDisconnected"})


class ProviderFailure(ProxyError):
    """A provider call that did not succeed: raised by `Attempt.check`, or by
    the caller. `retry_after` is seconds (int, float or numeric str) or an
    HTTP-date, and reads back as seconds from when the failure was made."""

    def __init__(self, message: str, *, status: int | None = None,
                 retry_after: int | float | str | None = None, kind: str | None = None):
        if kind is not None and kind not in KINDS:
            raise ValueError(f"kind must be one of {', '.join(sorted(KINDS))}, not {kind!r}")
        super().__init__(message)
        self.message = message
        self.status = status
        self.retry_after = parse_retry_after(retry_after)
        self.kind = kind


class AttemptRecord(NamedTuple):
    """One provider call of a failed request. The key is masked."""

    provider: str
    masked_key: str
    kind: str
    status: int | None
    message: str
    latency_ms: float

    def __str__(self) -> str:
        status = "" if self.status is None else f" {self.status}"
        return (f"{self.provider} [{self.masked_key}] {self.kind}{status}: "
                f"{self.message} ({self.latency_ms:.0f} ms)")


# Why the gateway did not call a provider in a request's last round.
REFUSAL_TEXTS = {"breaker": "breaker open", "rate": "rate limited", "keys": "no usable key"}


class AllProvidersFailed(ProxyError):
    """A request that ended without success; `.attempts` lists its calls and
    `.refusals` the providers its last round did not call, by name, with the
    cause ("breaker", "rate" or "keys")."""

    def __init__(self, reason: str, attempts: list[AttemptRecord],
                 refusals: dict[str, str] | None = None):
        refusals = dict(refusals or {})
        refused = "; ".join(f"{name}: {REFUSAL_TEXTS.get(cause, cause)}"
                            for name, cause in refusals.items())
        lines = "".join(f"\n  {record}" for record in attempts)
        super().__init__(f"all providers failed: {reason}; {len(attempts)} attempt(s)"
                         f"{f'; refused {refused}' if refused else ''}{lines}")
        self.reason = reason
        self.attempts = attempts
        self.refusals = refusals


def parse_retry_after(value) -> float | None:
    """Seconds from now, never negative; None when absent or unreadable."""
    if value is None or isinstance(value, bool):
        return None
    if isinstance(value, (int, float)):
        try:
            seconds = float(value)
        except OverflowError:
            seconds = math.inf
    elif isinstance(value, str):
        seconds = _seconds_from_text(value.strip())
    else:
        return None
    if seconds is None or math.isnan(seconds):
        return None
    return min(max(0.0, seconds), MAX_RETRY_AFTER_S)


def _seconds_from_text(text: str) -> float | None:
    try:
        return float(text)
    except ValueError:
        pass
    try:
        moment = parsedate_to_datetime(text)
    except (TypeError, ValueError, IndexError):
        return None
    if moment.tzinfo is None:   # RFC 9110 dates are GMT
        return None
    return moment.timestamp() - time.time()


def classify_failure(error: BaseException) -> str | None:
    """The default outcome table (see the module docstring)."""
    if isinstance(error, ProviderFailure):
        return _classify_reply(error.status, error.kind, error.message)
    if not isinstance(error, Exception):   # KeyboardInterrupt, SystemExit: never the provider's
        return None
    status = http_status(error)
    if status is not None:
        return _classify_reply(status, None, safe_text(error))
    names = [cls.__name__ for cls in type(error).__mro__]
    if isinstance(error, TimeoutError) or any(n.endswith(_TIMEOUT_SUFFIXES) for n in names):
        return "timeout"
    if (isinstance(error, OSError) or any(n.endswith(_CONNECTION_SUFFIXES) for n in names)
            or not _CONNECTION_NAMES.isdisjoint(names)):
        return "connection"
    return None


def http_status(error: BaseException) -> int | None:
    """The HTTP status an error carries (see the module docstring), or None."""
    if isinstance(error, ProviderFailure):
        return error.status
    if not isinstance(error, Exception):
        return None
    for holder in (error, _attribute(error, "response")):
        if holder is None:
            continue
        for name in ("status", "status_code", "code"):
            value = _attribute(holder, name)
            if type(value) is int and 100 <= value <= 599:
                return value
    return None


def retry_after_of(error: BaseException) -> float | None:
    """Seconds the reply asked to wait before the next call (see
    `parse_retry_after`), or None."""
    if isinstance(error, ProviderFailure):
        return error.retry_after
    if not isinstance(error, Exception):
        return None
    for holder in (error, _attribute(error, "response")):
        headers = _attribute(holder, "headers") if holder is not None else None
        if headers is None:
            continue
        try:
            value = headers.get("retry-after") or headers.get("Retry-After")
        except Exception:
            continue
        if value is not None:
            return parse_retry_after(value)
    return None


def safe_text(error: BaseException) -> str:
    """str(error), or its type's name when its __str__ fails."""
    try:
        return str(error)
    except Exception:
        return type(error).__name__


def _attribute(holder, name: str):
    # Properties of third-party errors may raise (httpx's `.request`, for one).
    try:
        return getattr(holder, name, None)
    except Exception:
        return None


def _classify_reply(status: int | None, kind: str | None, text: str) -> str:
    if status == 402 or kind == "quota" or "insufficient_quota" in text:
        return "quota"
    if kind is not None:
        return kind
    if status is None:
        return CircuitBreaker.classify_error(text)
    if status == 429:
        return "rate_limit"
    if status in (401, 403):
        return "auth"
    if status == 408:
        return "timeout"
    if 400 <= status < 500:
        return "caller"
    if 500 <= status < 600:
        return "service_error"
    return "unknown"
