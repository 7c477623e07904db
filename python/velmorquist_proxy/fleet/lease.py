"""Tokens a host holds from one fleet bucket, and its share when it holds none.

The request path only ever touches a `Lease`: tokens already granted by the
fleet bucket in Redis. The syncer tops it up to about 1.5 s of this host's
recent demand and hands back what sits unused. While Redis cannot be
reached (or before the first grant), the host falls back to its share of
the limit: a local bucket with the limit and burst divided by the number of
live hosts. Tokens still held are spent first in either mode.
"""

from __future__ import annotations

import math

# Seconds of recent demand a host keeps in hand.
LEASE_SECONDS = 1.5
# How fast the demand estimate follows a change (weight of the newest round).
DEMAND_WEIGHT = 0.5


class ShareBucket:
    """A plain token bucket over the host's share of a limit."""

    __slots__ = ("capacity", "rate", "level", "stamp")

    def __init__(self, capacity: float, rate: float, now: float):
        self.capacity, self.rate = capacity, rate
        self.level, self.stamp = capacity, now

    def refill(self, now: float) -> None:
        if now > self.stamp:
            self.level = min(self.capacity, self.level + (now - self.stamp) * self.rate)
            self.stamp = now

    def ready_in(self, n: int) -> float:
        if n > self.capacity:
            return math.inf
        missing = n - self.level
        if missing <= 0:
            return 0.0
        return missing / self.rate if self.rate > 0 else math.inf


class Lease:
    """One limit (requests or tokens) of one provider on this host.

    `held` may go below zero: a call that used more tokens than it reserved
    leaves a debt the next grant pays first. Callers hold the provider's lock
    around every request-path method.
    """

    __slots__ = ("capacity", "rate", "held", "asked", "largest", "demand", "share",
                 "leased", "hosts")

    def __init__(self, config, now: float, hosts: int = 1):
        burst = config.burst_size
        self.capacity = float(config.max_calls if burst is None else burst)
        window = config.time_window_secs
        # A window of zero or less, or NaN, refills at once (as the bucket does).
        self.rate = config.max_calls / window if window > 0 else math.inf
        self.held = 0.0
        self.asked = 0.0      # demand since the syncer last looked
        self.largest = 1.0    # the largest single ask seen: a lease must cover it
        self.demand = 0.0     # tokens per second, smoothed
        self.leased = False   # False: spend the share bucket beyond what is held
        self.hosts = 0
        self.set_hosts(hosts, now)

    # ---- request path ------------------------------------------------------
    def take(self, n: int, now: float) -> bool:
        self.asked += n
        if n > self.largest:
            self.largest = n
        if self.held >= n:
            self.held -= n
            return True
        if self.leased:
            return False
        share = self.share
        share.refill(now)
        missing = n - max(self.held, 0.0)
        if share.level < missing:
            return False
        share.level -= missing
        self.held = min(self.held, 0.0)
        return True

    def can_take(self, n: int, now: float) -> bool:
        if self.held >= n:
            return True
        if self.leased:
            return False
        self.share.refill(now)
        return self.share.level >= n - max(self.held, 0.0)

    def ready_in(self, n: int, now: float) -> float:
        if n > self.capacity:
            return math.inf
        missing = n - self.held
        if missing <= 0:
            return 0.0
        if not self.leased:
            self.share.refill(now)
            return self.share.ready_in(missing)
        # The syncer tops up within its next round; the fleet refills at `rate`.
        return max(0.05, missing / self.rate) if self.rate > 0 else math.inf

    def give_back(self, n: int) -> None:
        self.held += n

    def level(self) -> float:
        return self.held if self.leased else self.held + self.share.level

    # ---- syncer ------------------------------------------------------------
    def set_hosts(self, hosts: int, now: float) -> None:
        hosts = max(1, hosts)
        if hosts == self.hosts:
            return
        self.hosts = hosts
        self.share = ShareBucket(max(1.0, self.capacity / hosts), self.rate / hosts, now)

    def wanted(self, elapsed: float) -> tuple[int, int]:
        """(tokens to ask for, tokens to hand back) after `elapsed` seconds
        since the last call; at most one of them is non-zero."""
        if elapsed > 0:
            recent = self.asked / elapsed
            self.demand += DEMAND_WEIGHT * (recent - self.demand)
            self.asked = 0.0
        # Never more than the host's share of the bucket, never less than the
        # largest single ask (or the call could never go out) and one token.
        ceiling = max(self.largest, math.floor(self.capacity / self.hosts), 1)
        target = min(max(math.ceil(LEASE_SECONDS * self.demand), 1, self.largest), ceiling)
        if self.held < target / 2 or self.held < self.largest:
            return math.ceil(target - self.held), 0
        if self.held > 2 * target:
            return 0, math.floor(self.held - target)
        return 0, 0
