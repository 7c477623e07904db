"""One provider call of a request, as the caller sees it."""

from __future__ import annotations

from velmorquist_proxy.outcomes import ProviderFailure

# Where an attempt stands.
PENDING = 0
SUCCEEDED = 1
FAILED = 2   # recorded; the request goes on
ENDED = 3    # raised to the caller, or abandoned


class Attempt:
    """Use as `with attempt:`. Leaving the block normally records a success
    with the latency measured from entering it; an exception is classified
    (see outcomes.py): provider and key failures are recorded and swallowed
    so the loop goes on, the caller's own errors propagate."""

    __slots__ = ("_request", "_p", "_k", "provider", "key", "number", "round",
                 "_started", "_status", "_used")

    def __init__(self, request, p: int, k: int, provider: str, key: str,
                 number: int, round_: int):
        self._request = request
        self._p = p
        self._k = k
        self.provider = provider
        self.key = key
        self.number = number
        self.round = round_
        self._started = None
        self._status = PENDING
        self._used = None

    @property
    def masked_key(self) -> str:
        return self._request.masked_key(self._p, self._k)

    def used_tokens(self, n: int) -> None:
        """The reply's real token count, settled against the estimate."""
        self._used = n

    def check(self, status: int, retry_after=None, body: str = "") -> None:
        """Returns for a 2xx status, otherwise raises `ProviderFailure`."""
        if 200 <= status < 300:
            return
        text = f"HTTP {status}"
        if body:
            text = f"{text}: {body[:500]}"
        raise ProviderFailure(self._request.mask_text(self._p, text), status=status,
                              retry_after=retry_after)

    def __enter__(self):
        self._started = self._request.clock()
        return self

    def __exit__(self, exc_type, exc, traceback):
        if exc_type is None:
            self._request.succeeded(self)
            return False
        return self._request.failed(self, exc)

    def __repr__(self) -> str:
        return (f"Attempt(provider={self.provider!r}, key={self.masked_key!r}, "
                f"number={self.number}, round={self.round})")
