"""The gateway's state on a host that is part of a fleet.

A native region state (private memory for a one-process host, the host's
shared region otherwise) attached with fleet leases as its limits: the
request path spends leases of the fleet's buckets held in the region, and
every change the fleet must hear (a trip, a key's cool-down, exhaustion,
disablement) is noted there for the host's one syncer (`syncer.py`), which
does all the talking. What other hosts did is applied here: their trips
hold this host's breaker open, their key outcomes reach its keys, and their
outcomes teach its router. Nothing here waits on Redis.

What the fleet did reaches `on_event` from a thread of its own
("velmorquist-fleet-events"), never from the syncer's: a slow handler then
delays only other fleet events, never the syncing.

One method per kind of change, both ways (noted for the fleet, applied
from it), kept side by side so each pair reads together: that is why the
module runs past 300 lines.
"""

from __future__ import annotations

import logging
import queue
import threading
import time

from velmorquist_proxy._host import (
    NOTE_COOL, NOTE_DISABLED, NOTE_ENABLED, NOTE_EXHAUSTED, NOTE_RESET, NOTE_TRIP,
)
from velmorquist_proxy._state import (
    FAILURE, KEY_DISABLED, KEY_ENABLED, KEY_EXHAUSTED, KEY_RATE_LIMITED, REFUSED,
)

# What a host tells the fleet about a key or a breaker; also the entry's
# part of its Redis name (see names.py).
COOL, EXHAUSTED, DISABLED, ENABLED, TRIP = "cool", "exh", "dis", "en", "trip"
# An operator closed a provider's breaker: the fleet's trip ends too.
RESET = "reset"
NOTE_OF = {TRIP: NOTE_TRIP, COOL: NOTE_COOL, EXHAUSTED: NOTE_EXHAUSTED,
           DISABLED: NOTE_DISABLED, ENABLED: NOTE_ENABLED, RESET: NOTE_RESET}
WHAT_OF = {code: what for what, code in NOTE_OF.items()}

# A deadline from the fleet that ends within this much of one already
# applied is the same deadline seen again (a poll after the message, or one
# rounded to whole milliseconds in Redis): applying it again would only
# repeat its event.
SAME_DEADLINE_S = 0.05
# Fleet events waiting for a slow handler beyond this many are dropped (and
# logged): the syncer never waits for the handler.
EVENT_QUEUE = 10000
# How long close() lets the handler finish the fleet events still queued.
CLOSE_WAIT_S = 1.0

logger = logging.getLogger("velmorquist_proxy")


class FleetGatewayState:
    """`GatewayState` (see _state.py) of one host of a fleet.

    `region`: the native state, attached with `fleet=True`. `syncer_lock`:
    held by the process that is the host's syncer (always, for a one-process
    host). `clock`: the region's clock (a ManualClock in tests) or None.
    """

    def __init__(self, region, descriptions, syncer_lock, clock=None):
        self._region = region
        self._descriptions = descriptions
        self._syncer_lock = syncer_lock
        self._now = clock if clock is not None else time.monotonic
        # Breakers the fleet holds open here, until these local times.
        self.tripped_until = [0.0] * len(descriptions)
        self._any_trip = False
        # What this host knows the fleet holds, to skip what it already
        # applied and to tell the fleet again after Redis lost it.
        self.known: dict = {}
        self.day = 0
        self.wakeup = threading.Event()   # set when the syncer has something to do now
        self.emit = None                  # callback(kind, p, k, detail), set by the gateway
        self.stop_syncer = None           # set by FleetState once the syncer runs
        # Set by the syncer while this process cannot open the syncer lock.
        self.lock_error: str | None = None
        self._events: queue.Queue = queue.Queue(EVENT_QUEUE)
        self._dispatcher: threading.Thread | None = None
        # Delegated as they are: the region already counts what the fleet needs.
        self.rank = region.rank
        self.posterior = region.posterior
        self.reward = region.reward
        self.reset_posterior = region.reset_posterior
        self.limits_ready_in = region.limits_ready_in
        self.release_limits = region.release_limits
        self.settle_tokens = region.settle_tokens
        self.bucket_levels = region.bucket_levels
        self.select_key = region.select_key
        self.keys_ready_in = region.keys_ready_in
        self.key_summaries = region.key_summaries
        self.still_named = region.still_named
        self.learn_latency = region.learn_latency
        self.absorb_latency = region.absorb_latency
        self.chunk_gaps = region.chunk_gaps
        self.stream_stats = region.stream_stats

    @property
    def region(self):
        return self._region

    # ---- hooks for the gateway ----------------------------------------------
    def bind_events(self, emit) -> None:
        """Events wait until the gateway binds its handler (those of the
        start-up too), then go out on the dispatcher thread."""
        self.emit = emit
        self._start_dispatcher()

    def snapshot_fields(self) -> dict:
        degraded, hosts = self._region.fleet_status()
        return {"fleet": {"degraded": degraded or self.lock_error is not None, "hosts": hosts,
                          "syncer": self._syncer_lock.held}}

    def wake(self) -> None:
        self.wakeup.set()

    # ---- breaker -----------------------------------------------------------
    def try_breaker(self, p):
        if self._any_trip and self.tripped_until[p] > self._now():
            return REFUSED
        return self._region.try_breaker(p)

    def breaker_outcome(self, p, trial, outcome, kind="unknown"):
        changed = self._region.breaker_outcome(p, trial, outcome, kind)
        if changed == "open":
            # The region works out how long the fleet should hold it open.
            self.note(TRIP, p, -1)
        return changed

    def trial_candidates(self):
        candidates = self._region.trial_candidates()
        if not self._any_trip or not candidates:
            return candidates
        now = self._now()
        return [p for p in candidates if self.tripped_until[p] <= now]

    def reset_breaker(self, p):
        self.tripped_until[p] = 0.0
        was_open = self._region.reset_breaker(p)
        self.note(RESET, p, -1)
        return was_open

    def breaker_state(self, p):
        if self._any_trip and self.tripped_until[p] > self._now():
            return "open"
        return self._region.breaker_state(p)

    def breaker_ready_in(self, p):
        held = self.tripped_until[p] - self._now() if self._any_trip else 0.0
        return max(held, self._region.breaker_ready_in(p))

    # ---- rate limits -------------------------------------------------------
    def try_limits(self, p, tokens):
        wait = self._region.try_limits(p, tokens)
        if wait > 0.0:
            self.wake()   # a lease ran dry: the syncer tops it up now
        return wait

    # ---- keys --------------------------------------------------------------
    def key_outcome(self, p, k, outcome, latency_ms=0.0, cooldown_s=0.0):
        reached = self._region.key_outcome(p, k, outcome, latency_ms, cooldown_s)
        if outcome == KEY_RATE_LIMITED and cooldown_s > 0:
            self.known[(COOL, p, k)] = self._now() + cooldown_s
            self.note(COOL, p, k)
        elif outcome == KEY_EXHAUSTED or reached:
            self.known[(EXHAUSTED, p, k)] = self.day
            self.note(EXHAUSTED, p, k)
        elif outcome == KEY_DISABLED:
            self.note(DISABLED, p, k)
        elif outcome == KEY_ENABLED:
            self.known.pop((DISABLED, p, k), None)
            self.note(ENABLED, p, k)
        return reached

    def daily_reset_due(self, day):
        self.day = max(self.day, day)
        return self._region.daily_reset_due(day)

    # ---- lifetime ----------------------------------------------------------
    def close(self):
        if self.stop_syncer is not None:
            self.stop_syncer()
        self._events.put(None)   # the dispatcher ends once the rest is delivered
        dispatcher = self._dispatcher
        if dispatcher is not None and dispatcher is not threading.current_thread():
            dispatcher.join(timeout=CLOSE_WAIT_S)
        self._region.close()

    def after_fork_in_child(self) -> None:
        """The parent's threads are gone and its queue's lock may be held:
        a forked child makes its own (the parent delivers what was queued)."""
        self.wakeup = threading.Event()
        self._events = queue.Queue(EVENT_QUEUE)
        if self._dispatcher is not None:
            self._start_dispatcher()

    # ---- for the syncer ----------------------------------------------------
    def note(self, what, p, k) -> None:
        """Notes a change for the fleet in the region, where the host's
        syncer (in this process or another) takes it."""
        self._region.fleet_note(p, k, NOTE_OF[what])
        self.wake()

    def take_changes(self) -> dict:
        """What any process of the host noted since the last call, as
        {(what, p, k): seconds left, or the day for an exhaustion}."""
        return self._read(self._region.fleet_changes())

    def holdings(self) -> dict:
        """Everything the region holds that the fleet should hold too."""
        return self._read(self._region.fleet_holdings())

    def _read(self, changes) -> dict:
        read, now = {}, self._now()
        for code, p, k, value in changes:
            what = WHAT_OF[code]
            if what == TRIP:
                self.hold_trip(p, value)
            elif what == RESET:
                self.tripped_until[p] = 0.0
            elif what == COOL:
                self.known[(COOL, p, k)] = now + value
            elif what == EXHAUSTED:
                value = int(value)
                self.known[(EXHAUSTED, p, k)] = value
            elif what == DISABLED:
                self.known[(DISABLED, p, k)] = True
            read[(what, p, k)] = value
        return read

    def apply_trip(self, p, seconds) -> None:
        """Another host's breaker opened: open this one until then too."""
        until = self._now() + seconds
        if until <= self.tripped_until[p] + SAME_DEADLINE_S:
            return
        self.hold_trip(p, seconds)
        region = self._region
        # The local breaker opens as its own failures would open it, so its
        # recovery and trial calls follow the same policy as a local trip.
        for _ in range(max(1, self._descriptions[p].breaker.failure_threshold)):
            if region.breaker_state(p) == "open":
                break
            region.breaker_outcome(p, False, FAILURE, "fleet")
        self._tell("breaker", p, -1, {"state": "open", "source": "fleet"})

    def apply_reset(self, p) -> None:
        """Another host's operator closed the provider's breaker."""
        held = self.tripped_until[p] > self._now()
        self.tripped_until[p] = 0.0
        if self._region.reset_breaker(p) or held:
            self._tell("breaker", p, -1, {"state": "closed", "source": "fleet"})

    def apply_key(self, what, p, k, value) -> None:
        """Another host's key outcome; `value` is seconds for a cool-down and
        the day for an exhaustion."""
        entry = (what, p, k)
        if what == COOL:
            until = self._now() + value
            if until <= self.known.get(entry, 0.0) + SAME_DEADLINE_S:
                return
            self.known[entry] = until
            self._region.key_outcome(p, k, KEY_RATE_LIMITED, cooldown_s=value)
            self._tell("key_cooled", p, k, {"cooldown_s": value, "source": "fleet"})
        elif what == EXHAUSTED:
            if value != self.day or self.known.get(entry) == value:
                return
            self.known[entry] = value
            self._region.key_outcome(p, k, KEY_EXHAUSTED)
            self._tell("key_exhausted", p, k, {"reason": "quota", "source": "fleet"})
        elif what == DISABLED:
            if entry in self.known:
                return
            self.known[entry] = True
            self._region.key_outcome(p, k, KEY_DISABLED)
            self._tell("key_disabled", p, k, {"source": "fleet"})
        elif what == ENABLED:
            if self.known.pop((DISABLED, p, k), None) is None:
                return
            self._region.key_outcome(p, k, KEY_ENABLED)
            self._tell("key_enabled", p, k, {"source": "fleet"})

    def apply_outcomes(self, p, successes: int, failures: int, memory: int) -> None:
        """Other hosts' outcomes, fed to the local router as if seen here,
        interleaved evenly; only the last `memory` still weigh anything.
        They go to the posterior only: the fleet has counted them already."""
        total = successes + failures
        if total > memory:
            successes = round(successes * memory / total)
            total = memory
        learn = self._region.learn_from_fleet
        for i in range(total):
            success = (i + 1) * successes // total > i * successes // total
            learn(p, 1.0 if success else 0.0)

    def tell(self, kind, detail) -> None:
        self._tell(kind, -1, -1, detail)

    def _tell(self, kind, p, k, detail) -> None:
        try:
            self._events.put_nowait((kind, p, k, detail))
        except queue.Full:
            logger.warning("fleet: on_event is too slow; dropped a %r event", kind)

    def events_delivered(self) -> None:
        """Waits until every fleet event so far went to the handler."""
        self._events.join()

    def _start_dispatcher(self) -> None:
        self._dispatcher = threading.Thread(target=self._dispatch, args=(self._events,),
                                            name="velmorquist-fleet-events", daemon=True)
        self._dispatcher.start()

    def _dispatch(self, events: queue.Queue) -> None:
        while True:
            event = events.get()
            try:
                if event is None:
                    return
                emit = self.emit
                if emit is not None:
                    emit(*event)
            except BaseException:   # the handler's: it ends neither the thread nor the process
                logger.exception("on_event callback failed on a %r event", event[0])
            finally:
                events.task_done()

    def hold_trip(self, p, seconds) -> None:
        self.tripped_until[p] = max(self.tripped_until[p], self._now() + seconds)
        self._any_trip = True
