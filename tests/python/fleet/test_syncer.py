"""The syncer driven step by step: a fake Redis that can fail or hold
damaged entries, a manual clock, and waits recorded instead of slept."""

import json
import os
import threading
from types import SimpleNamespace

import pytest

redis_exceptions = pytest.importorskip("redis.exceptions")

from velmorquist_proxy import HostState, Provider, RateLimitConfig, RouterConfig  # noqa: E402
from velmorquist_proxy._host import ManualClock  # noqa: E402
from velmorquist_proxy._state import KEY_DISABLED, KEY_ENABLED, KEY_RATE_LIMITED  # noqa: E402
from velmorquist_proxy.fleet.deadlines import Deadlines  # noqa: E402
from velmorquist_proxy.fleet.gateway_state import COOL, TRIP, FleetGatewayState  # noqa: E402
from velmorquist_proxy.fleet.names import FleetNames  # noqa: E402
from velmorquist_proxy.fleet.syncer import (  # noqa: E402
    DEGRADED_AFTER_S, MAX_BACKOFF_S, ROUND_S, TICK_S, Syncer,
)
from velmorquist_proxy.fleet.syncer_lock import PrivateLock, SyncerLock  # noqa: E402
from velmorquist_proxy.host_state import private_state  # noqa: E402

SECRET = b"fleet-secret-0001"
DAY_S = 86400


class FakeRedis:
    """Just what the syncer sends, over a dict of entries {name: (value, ms
    to live)}; a value that is an exception is an entry of another type.
    While `down`, or for the next `fail_next` executions, every call fails;
    while `late`, commands run but their replies are lost."""

    def __init__(self):
        self.down, self.fail_next, self.late = False, 0, False
        self.sent, self.entries, self.disagree = [], {}, []

    def check(self):
        if self.down or self.fail_next:
            self.fail_next = max(0, self.fail_next - 1)
            raise redis_exceptions.ConnectionError("fake outage")

    def pipeline(self, transaction=False):
        return FakePipeline(self)

    def zrem(self, *args):
        self.check()

    def delete(self, *names):
        self.check()
        for name in names:
            self.entries.pop(name, None)


class FakePipeline:
    def __init__(self, redis):
        self.redis, self.queued = redis, []

    def __getattr__(self, command):
        return lambda *args: self.queued.append((command, args))

    def execute(self, raise_on_error=True):
        self.redis.check()
        self.redis.sent.extend(self.queued)
        replies = [self.reply(command, args) for command, args in self.queued]
        if self.redis.late:
            raise redis_exceptions.TimeoutError("the reply came too late")
        for reply in replies:
            if raise_on_error and isinstance(reply, Exception):
                raise reply
        return replies

    def reply(self, command, args):
        entries = self.redis.entries
        if command == "lease":
            return [int(args[2]), "0"]
        if command in ("deadline", "switch"):
            entries[args[0]] = (args[2], args[1])
            return 1
        value, ttl = entries.get(args[0], (None, -2))
        if command == "pttl":
            return ttl
        if command == "hmget":   # one per field
            return value if isinstance(value, Exception) else [value] * (len(args) - 1)
        if command == "hincrbyfloat":
            return value if isinstance(value, Exception) else 0.0
        return {"get": value, "pexpire": int(value is not None)}.get(command, 1)


class FakeScripts:
    def __init__(self, redis):
        self.redis = redis

    def lease(self, keys, args, client):
        client.queued.append(("lease", args))

    def deadline(self, keys, args, client):
        client.queued.append(("deadline", (keys[0], *args)))

    def switch(self, keys, args, client):
        client.queued.append(("switch", (keys[0], *args)))

    def heartbeat(self, keys, args):
        self.redis.check()
        self.redis.sent.append(("heartbeat", args))
        return [1, 0]

    def config(self, keys, args):
        self.redis.check()
        return self.redis.disagree


def make_host(lock=None, region=None, first_round=True):
    """A fleet host over a fake Redis (a one-process host unless `lock` and
    `region` say otherwise), with the syncer's events and waits recorded."""
    clock, redis, events, waits = ManualClock(1000.0), FakeRedis(), [], []
    descriptions = [Provider("acme", ["sk-live-aaaa0001", "sk-live-bbbb0002"],
                             rate=RateLimitConfig(100, 1.0)).resolve()]
    if region is None:
        region = private_state(descriptions, RouterConfig(), clock, fleet=True)
    else:
        region = HostState(region)._attach(descriptions, RouterConfig(), clock, fleet=True)
    lock = lock if lock is not None else PrivateLock()
    state = FleetGatewayState(region, descriptions, lock, clock)
    state.bind_events(lambda kind, p, k, detail: events.append(kind))
    names = FleetNames("ns", SECRET, descriptions)
    syncer = Syncer(redis, FakeScripts(redis), names, state, "host-1", 0.95, lock, clock,
                    wait=lambda seconds, event: waits.append(seconds))
    if first_round:
        syncer.first_round()

    def delivered():
        state.events_delivered()
        return events

    return SimpleNamespace(clock=clock, redis=redis, state=state, region=region, names=names,
                           syncer=syncer, events=delivered, waits=waits, lock=lock)


@pytest.fixture
def host():
    made = make_host()
    yield made
    made.state.close()


def spend_the_lease(state):
    """Requests until the lease runs dry: the next step asks Redis for more."""
    while state.try_limits(0, 0) == 0.0:
        pass


def degraded(h):
    return h.state.snapshot_fields()["fleet"]["degraded"]


# ---- degraded and back ------------------------------------------------------
def test_degraded_only_after_a_second_without_an_answer(host):
    h = host
    h.clock.advance(ROUND_S)
    h.syncer.step()   # Redis answered
    h.redis.down = True
    h.clock.advance(DEGRADED_AFTER_S / 2)
    spend_the_lease(h.state)
    h.syncer.step()
    assert degraded(h) is False
    h.clock.advance(DEGRADED_AFTER_S / 2)
    spend_the_lease(h.state)
    h.syncer.step()
    assert degraded(h) is True
    assert h.events() == ["fleet_degraded"]


def test_back_off_doubles_with_jitter_up_to_its_cap(host):
    host.redis.down = True
    for _ in range(10):
        host.clock.advance(ROUND_S)
        host.syncer.step()
    for failures, wait in enumerate(host.waits, start=1):
        ceiling = min(MAX_BACKOFF_S, TICK_S * 2 ** failures)
        assert ceiling / 2 <= wait <= ceiling
    assert max(host.waits) > MAX_BACKOFF_S / 2


def test_what_changed_while_degraded_reaches_redis_and_the_host_recovers(host):
    h = host
    h.redis.down = True
    h.clock.advance(ROUND_S)
    h.syncer.step()
    h.state.key_outcome(0, 1, KEY_RATE_LIMITED, cooldown_s=30.0)
    h.syncer.step()   # the push fails: the change stays noted in the region
    h.redis.down = False
    h.redis.sent.clear()
    h.syncer.step()
    deadlines = [args for command, args in h.redis.sent if command == "deadline"]
    # Sent as what the region holds (the resync) and as the noted change.
    assert {(entry.split(":")[1], ms) for entry, ms, *_ in deadlines} == {("cool", 30000)}
    assert degraded(h) is False
    assert h.events() == ["fleet_degraded", "fleet_recovered"]


def test_a_failed_push_is_sent_again(host):
    # Re-enabling a key is a change the region does not hold as a deadline:
    # only its note, noted again after the failure, carries it to Redis.
    h = host
    h.state.key_outcome(0, 0, KEY_DISABLED)
    h.syncer.step()
    h.state.key_outcome(0, 0, KEY_ENABLED)
    h.redis.fail_next = 1
    h.redis.sent.clear()
    h.syncer.step()
    assert h.redis.sent == []
    h.syncer.step()
    switched = [args for command, args in h.redis.sent if command == "switch"]
    assert [(entry.split(":")[1], h.names.verified(entry, value))
            for entry, _, value, *_ in switched] == [("dis", "0")]


@pytest.mark.parametrize("cause", ["lock file", "takeover"])
def test_the_degraded_flag_is_the_hosts_and_ends_with_the_next_syncer(tmp_path, cause):
    # A lock file that cannot be opened keeps trying and says so; a syncer
    # that takes over from a degraded one ends the degraded mode.
    lock_path = tmp_path / "region.syncer"
    if cause == "lock file":
        lock_path.mkdir()
    h = make_host(SyncerLock(str(tmp_path / "region")), str(tmp_path / "region"),
                  first_round=False)
    try:
        if cause == "takeover":
            h.region.fleet_set_degraded(True)   # as the dead syncer left it
        else:
            h.syncer.step()
            h.syncer.step()
            assert degraded(h) is True and h.lock.held is False
            assert h.events() == ["fleet_degraded"]
            lock_path.rmdir()
        h.syncer.step()
        assert h.lock.held and degraded(h) is False
        assert h.events()[-1:] == ["fleet_recovered"]
    finally:
        h.state.close()
        h.lock.release()


def test_fleet_events_reach_the_handler_off_the_syncer_thread(host):
    threads = []
    host.state.bind_events(lambda *event: threads.append(threading.current_thread().name))
    host.redis.down = True
    host.clock.advance(DEGRADED_AFTER_S)
    spend_the_lease(host.state)
    host.syncer.step()
    host.state.events_delivered()
    assert threads == ["velmorquist-fleet-events"]


def test_a_host_that_finds_the_fleet_disagreeing_later_sends_nothing():
    # Started degraded, it learns of another secret once Redis answers: it
    # stays on its share and never touches the fleet's buckets or entries.
    h = make_host(first_round=False)
    h.redis.disagree = ["secret"]
    h.state.key_outcome(0, 0, KEY_DISABLED)
    for _ in range(2):
        h.clock.advance(ROUND_S)
        spend_the_lease(h.state)
        h.syncer.step()
    assert h.redis.sent == [] and degraded(h) is True
    h.state.close()


# ---- leases -----------------------------------------------------------------
def test_a_hand_back_whose_reply_was_lost_is_not_kept_too(host):
    # The script ran, its reply did not come: the tokens are in the bucket,
    # and must not also stay in the lease.
    h = host
    h.region.fleet_grant(0, 0, 50.0, True)
    before = h.state.bucket_levels(0)[0]
    h.redis.late = True
    h.redis.sent.clear()
    h.clock.advance(TICK_S)
    h.syncer.step()
    handed_back = sum(args[3] for command, args in h.redis.sent if command == "lease")
    assert handed_back > 0
    assert handed_back + h.state.bucket_levels(0)[0] <= before


# ---- what the fleet says ----------------------------------------------------
def member_message(h, what, k, value, secret=SECRET):
    other = FleetNames("ns", secret, h.state._descriptions)
    return Deadlines(h.redis, FakeScripts(h.redis), other, h.state, "host-2").message(
        what, 0, k, value)


@pytest.mark.parametrize("source", ["message", "entry"])
def test_deadlines_from_the_fleet_last_at_most_a_day(host, source):
    h, ms = host, 10**13   # three hundred years
    if source == "message":
        deadlines = Deadlines(h.redis, FakeScripts(h.redis), h.names, h.state, "host-1")
        deadlines.apply_message(member_message(h, TRIP, -1, ms))
        deadlines.apply_message(member_message(h, COOL, 0, ms))
    else:
        for entry in (h.names.trip(0), h.names.key_entry(COOL, 0, 0)):
            h.redis.entries[entry] = (h.names.signed(entry, str(ms)), ms)
        h.clock.advance(ROUND_S)
        h.syncer.step()
    assert h.state.breaker_state(0) == "open"
    assert 0 < h.state.breaker_ready_in(0) <= DAY_S
    assert h.state.keys_ready_in(0) <= DAY_S


def test_what_is_not_signed_with_the_fleets_secret_trips_nothing(host):
    h = host
    deadlines = Deadlines(h.redis, FakeScripts(h.redis), h.names, h.state, "host-1")
    forged = f"host-2|trip|{h.names.providers[0]}|-|60000"
    for message in (forged, f"{forged}|{'0' * 32}",
                    member_message(h, TRIP, -1, 60000, secret=b"another-secret-01")):
        deadlines.apply_message(message)
    h.redis.entries[h.names.trip(0)] = ("60000", 60000)
    h.clock.advance(ROUND_S)
    h.syncer.step()
    assert h.state.breaker_state(0) == "closed"


@pytest.mark.parametrize("damage", ["text", "another type", "nan learning"])
def test_one_damaged_entry_stops_nothing_else(host, damage):
    h = host
    exhausted, cool = h.names.key_entry("exh", 0, 0), h.names.key_entry(COOL, 0, 1)
    if damage == "text":
        h.redis.entries[exhausted] = ("yesterday", 1000)
    elif damage == "another type":
        h.redis.entries[exhausted] = (redis_exceptions.ResponseError("WRONGTYPE"), 1000)
    else:
        h.redis.entries[h.names.learn(0)] = ("nan", 1000)
    h.redis.entries[cool] = (h.names.signed(cool, "30000"), 30000)
    for _ in range(3):
        h.clock.advance(ROUND_S)
        h.syncer.step()
    assert h.state.key_summaries(0)[1]["status"] in ("rate_limited", "cooling_down")
    assert degraded(h) is False


# ---- fork -------------------------------------------------------------------
def in_child(work):
    """`work()` in a forked child; what it returned, through a pipe."""
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            os.write(write, json.dumps(work()).encode())
        finally:
            os._exit(0)
    os.close(write)
    with os.fdopen(read) as pipe:
        answer = pipe.read()
    os.waitpid(pid, 0)
    return json.loads(answer)


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_drops_the_parents_lease_and_joins_as_a_host_of_its_own(host):
    h = host
    h.region.fleet_grant(0, 0, 20.0, True)
    before = h.state.bucket_levels(0)[0]

    def child():
        held = h.state.bucket_levels(0)[0]
        h.redis.sent.clear()
        h.clock.advance(ROUND_S)
        h.syncer.step()
        return held, [args[0] for command, args in h.redis.sent if command == "heartbeat"]

    held, announced = in_child(child)
    assert held < 1 and h.state.bucket_levels(0)[0] == before
    assert announced and "host-1" not in announced


@pytest.mark.filterwarnings("ignore:This process .* is multi-threaded:DeprecationWarning")
def test_a_forked_child_leaves_the_syncer_lock_with_its_parent(tmp_path):
    h = make_host(SyncerLock(str(tmp_path / "region")), str(tmp_path / "region"))
    try:
        assert h.lock.held
        assert in_child(lambda: h.lock.held) is False
        assert SyncerLock(str(tmp_path / "region")).try_take() is False
    finally:
        h.state.close()
        h.lock.release()
