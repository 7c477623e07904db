"""The syncer: the only code of a fleet host that talks to Redis.

One syncer per host: the process holding the host's syncer lock (always
the process itself for a one-process host; for a host region, whoever holds
the lock on `<path>.syncer`; the others try every second and take over
within about a second when it dies). Two daemon threads. The syncer thread
tops up and hands back the region's leases every 0.1 s (at once when a
request found its lease empty), pushes what any process of the host noted
(trips, key cool-downs, exhaustion, disablement) and, every second,
announces the host, polls what the fleet holds and trades router outcomes.
The listener thread applies other hosts' deadlines as they are published.
Both wait on sockets with the interpreter lock released, and every call has
a socket timeout, so neither hangs on a stopped server.

When Redis has not answered for `DEGRADED_AFTER_S`, the region's leases give
way to each host's share of every limit (fleet_lease.hpp) and the host keeps
its own trips; the syncer retries with redis-py's jittered exponential
back-off (at most `MAX_BACKOFF_S` apart), tells the fleet again what the
region holds once Redis is back (a restarted server has lost it), and
leaves the degraded mode when a round succeeds. The degraded flag lives in
the region, so a syncer that takes over from one that was degraded ends it.

Nothing ends the syncer thread but `stop()`: a failed round (Redis, a
damaged entry, a lock file that cannot be opened) is logged, reported and
tried again. A forked child of a host drops what it inherited (the
parent's leases and syncer lock) and syncs on its own threads.

The module runs past 300 lines because its rounds (leases, pushes, the
poll) share one connection's error handling and the degraded bookkeeping;
what the entries in Redis mean is in deadlines.py, learning in learning.py.
"""

from __future__ import annotations

import errno
import logging
import math
import os
import threading
import time
import weakref

from velmorquist_proxy.fleet.deadlines import BACKOFF_STEPS, Deadlines, is_redis_error
from velmorquist_proxy.fleet.learning import Learning
from velmorquist_proxy.fleet.names import new_host_id

logger = logging.getLogger("velmorquist_proxy")

TICK_S = 0.1
ROUND_S = 1.0
TAKE_OVER_S = 1.0
DEGRADED_AFTER_S = 1.0
MAX_BACKOFF_S = 5.0
HOST_ALIVE_MS = 3000
HOSTS_TTL_MS = 10000
_LIMIT_NAMES = ("r", "t")   # a lease's bucket, by the region's LIMIT_REQUESTS / LIMIT_TOKENS


class FleetMismatch(ValueError):
    """This host and the fleet's other hosts disagree (another secret, other
    limits): sharing state would count wrongly, so the host does not join."""


class Syncer:
    def __init__(self, client, scripts, names, state, host_id: str, decay: float, lock,
                 clock=None, wait=None):
        """`clock` and `wait(seconds, event)` (True when the event was set)
        stand in for time.monotonic and Event.wait in tests."""
        from redis.backoff import EqualJitterBackoff, ExponentialBackoff

        self._client = client
        self._scripts = scripts
        self._names = names
        self._state = state
        self._region = state.region
        self._host = host_id
        self._lock = lock
        self._now = clock if clock is not None else time.monotonic
        self._wait = wait if wait is not None else _wait
        self._deadlines = Deadlines(client, scripts, names, state, host_id)
        self._stop = threading.Event()
        self._threads: list[threading.Thread] = []
        self._backoff = EqualJitterBackoff(cap=MAX_BACKOFF_S, base=TICK_S)
        self._listen_backoff = ExponentialBackoff(cap=MAX_BACKOFF_S, base=TICK_S)
        self._last_ok = self._now()
        self._degraded_since: float | None = None
        self._resync = False
        self._failures = 0
        self._last_round = 0.0
        self._last_lease = self._now()
        self._first_lease = True
        self._learning = Learning(client, names, state, decay)
        self._lock_failed_at: float | None = None
        self._mismatch_told = False
        self._agreed = False
        self.hosts = 1
        _live_syncers.add(self)

    # ---- lifetime ----------------------------------------------------------
    def first_round(self) -> None:
        """Start-up, on the constructing thread: raises when Redis fails."""
        if not (self._lock.held or self._try_take_over()):
            return
        self._announce()
        self._lease_round()
        self._deadlines.poll()
        self._learning.trade()
        self._last_round = self._now()

    def start(self, degraded: bool) -> None:
        if degraded and self._lock.held:
            self._enter_degraded("unreachable at start-up")
        for target, name in ((self._run, "velmorquist-fleet-sync"),
                             (self._listen, "velmorquist-fleet-listen")):
            thread = threading.Thread(target=target, name=name, daemon=True)
            thread.start()
            self._threads.append(thread)

    def stop(self) -> None:
        """Stops both threads and leaves the host list (best effort: Redis
        may be gone). A one-process host hands back every held token; a host
        region keeps its leases for its next syncer."""
        self._stop.set()
        self._state.wake()
        for thread in self._threads:
            thread.join(timeout=2.0)
        if not self._lock.held:
            return
        try:
            if self._degraded_since is None:
                if not self._lock.shared:
                    self._hand_back_all()
                self._client.zrem(self._names.hosts, self._host)
        except Exception as error:   # shutting down: nothing to retry
            logger.debug("fleet: could not leave the fleet: %s", type(error).__name__)
        self._lock.release()

    def _take_over(self) -> bool:
        """Becomes the host's syncer when the lock is free; True when it did."""
        if not self._lock.try_take():
            return False
        # What the region holds counts as known, so the poll does not apply it again.
        self._state.known.clear()
        self._state.holdings()
        # The last syncer may have died before telling the fleet everything,
        # or while degraded: the flag is the region's, and ends with the
        # first round this syncer completes.
        self._resync = True
        if self._region.fleet_status()[0] and self._degraded_since is None:
            self._degraded_since = self._now()
        self._first_lease = True
        self._last_round = 0.0
        self._learning.start_again()
        return True

    # ---- the syncer thread -------------------------------------------------
    def _run(self) -> None:
        stop = self._stop
        while not stop.is_set():
            try:
                self.step()
            except Exception:
                logger.exception("fleet syncer failed; trying again")
                self._wait(TAKE_OVER_S, stop)

    def _try_take_over(self) -> bool:
        """_take_over, with a lock file that cannot be opened (a directory
        there, EACCES, EMFILE) reported: this process cannot sync until it can."""
        try:
            taken = self._take_over()
        except OSError as error:
            self._cannot_lock(error)
            return False
        if self._lock_failed_at is not None:
            since, self._lock_failed_at = self._lock_failed_at, None
            self._state.lock_error = None
            if taken:   # the first round it completes says so
                self._degraded_since = min(since, self._degraded_since or since)
            else:       # another process syncs: the host is fine
                self._state.tell("fleet_recovered", {"seconds": round(self._now() - since, 3)})
        return taken

    def _cannot_lock(self, error: OSError) -> None:
        if self._lock_failed_at is not None:
            return
        self._lock_failed_at = self._now()
        name = errno.errorcode.get(error.errno, "OSError")
        self._state.lock_error = name
        logger.error("fleet: cannot open the syncer lock %s (%s); this process cannot sync "
                     "for its host and tries again every %s s", getattr(self._lock, "path", "?"),
                     error.strerror or name, TAKE_OVER_S)
        self._state.tell("fleet_degraded", {"reason": f"syncer lock: {name}",
                                            "hosts": self._region.fleet_status()[1]})

    def step(self) -> None:
        """One pass of the syncer thread: a round, then the wait before the
        next (a tick, or the back-off after a failure)."""
        if not (self._lock.held or self._try_take_over()):
            self._wait(TAKE_OVER_S, self._stop)
            return
        try:
            self._round()
        except Exception as error:
            self._failed(error)
            self._wait(self._backoff.compute(min(self._failures, BACKOFF_STEPS)), self._stop)
            return
        wakeup = self._state.wakeup
        self._wait(TICK_S, wakeup)
        wakeup.clear()

    def _round(self) -> None:
        if not self._agreed:
            # Nothing goes out before the fleet agreed to this host's limits.
            self._check_config()
        if self._resync:
            self._deadlines.push(self._state.holdings(), holdings=True)
            self._resync = False
        # What this host changed goes out at once: others apply it on the message.
        talked = self._deadlines.push(self._state.take_changes())
        if self._lease_round() or talked:
            self._ok()
        if self._now() - self._last_round < ROUND_S:
            return
        self._last_round = self._now()
        self._announce()
        if self._deadlines.poll():
            self._resync = True   # the fleet lost what this host holds
        self._learning.trade()
        self._ok()

    def _ok(self) -> None:
        self._last_ok = self._now()
        self._failures = 0
        if self._degraded_since is None:
            return
        seconds = round(self._now() - self._degraded_since, 3)
        self._degraded_since = None
        self._region.fleet_set_degraded(False)
        self._state.tell("fleet_recovered", {"seconds": seconds})

    def _failed(self, error: Exception) -> None:
        self._failures += 1
        self._resync = True
        if isinstance(error, FleetMismatch):
            if not self._mismatch_told:
                self._mismatch_told = True
                logger.error("%s; this host stays on its share until it is fixed", error)
        elif not isinstance(error, OSError) and not is_redis_error(error):
            logger.exception("fleet syncer round failed")
        if (self._degraded_since is None
                and self._now() - self._last_ok >= DEGRADED_AFTER_S):
            self._enter_degraded(type(error).__name__)

    def _enter_degraded(self, reason: str) -> None:
        self._degraded_since = self._now()
        self._resync = True
        self._region.fleet_set_degraded(True)
        hosts = self._region.fleet_status()[1]
        if hosts == 0:
            logger.warning("fleet: Redis has not answered yet and the number of hosts is not "
                           "known: this host admits nothing on limited providers until Redis "
                           "answers (pass expected_hosts to admit a share)")
        self._state.tell("fleet_degraded", {"reason": reason, "hosts": hosts})

    # ---- leases ------------------------------------------------------------
    def _lease_round(self) -> bool:
        """Asks for and hands back leases; True when it talked to Redis."""
        now = self._now()
        elapsed, self._last_lease = now - self._last_lease, now
        first, self._first_lease = self._first_lease, False
        region = self._region
        asks = region.fleet_lease_asks(elapsed, first)
        if not asks:
            return False
        pipe = self._client.pipeline(transaction=False)
        for p, limit, want, back, capacity, rate in asks:
            self._scripts.lease(keys=[self._names.bucket(p, _LIMIT_NAMES[limit])],
                                args=_lease_args(capacity, rate, want, back), client=pipe)
        # No hand-back is put back after a failure: the script may have run
        # and only its reply been lost, and tokens both in the bucket and
        # held here would be spent twice. When in doubt they are given up;
        # the bucket refills them.
        replies = pipe.execute()
        for (p, limit, *_), (granted, _) in zip(asks, replies):
            region.fleet_grant(p, limit, float(granted), True)
        return True

    def _hand_back_all(self) -> None:
        backs = self._region.fleet_hand_back()
        if not backs:
            return
        pipe = self._client.pipeline(transaction=False)
        for p, limit, _, back, capacity, rate in backs:
            self._scripts.lease(keys=[self._names.bucket(p, _LIMIT_NAMES[limit])],
                                args=_lease_args(capacity, rate, 0, back), client=pipe)
        pipe.execute()

    # ---- hosts -------------------------------------------------------------
    def _announce(self) -> None:
        self._check_config()
        hosts, added = self._scripts.heartbeat(keys=[self._names.hosts],
                                               args=[self._host, HOST_ALIVE_MS, HOSTS_TTL_MS])
        self.hosts = max(1, int(hosts))
        self._region.fleet_set_hosts(self.hosts)
        if added and self._last_round:
            # Not among the live hosts: the fleet lost its entries (FLUSHALL,
            # eviction) or this host was silent too long. It hears again
            # what this host holds.
            self._resync = True

    def _check_config(self) -> None:
        """Raises FleetMismatch when hosts with another secret or other
        limits share the namespace; refreshes this host's claim otherwise."""
        names = self._names
        args = [names.namespace_check, HOSTS_TTL_MS]
        for provider, limits in zip(names.providers, names.limits):
            args += [provider, limits]
        disagree = [value.decode() if isinstance(value, bytes) else value
                    for value in self._scripts.config(keys=[names.check, names.conf],
                                                      args=args)]
        self._agreed = not disagree
        if self._agreed:
            return
        if "secret" in disagree:
            raise FleetMismatch(f"FleetState: namespace {names.namespace!r} is in use by hosts "
                                "with another secret; give every host the same secret, or "
                                "use another namespace")
        which = [names.provider_names[names.providers.index(h)] for h in disagree
                 if h in names.providers]
        raise FleetMismatch(f"FleetState: other hosts of namespace {names.namespace!r} have "
                            f"other limits (rate, token_rate) for {', '.join(map(repr, which))}; "
                            "every host must have the same, or use another namespace")

    # ---- the listener thread -----------------------------------------------
    def _listen(self) -> None:
        while not self._lock.held:
            if self._stop.wait(0.1):
                return
        self._deadlines.listen(self._stop, self._listen_backoff)

    # ---- fork ----------------------------------------------------------------
    def after_fork_in_child(self) -> None:
        """A forked child is a host of its own (one process) or one more
        process of its host region: it drops the parent's leases (private
        memory) and syncer lock, and runs its own threads."""
        self._stop = threading.Event()
        self._state.after_fork_in_child()
        self._lock.after_fork_in_child()
        self._host = new_host_id()
        self._deadlines.host = self._host
        if not self._lock.shared:
            # A copy of the parent's: spending it would spend them twice.
            self._region.fleet_hand_back()
            self._resync = True
        self._first_lease = True
        self._last_round = 0.0
        self._last_lease = self._last_ok = self._now()
        self._learning.start_again()
        running, self._threads = bool(self._threads), []
        if running:
            self.start(False)


_live_syncers: weakref.WeakSet = weakref.WeakSet()


def _after_fork_in_child() -> None:
    for syncer in list(_live_syncers):
        if syncer._stop.is_set():
            continue
        try:
            syncer.after_fork_in_child()
        except Exception:
            logger.exception("fleet: the forked child could not start its syncer")


os.register_at_fork(after_in_child=_after_fork_in_child)


def _wait(seconds: float, event: threading.Event) -> bool:
    return event.wait(seconds)


def _lease_args(capacity: float, rate: float, want: int, back: int) -> list:
    """The lease script's arguments for a limit of `capacity` refilled at
    `rate` per second (as the region's buckets are)."""
    rate_per_us = rate / 1e6 if math.isfinite(rate) else capacity
    refill_ms = capacity / rate * 1000 if rate > 0 else 86400000
    ttl_ms = max(1000, min(86400000, math.ceil(refill_ms) + 1000))
    return [repr(capacity), repr(rate_per_us), want, back, ttl_ms]
