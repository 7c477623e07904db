"""A native token bucket that can also be given tokens back."""

from __future__ import annotations

import math
from threading import Lock

from velmorquist_proxy._native import RateLimitConfig, RateLimitedError, TokenBucket


class Bucket:
    """`TokenBucket` plus a credit of returned tokens.

    The native bucket only ever takes, but a gateway must return what it
    reserved for a call that never went out, or the part of a token estimate
    a reply did not use. Returned tokens are kept as a credit that is spent
    before the native bucket, and the two together never exceed the
    capacity.
    """

    __slots__ = ("_native", "_acquire", "_credit", "_lock", "capacity", "rate")

    def __init__(self, config: RateLimitConfig):
        self._native = TokenBucket(config)
        self._acquire = self._native.try_acquire
        self._credit = 0
        self._lock = Lock()
        burst = config.burst_size
        self.capacity = float(config.max_calls if burst is None else burst)
        window = config.time_window_secs
        # A window of zero or less, or NaN, refills at once (as the bucket does).
        self.rate = config.max_calls / window if window > 0 else math.inf

    def take(self, n: int) -> bool:
        if self._credit:
            return self._take_with_credit(n)
        try:
            self._acquire(n)
        except RateLimitedError:
            return False
        return True

    def give_back(self, n: int) -> None:
        with self._lock:
            self._credit += n

    def take_up_to(self, n: int) -> None:
        """Takes n tokens, or as many whole ones as there are."""
        if not self.take(n):
            self.take(min(n, int(self.level())))

    def level(self) -> float:
        with self._lock:
            return self._level()

    def ready_in(self, n: int) -> float:
        """Seconds until n tokens are there; inf when they never will be."""
        if n > self.capacity:
            return math.inf
        missing = n - self.level()
        if missing <= 0:
            return 0.0
        return missing / self.rate if self.rate > 0 else math.inf

    def _level(self) -> float:
        native = self._native.available_tokens
        # Credit beyond the room left would overflow the bucket: drop it.
        self._credit = min(self._credit, int(self.capacity - native))
        return native + self._credit

    def _take_with_credit(self, n: int) -> bool:
        with self._lock:
            self._level()
            spent = min(self._credit, n)
            self._credit -= spent
        if spent == n:
            return True
        try:
            self._acquire(n - spent)
        except RateLimitedError:
            self.give_back(spent)
            return False
        return True
