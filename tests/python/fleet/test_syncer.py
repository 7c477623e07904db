"""The syncer's degraded paths, driven step by step: a fake Redis that can
fail, a manual clock, and waits recorded instead of slept."""

import pytest

redis_exceptions = pytest.importorskip("redis.exceptions")

from velmorquist_proxy import Provider, RateLimitConfig, RouterConfig  # noqa: E402
from velmorquist_proxy._host import ManualClock  # noqa: E402
from velmorquist_proxy._state import KEY_DISABLED, KEY_ENABLED, KEY_RATE_LIMITED  # noqa: E402
from velmorquist_proxy.fleet.gateway_state import FleetGatewayState  # noqa: E402
from velmorquist_proxy.fleet.names import FleetNames  # noqa: E402
from velmorquist_proxy.fleet.syncer import (  # noqa: E402
    DEGRADED_AFTER_S, MAX_BACKOFF_S, ROUND_S, TICK_S, Syncer,
)
from velmorquist_proxy.fleet.syncer_lock import PrivateLock  # noqa: E402
from velmorquist_proxy.host_state import private_state  # noqa: E402


class FakeRedis:
    """Just what the syncer sends: pipelines of commands and scripts. While
    `down`, or for the next `fail_next` executions, every call fails."""

    def __init__(self):
        self.down, self.fail_next, self.sent = False, 0, []

    def check(self):
        if self.down or self.fail_next:
            self.fail_next = max(0, self.fail_next - 1)
            raise redis_exceptions.ConnectionError("fake outage")

    def pipeline(self, transaction=False):
        return FakePipeline(self)

    def zrem(self, *args):
        self.check()


class FakePipeline:
    REPLIES = {"pttl": -2, "get": None, "exists": 0, "pexpire": 0, "delete": 1, "publish": 1,
               "hincrbyfloat": 0.0}

    def __init__(self, redis):
        self.redis, self.queued = redis, []

    def __getattr__(self, command):
        return lambda *args: self.queued.append((command, args))

    def execute(self):
        self.redis.check()
        self.redis.sent.extend(self.queued)
        return [[int(args[2]), "0"] if command == "lease" else 1 if command == "deadline"
                else [None] * (len(args) - 1) if command == "hmget"   # one per field
                else self.REPLIES[command] for command, args in self.queued]


class FakeScripts:
    def __init__(self, redis):
        self.redis = redis

    def lease(self, keys, args, client):
        client.queued.append(("lease", args))

    def deadline(self, keys, args, client):
        client.queued.append(("deadline", (keys[0], *args)))

    def heartbeat(self, keys, args):
        self.redis.check()
        return 1


@pytest.fixture
def host():
    """A one-process fleet host over a fake Redis, with the syncer's
    events and waits recorded."""
    clock, redis, events, waits = ManualClock(1000.0), FakeRedis(), [], []
    descriptions = [Provider("acme", ["sk-live-aaaa0001", "sk-live-bbbb0002"],
                             rate=RateLimitConfig(100, 1.0)).resolve()]
    region = private_state(descriptions, RouterConfig(), clock, fleet=True)
    state = FleetGatewayState(region, descriptions, PrivateLock(), clock)
    state.bind_events(lambda kind, p, k, detail: events.append(kind))
    names = FleetNames("ns", b"fleet-secret-0001", descriptions)
    syncer = Syncer(redis, FakeScripts(redis), names, state, "host-1", 0.95, PrivateLock(), clock,
                    wait=lambda seconds, event: waits.append(seconds))
    syncer.first_round()
    yield clock, redis, state, syncer, events, waits
    region.close()


def spend_the_lease(state):
    """Requests until the lease runs dry: the next step asks Redis for more."""
    while state.try_limits(0, 0) == 0.0:
        pass


def test_degraded_only_after_a_second_without_an_answer(host):
    clock, redis, state, syncer, events, _ = host
    clock.advance(ROUND_S)
    syncer.step()   # Redis answered
    redis.down = True
    clock.advance(DEGRADED_AFTER_S / 2)
    spend_the_lease(state)
    syncer.step()
    assert state.snapshot_fields()["fleet"]["degraded"] is False
    clock.advance(DEGRADED_AFTER_S / 2)
    spend_the_lease(state)
    syncer.step()
    assert state.snapshot_fields()["fleet"]["degraded"] is True
    assert events == ["fleet_degraded"]


def test_back_off_doubles_with_jitter_up_to_its_cap(host):
    clock, redis, _, syncer, _, waits = host
    redis.down = True
    for _ in range(10):
        clock.advance(ROUND_S)
        syncer.step()
    for failures, wait in enumerate(waits, start=1):
        ceiling = min(MAX_BACKOFF_S, TICK_S * 2 ** failures)
        assert ceiling / 2 <= wait <= ceiling
    assert max(waits) > MAX_BACKOFF_S / 2


def test_what_changed_while_degraded_reaches_redis_and_the_host_recovers(host):
    clock, redis, state, syncer, events, _ = host
    redis.down = True
    clock.advance(ROUND_S)
    syncer.step()
    state.key_outcome(0, 1, KEY_RATE_LIMITED, cooldown_s=30.0)
    syncer.step()   # the push fails: the change stays noted in the region
    redis.down = False
    redis.sent.clear()
    syncer.step()
    deadlines = [args for command, args in redis.sent if command == "deadline"]
    # Sent as what the region holds (the resync) and as the noted change.
    assert {(entry.split(":")[1], ms) for entry, ms, *_ in deadlines} == {("cool", 30000)}
    assert state.snapshot_fields()["fleet"]["degraded"] is False
    assert events == ["fleet_degraded", "fleet_recovered"]


def test_a_failed_push_is_sent_again(host):
    # Re-enabling a key is a change the region does not hold as a deadline:
    # only its note, noted again after the failure, carries it to Redis.
    _, redis, state, syncer, _, _ = host
    state.key_outcome(0, 0, KEY_DISABLED)
    syncer.step()
    state.key_outcome(0, 0, KEY_ENABLED)
    redis.fail_next = 1
    redis.sent.clear()
    syncer.step()
    assert redis.sent == []
    syncer.step()
    deleted = [args[0] for command, args in redis.sent if command == "delete"]
    assert [entry.split(":")[1] for entry in deleted] == ["dis"]
