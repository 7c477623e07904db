"""Deadlines in Redis: how a fleet's hosts tell each other of trips, key
cool-downs, exhaustion, disablement and resets.

Each change is one entry (see names.py) written by one script that keeps
the longer deadline and publishes the change; hosts apply a message at
once, and a poll every second catches what a host missed (or what Redis
held while it was away). Only the syncer (syncer.py) calls these.
"""

from __future__ import annotations

import logging

from velmorquist_proxy.fleet.gateway_state import (
    COOL, DISABLED, ENABLED, EXHAUSTED, RESET, TRIP,
)

logger = logging.getLogger("velmorquist_proxy")

DISABLED_TTL_MS = 24 * 3600 * 1000
EXHAUSTED_TTL_MS = 25 * 3600 * 1000   # past the next daily reset at any time of day
# No host holds a trip or a cool-down longer: anything longer read from
# Redis or a message is cut to this.
LONGEST_MS = 24 * 3600 * 1000
# Beyond this many failures in a row a back-off is at its cap anyway.
BACKOFF_STEPS = 8


class Deadlines:
    """The fleet's deadline entries and messages, for one host's state."""

    def __init__(self, client, scripts, names, state, host_id: str):
        self._client = client
        self._scripts = scripts
        self._names = names
        self._state = state
        self.host = host_id
        self._provider_of = {h: p for p, h in enumerate(names.providers)}
        self._key_of = [{h: k for k, h in enumerate(keys)} for keys in names.keys]
        self._reported: set = set()

    def push(self, changes: dict, holdings: bool = False) -> bool:
        """Sends changes to Redis; True when there were any. `holdings`:
        what the host held all along, sent again after the fleet may have
        lost it; a key's disablement then never overrides what another host
        did to that key meanwhile."""
        if not changes:
            return False
        names, pipe = self._names, self._client.pipeline(transaction=False)
        for (what, p, k), value in changes.items():
            if what in (ENABLED, DISABLED):
                if what == ENABLED:
                    self._state.known.pop((DISABLED, p, k), None)
                entry = names.key_entry(DISABLED, p, k)
                switched = "1" if what == DISABLED else "0"
                self._scripts.switch(keys=[entry],
                                     args=[DISABLED_TTL_MS, names.signed(entry, switched),
                                           names.channel, self.message(what, p, k, 0),
                                           1 if holdings else 0],
                                     client=pipe)
                continue
            if what == RESET:
                pipe.delete(names.trip(p))
                pipe.publish(names.channel, self.message(what, p, k, 0))
                continue
            entry, ms, stored = self._entry(what, p, k, value)
            self._scripts.deadline(keys=[entry],
                                   args=[ms, names.signed(entry, str(stored)), names.channel,
                                         self.message(what, p, k, ms if what in (TRIP, COOL)
                                                       else value)],
                                   client=pipe)
        try:
            pipe.execute()
        except Exception:
            # Noted again in the region, so the next round sends them.
            for what, p, k in changes:
                self._state.note(what, p, k)
            raise
        return True

    def _entry(self, what, p, k, value):
        """(key, milliseconds to live, stored value) of one change. A trip or
        a cool-down stores the milliseconds it had left when written."""
        names = self._names
        if what in (TRIP, COOL):
            ms = min(LONGEST_MS, max(1, round(value * 1000)))
            entry = names.trip(p) if what == TRIP else names.key_entry(COOL, p, k)
            return entry, ms, ms
        return names.key_entry(EXHAUSTED, p, k), EXHAUSTED_TTL_MS, int(value)

    def poll(self) -> bool:
        """Applies what Redis holds. Each entry is read on its own terms: one
        that is damaged, forged or of the wrong type is skipped (and logged
        once). True when an entry this host holds is missing: the fleet lost
        it (FLUSHALL, eviction) and should hear it again."""
        names, state, pipe = self._names, self._state, self._client.pipeline(transaction=False)
        for p, keys in enumerate(names.keys):
            pipe.get(names.trip(p))
            pipe.pttl(names.trip(p))
            for k in range(len(keys)):
                pipe.get(names.key_entry(COOL, p, k))
                pipe.pttl(names.key_entry(COOL, p, k))
                pipe.get(names.key_entry(EXHAUSTED, p, k))
                if (DISABLED, p, k) in state.known:
                    pipe.pexpire(names.key_entry(DISABLED, p, k), DISABLED_TTL_MS)
                pipe.get(names.key_entry(DISABLED, p, k))
        replies = iter(pipe.execute(raise_on_error=False))
        lost = False
        for p, keys in enumerate(names.keys):
            trip_ms = self._deadline_ms(names.trip(p), next(replies), next(replies))
            if trip_ms:
                state.apply_trip(p, trip_ms / 1000)
            for k in range(len(keys)):
                entry = names.key_entry(COOL, p, k)
                cool_ms = self._deadline_ms(entry, next(replies), next(replies))
                if cool_ms:
                    state.apply_key(COOL, p, k, cool_ms / 1000)
                entry = names.key_entry(EXHAUSTED, p, k)
                day = self._number(entry, next(replies))
                if day is not None:
                    state.apply_key(EXHAUSTED, p, k, day)
                held = (DISABLED, p, k) in state.known
                if held:
                    next(replies)   # the refresh
                entry = names.key_entry(DISABLED, p, k)
                switched = self._number(entry, next(replies))
                # A missing entry is no enablement: only a host's "0" is.
                if switched is None:
                    lost = lost or held
                elif switched in (0, 1):
                    state.apply_key(DISABLED if switched else ENABLED, p, k, 0)
        return lost

    def _deadline_ms(self, entry, stored, pttl) -> int:
        """Milliseconds a trip or cool-down entry still holds; 0 for none.
        Never more than it held when written (a PEXPIRE cannot stretch it)
        nor than a day."""
        written = self._number(entry, stored)
        if written is None or isinstance(pttl, Exception) or not pttl or pttl <= 0:
            return 0
        return max(0, min(int(pttl), written, LONGEST_MS))

    def _number(self, entry, stored) -> int | None:
        """The whole number a signed entry holds; None when missing or bad."""
        if stored is None:
            return None
        text = None if isinstance(stored, Exception) else self._names.verified(entry, stored)
        try:
            return int(text)
        except (TypeError, ValueError):
            self._report(entry, "is not one this fleet wrote (damaged, forged or of "
                                "another type)")
            return None

    def _report(self, what, why) -> None:
        if what not in self._reported:
            self._reported.add(what)
            logger.warning("fleet: ignored %s: %s", what, why)

    def listen(self, stop, backoff) -> None:
        """Applies other hosts' messages until `stop` is set; re-subscribes
        after a failure, `backoff` apart."""
        failures = 0
        while not stop.is_set():
            pubsub = self._client.pubsub(ignore_subscribe_messages=True)
            try:
                pubsub.subscribe(self._names.channel)
                failures = 0
                while not stop.is_set():
                    message = pubsub.get_message(timeout=0.5)
                    if message is not None:
                        self.apply_message(message["data"])
            except Exception as error:
                if not isinstance(error, OSError) and not is_redis_error(error):
                    logger.exception("fleet listener failed")
                failures += 1
                stop.wait(backoff.compute(min(failures, BACKOFF_STEPS)))
            finally:
                try:
                    pubsub.close()
                except Exception:
                    pass

    def message(self, what, p, k, value) -> str:
        key = self._names.keys[p][k] if k >= 0 else "-"
        text = f"{self.host}|{what}|{self._names.providers[p]}|{key}|{value}"
        return self._names.signed(self._names.channel, text)

    def apply_message(self, data) -> None:
        text = self._names.verified(self._names.channel, data)
        if text is None:
            self._report("a message on the fleet's channel",
                         "not signed with this fleet's secret")
            return
        parts = text.split("|")
        if len(parts) != 5 or parts[0] == self.host:
            return
        _, what, provider, key, value = parts
        p = self._provider_of.get(provider)
        try:
            value = int(value)
        except ValueError:
            return
        if p is None:
            return   # a provider this host does not have
        if what == TRIP:
            if value > 0:
                self._state.apply_trip(p, min(value, LONGEST_MS) / 1000)
            return
        if what == RESET:
            self._state.apply_reset(p)
            return
        k = self._key_of[p].get(key)
        if k is None:
            return
        if what == COOL:
            if value > 0:
                self._state.apply_key(COOL, p, k, min(value, LONGEST_MS) / 1000)
        elif what in (EXHAUSTED, DISABLED, ENABLED):
            self._state.apply_key(what, p, k, value)


def is_redis_error(error: Exception) -> bool:
    from redis.exceptions import RedisError
    return isinstance(error, RedisError)
