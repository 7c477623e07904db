"""A fleet host that is a whole `HostState` region: one syncer per host.

Every process attached to the region spends one host-wide lease of each
fleet bucket (kept in the region, taken under the provider's lock, see
core/policy/fleet_lease.hpp), and notes there what it changed: a breaker trip, a
key cool-down, exhaustion, disablement or re-enabling, and its outcomes for
the router. Exactly one process per host is the syncer: the one holding the
lock on `<path>.syncer`. It alone talks to Redis: it tops the leases up,
tells the fleet what the host noted, applies what other hosts did to the
region once (so every process sees it) and trades the host's outcomes.
The other processes try the lock every second, so when the syncer dies
(the kernel drops its lock) one of them takes over within about a second;
the leases, notes and outcomes wait in the region meanwhile.
"""

from __future__ import annotations

import fcntl
import os
import time

from velmorquist_proxy.fleet.gateway_state import (
    COOL, DISABLED, ENABLED, EXHAUSTED, RESET, TRIP, FleetGatewayState,
)
from velmorquist_proxy.fleet.syncer import Syncer, _lease_args as lease_args

# How often a process that is not the syncer tries to become it.
TAKE_OVER_S = 1.0

# The region's codes for what a change is about (FleetNote in core/region/shared_state.hpp).
_NOTE_CODES = {TRIP: 0, COOL: 1, EXHAUSTED: 2, DISABLED: 3, ENABLED: 4, RESET: 5}
_NOTE_NAMES = {code: name for name, code in _NOTE_CODES.items()}
_LIMIT_NAMES = ("r", "t")


class SyncerLock:
    """An exclusive lock on `<path>.syncer`, never waited for. The kernel
    drops it when its holder exits or dies."""

    def __init__(self, region_path: str):
        self._path = region_path + ".syncer"
        self._fd: int | None = None

    @property
    def held(self) -> bool:
        return self._fd is not None

    def try_take(self) -> bool:
        """True when this call took the lock."""
        if self._fd is not None:
            return False
        fd = os.open(self._path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            return False
        self._fd = fd
        return True

    def release(self) -> None:
        if self._fd is not None:
            os.close(self._fd)
            self._fd = None


class HostFleetGatewayState(FleetGatewayState):
    """FleetGatewayState whose limits, notes and outcomes live in the region."""

    def __init__(self, region, descriptions, now_fn=None):
        super().__init__(region, descriptions, now_fn)
        self._region = region
        self.try_limits = region.fleet_try_limits
        self.limits_ready_in = region.fleet_limits_ready_in
        self.release_limits = region.fleet_release_limits
        self.settle_tokens = region.fleet_settle_tokens
        self.bucket_levels = region.fleet_bucket_levels
        self.reward = region.fleet_reward
        self.learn_latency = region.fleet_learn_latency
        self.is_syncer = _no

    # The region holds the fleet's status for every process of the host.
    @property
    def status(self) -> dict:
        degraded, hosts = self._region.fleet_status()
        return {"degraded": degraded, "hosts": hosts}

    @status.setter
    def status(self, _value) -> None:
        pass   # written by the syncer through the region

    def snapshot_fields(self) -> dict:
        fields = super().snapshot_fields()
        fields["fleet"]["syncer"] = self.is_syncer()
        return fields

    def note(self, what, p, k, value):
        self._region.fleet_note(p, k, _NOTE_CODES[what])
        self.wake()

    def take_pending(self) -> dict:
        """What any process of the host noted, and what a failed push left."""
        pending = super().take_pending()
        now = self._now()
        for code, p, k, value in self._region.fleet_changes(False):
            what = _NOTE_NAMES[code]
            if what == TRIP:
                self._hold_trip(p, value)
            elif what == RESET:
                self.tripped_until[p] = 0.0
            elif what == COOL:
                self.known[(COOL, p, k)] = now + value
            elif what == EXHAUSTED:
                value = int(value)
                self.known[(EXHAUSTED, p, k)] = value
            pending.setdefault((what, p, k), value)
        return pending

    def held_by_host(self) -> dict:
        """Everything the region holds that the fleet should hold too."""
        return {(_NOTE_NAMES[code], p, k): int(value) if code == _NOTE_CODES[EXHAUSTED] else value
                for code, p, k, value in self._region.fleet_changes(True)}


class HostSyncer(Syncer):
    """The Syncer of a host region, running only while it holds the lock."""

    def __init__(self, client, scripts, names, state, host_id, decay, region_path):
        super().__init__(client, scripts, names, state, host_id, decay)
        self._region = state._region
        self._lock = SyncerLock(region_path)
        self._unsent = None
        self._first_lease = True
        state.is_syncer = lambda: self._lock.held

    # ---- lifetime ----------------------------------------------------------
    def first_round(self) -> None:
        if self._take_over():
            super().first_round()
            self._first_lease = False

    def start(self, degraded: bool) -> None:
        super().start(degraded and self._lock.held)

    def stop(self) -> None:
        """Stops both threads and frees the lock for another process; the
        leases stay in the region for the next syncer."""
        self._stop.set()
        self._wake.set()
        for thread in self._threads:
            thread.join(timeout=2.0)
        if not self._lock.held:
            return
        try:
            if self._degraded_since is None:
                self._client.zrem(self._names.hosts, self._host)
        except Exception:   # shutting down: nothing to retry
            pass
        self._lock.release()

    def _take_over(self) -> bool:
        """Becomes the host's syncer when the lock is free; True when it did."""
        if not self._lock.try_take():
            return False
        state, now = self._state, time.monotonic()
        # What the region holds counts as known, so the poll does not apply it again.
        state.known.clear()
        for (what, p, k), value in state.held_by_host().items():
            if what == TRIP:
                state._hold_trip(p, value)
            elif what == COOL:
                state.known[(COOL, p, k)] = now + value
            elif what == EXHAUSTED:
                state.known[(EXHAUSTED, p, k)] = value
            elif what == DISABLED:
                state.known[(DISABLED, p, k)] = True
        # The last syncer may have died before telling the fleet everything.
        self._resync = True
        self._first_lease = True
        self._last_round = 0.0
        self._learned = [None] * len(self._learned)
        return True

    # ---- the threads -------------------------------------------------------
    def _step(self) -> None:
        if self._lock.held or self._take_over():
            super()._step()
            return
        self._stop.wait(TAKE_OVER_S)

    def _listen(self) -> None:
        while not self._lock.held:
            if self._stop.wait(0.1):
                return
        super()._listen()

    # ---- status ------------------------------------------------------------
    def _ok(self) -> None:
        was_degraded = self._degraded_since is not None
        super()._ok()
        if was_degraded:
            self._region.fleet_set_degraded(False)

    def _enter_degraded(self, reason: str) -> None:
        self._region.fleet_set_degraded(True)
        super()._enter_degraded(reason)

    def _announce(self) -> None:
        super()._announce()
        self._region.fleet_set_hosts(self.hosts)

    # ---- leases ------------------------------------------------------------
    def _lease_round(self, first: bool = False) -> bool:
        now = time.monotonic()
        elapsed, self._last_lease = now - self._last_lease, now
        first, self._first_lease = first or self._first_lease, False
        region = self._region
        asks = region.fleet_lease_asks(elapsed, first)
        if not asks:
            return False
        pipe = self._client.pipeline(transaction=False)
        for p, limit, want, back in asks:
            self._scripts.lease(keys=[self._names.bucket(p, _LIMIT_NAMES[limit])],
                                args=_lease_args(self._state._limits[p], limit, want, back),
                                client=pipe)
        try:
            replies = pipe.execute()
        except Exception:
            for p, limit, _, back in asks:
                region.fleet_grant(p, limit, float(back), False)
            raise
        for (p, limit, _, _), (granted, _) in zip(asks, replies):
            region.fleet_grant(p, limit, float(granted), True)
        return True

    def _hand_back_all(self) -> None:
        pass   # the host keeps its leases for its next syncer

    # ---- what the host holds -------------------------------------------------
    def _held_by_host(self) -> dict:
        return self._state.held_by_host()

    # ---- learning ------------------------------------------------------------
    def _take_mine(self) -> list:
        region = self._region
        mine = [[*outcomes, *latencies] for outcomes, latencies
                in zip(region.fleet_take_outcomes(), region.fleet_take_latencies())]
        if self._unsent is not None:
            for counts, unsent in zip(mine, self._unsent):
                for i, count in enumerate(unsent):
                    counts[i] += count
            self._unsent = None
        return mine

    def _restore_mine(self, mine) -> None:
        self._unsent = mine


def _lease_args(limits, limit: int, want: int, back: int) -> list:
    return lease_args(limits.requests if limit == 0 else limits.tokens, want, back)


def _no() -> bool:
    return False
