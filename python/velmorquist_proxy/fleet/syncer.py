"""The syncer: the only code of a fleet host that talks to Redis.

Two daemon threads per host. The syncer thread tops up and hands back
leases every 0.1 s (at once when a request found its lease empty), and every
second announces the host, pushes what the host changed (trips, key
cool-downs, exhaustion, disablement), polls what the fleet holds and trades
router outcomes. The listener thread applies other hosts' deadlines as they
are published. Both wait on sockets with the interpreter lock released, and
every call has a socket timeout, so neither hangs on a stopped server.

When Redis has not answered for `DEGRADED_AFTER_S`, the host spends its share
of each limit instead of leases (see fleet/lease.py) and keeps its own
trips; it retries with back-off (at most `MAX_BACKOFF_S` apart), tells the
fleet again what it holds once Redis is back (a restarted server has lost
it), and leaves the degraded mode when a lease round succeeds.
"""

from __future__ import annotations

import logging
import math
import random
import threading
import time

from velmorquist_proxy.fleet.gateway_state import (
    COOL, DISABLED, ENABLED, EXHAUSTED, RESET, TRIP,
)

logger = logging.getLogger("velmorquist_proxy")

TICK_S = 0.1
ROUND_S = 1.0
DEGRADED_AFTER_S = 1.0
MAX_BACKOFF_S = 5.0
HOST_ALIVE_MS = 3000
HOSTS_TTL_MS = 10000
DISABLED_TTL_MS = 24 * 3600 * 1000
EXHAUSTED_TTL_MS = 25 * 3600 * 1000   # past the next daily reset at any time of day
LEARN_TTL_MS = 3600 * 1000


class Syncer:
    def __init__(self, client, scripts, names, state, host_id: str, decay: float):
        self._client = client
        self._scripts = scripts
        self._names = names
        self._state = state
        self._host = host_id
        self._memory = _memory(decay)
        self._provider_of = {h: p for p, h in enumerate(names.providers)}
        self._key_of = [{h: k for k, h in enumerate(keys)} for keys in names.keys]
        self._stop = threading.Event()
        self._wake = threading.Event()
        self._threads: list[threading.Thread] = []
        self._last_ok = time.monotonic()
        self._degraded_since: float | None = None
        self._resync = False
        self._failures = 0
        self._last_round = 0.0
        self._last_lease = time.monotonic()
        self._learned: list[tuple[float, float] | None] = [None] * len(names.providers)
        self.hosts = 1

    # ---- lifetime ----------------------------------------------------------
    def first_round(self) -> None:
        """Start-up, on the constructing thread: raises when Redis fails."""
        self._announce()
        self._lease_round(first=True)
        self._poll()
        self._learn()
        self._last_round = time.monotonic()

    def start(self, degraded: bool) -> None:
        if degraded:
            self._enter_degraded("unreachable at start-up")
        self._state.wake = self._wake.set
        for target, name in ((self._run, "velmorquist-fleet-sync"),
                             (self._listen, "velmorquist-fleet-listen")):
            thread = threading.Thread(target=target, name=name, daemon=True)
            thread.start()
            self._threads.append(thread)

    def stop(self) -> None:
        """Stops both threads, hands back every held token and leaves the
        host list (best effort: Redis may be gone)."""
        self._stop.set()
        self._wake.set()
        for thread in self._threads:
            thread.join(timeout=2.0)
        if self._degraded_since is not None:
            return
        try:
            self._hand_back_all()
            self._client.zrem(self._names.hosts, self._host)
        except Exception as error:   # shutting down: nothing to retry
            logger.debug("fleet: could not hand back leases: %s", type(error).__name__)

    # ---- the syncer thread -------------------------------------------------
    def _run(self) -> None:
        while not self._stop.is_set():
            self._step()

    def _step(self) -> None:
        try:
            self._round()
        except Exception as error:
            self._failed(error)
            self._stop.wait(self._backoff())
            return
        self._wake.wait(TICK_S)
        self._wake.clear()

    def _round(self) -> None:
        if self._resync:
            self._push(self._held_by_host())
            self._resync = False
        # What this host changed goes out at once: others apply it on the message.
        talked = self._push(self._state.take_pending())
        if self._lease_round() or talked:
            self._ok()
        if time.monotonic() - self._last_round < ROUND_S:
            return
        self._last_round = time.monotonic()
        self._announce()
        self._poll()
        self._learn()
        self._ok()

    def _ok(self) -> None:
        self._last_ok = time.monotonic()
        self._failures = 0
        if self._degraded_since is None:
            return
        seconds = round(time.monotonic() - self._degraded_since, 3)
        self._degraded_since = None
        self._state.status["degraded"] = False
        self._state.tell("fleet_recovered", {"seconds": seconds})

    def _failed(self, error: Exception) -> None:
        self._failures += 1
        self._resync = True
        if not isinstance(error, OSError) and not _is_redis_error(error):
            logger.exception("fleet syncer round failed")
        if (self._degraded_since is None
                and time.monotonic() - self._last_ok >= DEGRADED_AFTER_S):
            self._enter_degraded(type(error).__name__)

    def _enter_degraded(self, reason: str) -> None:
        self._degraded_since = time.monotonic()
        self._resync = True
        for _, _, lease, lock in self._state.leases:
            with lock:
                lease.leased = False
        self._state.status["degraded"] = True
        self._state.tell("fleet_degraded", {"reason": reason, "hosts": self.hosts})

    def _backoff(self) -> float:
        base = min(MAX_BACKOFF_S, TICK_S * 2 ** min(self._failures, 8))
        return base * random.uniform(0.5, 1.0)

    # ---- leases ------------------------------------------------------------
    def _lease_round(self, first: bool = False) -> bool:
        """Asks for and hands back leases; True when it talked to Redis."""
        now = time.monotonic()
        elapsed, self._last_lease = now - self._last_lease, now
        asks = []
        for p, kind, lease, lock in self._state.leases:
            with lock:
                want, back = lease.wanted(elapsed)
                if first or want or back or not lease.leased:
                    lease.held -= back
                    asks.append((p, kind, lease, lock, want, back))
        if not asks:
            return False
        pipe = self._client.pipeline(transaction=False)
        for p, kind, lease, _, want, back in asks:
            self._scripts.lease(keys=[self._names.bucket(p, kind)],
                                args=_lease_args(lease, want, back), client=pipe)
        try:
            replies = pipe.execute()
        except Exception:
            for _, _, lease, lock, _, back in asks:
                with lock:
                    lease.held += back
            raise
        for (_, _, lease, lock, _, _), (granted, _) in zip(asks, replies):
            with lock:
                lease.held += int(granted)
                lease.leased = True
        return True

    def _hand_back_all(self) -> None:
        pipe = self._client.pipeline(transaction=False)
        for p, kind, lease, lock in self._state.leases:
            with lock:
                back, lease.held = max(0, math.floor(lease.held)), min(lease.held, 0.0)
            if back:
                self._scripts.lease(keys=[self._names.bucket(p, kind)],
                                    args=_lease_args(lease, 0, back), client=pipe)
        pipe.execute()

    # ---- hosts -------------------------------------------------------------
    def _announce(self) -> None:
        hosts = int(self._scripts.heartbeat(keys=[self._names.hosts],
                                            args=[self._host, HOST_ALIVE_MS, HOSTS_TTL_MS]))
        self.hosts = max(1, hosts)
        self._state.status["hosts"] = self.hosts
        now = time.monotonic()
        for _, _, lease, lock in self._state.leases:
            with lock:
                lease.set_hosts(self.hosts, now)

    # ---- deadlines ---------------------------------------------------------
    def _push(self, changes: dict) -> bool:
        """Sends changes to Redis; True when there were any."""
        if not changes:
            return False
        names, pipe = self._names, self._client.pipeline(transaction=False)
        for (what, p, k), value in changes.items():
            if what == ENABLED:
                self._state.known.pop((DISABLED, p, k), None)
                pipe.delete(names.key_entry(DISABLED, p, k))
                pipe.publish(names.channel, self._message(what, p, k, 0))
                continue
            if what == RESET:
                pipe.delete(names.trip(p))
                pipe.publish(names.channel, self._message(what, p, k, 0))
                continue
            entry, ms, stored = self._entry(what, p, k, value)
            self._scripts.deadline(keys=[entry],
                                   args=[ms, stored, names.channel,
                                         self._message(what, p, k, ms if what in (TRIP, COOL)
                                                       else value)],
                                   client=pipe)
        try:
            pipe.execute()
        except Exception:
            self._give_back_pending(changes)
            raise
        for (what, p, k) in changes:
            if what == DISABLED:
                self._state.known[(DISABLED, p, k)] = True
        return True

    def _entry(self, what, p, k, value):
        """(key, milliseconds to live, stored value) of one change."""
        names = self._names
        if what == TRIP:
            ms = max(1, round(value * 1000))
            return names.trip(p), ms, ms
        if what == COOL:
            ms = max(1, round(value * 1000))
            return names.key_entry(COOL, p, k), ms, ms
        if what == EXHAUSTED:
            return names.key_entry(EXHAUSTED, p, k), EXHAUSTED_TTL_MS, value
        return names.key_entry(DISABLED, p, k), DISABLED_TTL_MS, 1

    def _give_back_pending(self, changes: dict) -> None:
        state = self._state
        with state.pending_lock:
            for entry, value in changes.items():
                state.pending.setdefault(entry, value)

    def _held_by_host(self) -> dict:
        """Everything this host holds that the fleet should hold too."""
        state, now, held = self._state, time.monotonic(), {}
        for p, until in enumerate(state.tripped_until):
            if until > now:
                held[(TRIP, p, -1)] = until - now
        for (what, p, k), value in list(state.known.items()):
            if what == COOL and value > now:
                held[(COOL, p, k)] = value - now
            elif what == EXHAUSTED and value == state.day:
                held[(EXHAUSTED, p, k)] = value
            elif what == DISABLED:
                held[(DISABLED, p, k)] = 0
        return held

    def _poll(self) -> None:
        names, state, pipe = self._names, self._state, self._client.pipeline(transaction=False)
        for p, keys in enumerate(names.keys):
            pipe.pttl(names.trip(p))
            for k in range(len(keys)):
                pipe.pttl(names.key_entry(COOL, p, k))
                pipe.get(names.key_entry(EXHAUSTED, p, k))
                if (DISABLED, p, k) in state.known:
                    pipe.pexpire(names.key_entry(DISABLED, p, k), DISABLED_TTL_MS)
                else:
                    pipe.exists(names.key_entry(DISABLED, p, k))
        replies = iter(pipe.execute())
        pending = state.pending
        for p, keys in enumerate(names.keys):
            trip_ms = next(replies)
            if trip_ms > 0:
                state.apply_trip(p, trip_ms / 1000)
            for k in range(len(keys)):
                cool_ms, exhausted_on, disabled = next(replies), next(replies), next(replies)
                if cool_ms > 0:
                    state.apply_key(COOL, p, k, cool_ms / 1000)
                if exhausted_on is not None:
                    state.apply_key(EXHAUSTED, p, k, int(exhausted_on))
                # A change of this host not pushed yet wins over the poll.
                if (DISABLED, p, k) in pending or (ENABLED, p, k) in pending:
                    continue
                state.apply_key(DISABLED if disabled else ENABLED, p, k, 0)

    # ---- the listener thread -----------------------------------------------
    def _listen(self) -> None:
        failures = 0
        while not self._stop.is_set():
            pubsub = self._client.pubsub(ignore_subscribe_messages=True)
            try:
                pubsub.subscribe(self._names.channel)
                failures = 0
                while not self._stop.is_set():
                    message = pubsub.get_message(timeout=0.5)
                    if message is not None:
                        self._apply_message(message["data"])
            except Exception as error:
                if not isinstance(error, OSError) and not _is_redis_error(error):
                    logger.exception("fleet listener failed")
                failures += 1
                self._stop.wait(min(MAX_BACKOFF_S, TICK_S * 2 ** min(failures, 8)))
            finally:
                try:
                    pubsub.close()
                except Exception:
                    pass

    def _message(self, what, p, k, value) -> str:
        key = self._names.keys[p][k] if k >= 0 else "-"
        return f"{self._host}|{what}|{self._names.providers[p]}|{key}|{value}"

    def _apply_message(self, data) -> None:
        if isinstance(data, bytes):
            data = data.decode()
        parts = data.split("|")
        if len(parts) != 5 or parts[0] == self._host:
            return
        _, what, provider, key, value = parts
        p = self._provider_of.get(provider)
        if p is None:
            return   # a provider this host does not have
        if what == TRIP:
            self._state.apply_trip(p, int(value) / 1000)
            return
        if what == RESET:
            self._state.apply_reset(p)
            return
        k = self._key_of[p].get(key)
        if k is None:
            return
        if what == COOL:
            self._state.apply_key(COOL, p, k, int(value) / 1000)
        elif what in (EXHAUSTED, DISABLED, ENABLED):
            self._state.apply_key(what, p, k, int(value))

    # ---- learning ----------------------------------------------------------
    def _learn(self) -> None:
        """Pushes this host's outcomes and measured latencies since the last
        round and applies the other hosts' to the local router, as if seen here."""
        names = self._names
        mine = self._take_mine()
        pipe = self._client.pipeline(transaction=False)
        for p, counts in enumerate(mine):
            key = names.learn(p)
            if any(counts):
                for field, count in zip(_LEARN_FIELDS, counts):
                    pipe.hincrbyfloat(key, field, count)
                pipe.pexpire(key, LEARN_TTL_MS)
            else:
                pipe.hmget(key, *_LEARN_FIELDS)
        try:
            replies = iter(pipe.execute())
        except Exception:
            self._restore_mine(mine)
            raise
        for p, counts in enumerate(mine):
            if any(counts):
                total = tuple(float(next(replies)) for _ in _LEARN_FIELDS)
                next(replies)
            else:
                total = tuple(float(value or 0.0) for value in next(replies))
            self._apply_learned(p, total, counts)

    def _take_mine(self) -> list:
        """[successes, failures, latency sum ms, latencies] per provider of
        this host since the last round."""
        mine = [[0.0, 0.0, 0.0, 0.0] for _ in self._names.providers]
        outcomes = self._state.outcomes
        while outcomes:
            p, reward = outcomes.popleft()
            mine[p][0] += reward
            mine[p][1] += 1.0 - reward
        latencies = self._state.latencies
        while latencies:
            p, total_ms, count = latencies.popleft()
            mine[p][2] += total_ms
            mine[p][3] += count
        return mine

    def _restore_mine(self, mine) -> None:
        """What _take_mine gave, back for the next round (Redis failed)."""
        outcomes = self._state.outcomes
        for p, (successes, failures, total_ms, count) in enumerate(mine):
            for _ in range(round(successes)):
                outcomes.append((p, 1.0))
            for _ in range(round(failures)):
                outcomes.append((p, 0.0))
            if count:
                self._state.latencies.append((p, total_ms, count))

    def _apply_learned(self, p, total, mine) -> None:
        seen = self._learned[p]
        self._learned[p] = total
        if seen is None:
            return
        others = [t - s - m for t, s, m in zip(total, seen, mine)]
        others_s, others_f, others_n = round(others[0]), round(others[1]), round(others[3])
        if min(others_s, others_f, others_n) < 0 or others[2] < -1e-6:
            return   # Redis lost the counts: they start again from here
        self._state.apply_outcomes(p, others_s, others_f, self._memory)
        if others_n:
            self._state.absorb_latency(p, max(0.0, others[2]) / others_n,
                                       min(others_n, self._memory))


# The fleet's learning per provider: successes, failures, and the sum and
# count of measured latencies.
_LEARN_FIELDS = ("s", "f", "ls", "ln")


def _lease_args(lease, want: int, back: int) -> list:
    rate_per_us = lease.rate / 1e6 if math.isfinite(lease.rate) else lease.capacity
    refill_ms = lease.capacity / lease.rate * 1000 if lease.rate > 0 else 86400000
    ttl_ms = max(1000, min(86400000, math.ceil(refill_ms) + 1000))
    return [repr(lease.capacity), repr(rate_per_us), want, back, ttl_ms]


def _memory(decay: float) -> int:
    """Outcomes that still weigh at least 1% in a posterior decayed by
    `decay` per outcome: older ones are not worth applying."""
    if 0.0 < decay < 1.0:
        return max(1, math.ceil(math.log(0.01) / math.log(decay)))
    return 100


def _is_redis_error(error: Exception) -> bool:
    from redis.exceptions import RedisError
    return isinstance(error, RedisError)
