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
# Beyond this many failures in a row a back-off is at its cap anyway.
BACKOFF_STEPS = 8


class Deadlines:
    """The fleet's deadline entries and messages, for one host's state."""

    def __init__(self, client, scripts, names, state, host_id: str):
        self._client = client
        self._scripts = scripts
        self._names = names
        self._state = state
        self._host = host_id
        self._provider_of = {h: p for p, h in enumerate(names.providers)}
        self._key_of = [{h: k for k, h in enumerate(keys)} for keys in names.keys]

    def push(self, changes: dict) -> bool:
        """Sends changes to Redis; True when there were any."""
        if not changes:
            return False
        names, pipe = self._names, self._client.pipeline(transaction=False)
        for (what, p, k), value in changes.items():
            if what == ENABLED:
                self._state.known.pop((DISABLED, p, k), None)
                pipe.delete(names.key_entry(DISABLED, p, k))
                pipe.publish(names.channel, self.message(what, p, k, 0))
                continue
            if what == RESET:
                pipe.delete(names.trip(p))
                pipe.publish(names.channel, self.message(what, p, k, 0))
                continue
            entry, ms, stored = self._entry(what, p, k, value)
            self._scripts.deadline(keys=[entry],
                                   args=[ms, stored, names.channel,
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
        if what == TRIP:
            ms = max(1, round(value * 1000))
            return names.trip(p), ms, ms
        if what == COOL:
            ms = max(1, round(value * 1000))
            return names.key_entry(COOL, p, k), ms, ms
        if what == EXHAUSTED:
            return names.key_entry(EXHAUSTED, p, k), EXHAUSTED_TTL_MS, value
        return names.key_entry(DISABLED, p, k), DISABLED_TTL_MS, 1

    def poll(self) -> None:
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
                state.apply_key(DISABLED if disabled else ENABLED, p, k, 0)

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
        return f"{self._host}|{what}|{self._names.providers[p]}|{key}|{value}"

    def apply_message(self, data) -> None:
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


def is_redis_error(error: Exception) -> bool:
    from redis.exceptions import RedisError
    return isinstance(error, RedisError)
