"""The fleet's Lua scripts against a real redis-server: bucket arithmetic,
deadlines merged by max, the live host count."""

import pytest

from redis_server import redis_server_fixture

scripts_module = pytest.importorskip("velmorquist_proxy.fleet.scripts")


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    yield from redis_server_fixture(tmp_path_factory)


@pytest.fixture
def redis(server):
    client = server.client()
    client.flushall()
    return client


@pytest.fixture
def scripts(redis):
    return scripts_module.Scripts(redis)


def server_us(redis):
    seconds, micros = redis.time()
    return seconds * 1_000_000 + micros


# (stored level or None for a missing bucket, seconds since its refill,
#  want, give back, granted, level after). Capacity 10, 2 tokens a second.
LEASES = [
    (None, 0, 4, 0, 4, 6),        # a new bucket starts full
    (3.5, 0, 5, 0, 3, 0.5),       # whole tokens only
    (3, 0, 2, 0, 2, 1),
    (0, 1, 5, 0, 2, 0),           # one second refills two tokens
    (9, 5, 0, 0, 0, 10),          # never past the capacity
    (8, 0, 0, 5, 0, 10),          # a hand-back is capped too
    (1, 0, 4, 3, 4, 0),           # handed back, then granted, in one call
    (4, 0, -3, 0, 0, 4),          # a nonsense ask grants nothing
]


@pytest.mark.parametrize("stored, age, want, back, granted, after", LEASES)
def test_lease_refills_by_server_time_and_grants_whole_tokens(
        redis, scripts, stored, age, want, back, granted, after):
    if stored is not None:
        redis.hset("ns:b", mapping={"v": stored, "t": server_us(redis) - age * 1_000_000})
    reply = scripts.lease(keys=["ns:b"], args=[10.0, 2e-6, want, back, 6000])
    assert reply[0] == granted
    # Time passes between the two calls (more on a loaded machine): up to a
    # tenth of a second's refill is allowed.
    assert after <= float(reply[1]) < after + 0.2
    assert 5000 < redis.pttl("ns:b") <= 6000


def test_deadline_is_merged_by_max_and_published_when_set(redis, scripts):
    pubsub = redis.pubsub()
    pubsub.subscribe("ns:events")
    assert pubsub.get_message(timeout=1.0)["type"] == "subscribe"
    assert scripts.deadline(keys=["ns:trip"], args=[5000, "a", "ns:events", "first"]) == 1
    assert scripts.deadline(keys=["ns:trip"], args=[2000, "b", "ns:events", "shorter"]) == 0
    assert redis.get("ns:trip") == b"a" and redis.pttl("ns:trip") > 2000
    assert scripts.deadline(keys=["ns:trip"], args=[9000, "c", "ns:events", "longer"]) == 1
    assert redis.pttl("ns:trip") > 5000
    published = [pubsub.get_message(timeout=1.0) for _ in range(2)]
    assert [m["data"] for m in published] == [b"first", b"longer"]
    assert pubsub.get_message(timeout=0.1) is None
    pubsub.close()


@pytest.mark.parametrize("before", ["seen", "another type"])
def test_heartbeat_counts_the_hosts_seen_within_the_window(redis, scripts, before):
    # [live hosts, 1 when this one was not among them]; a heartbeat from the
    # future and a value of another type are no hosts.
    now_ms = server_us(redis) // 1000
    if before == "seen":
        redis.zadd("ns:hosts", {"gone": now_ms - 10_000, "forged": now_ms + 10**12})
    else:
        redis.set("ns:hosts", "garbage")
    assert scripts.heartbeat(keys=["ns:hosts"], args=["a", 3000, 9000]) == [1, 1]
    assert scripts.heartbeat(keys=["ns:hosts"], args=["b", 3000, 9000]) == [2, 1]
    assert scripts.heartbeat(keys=["ns:hosts"], args=["a", 3000, 9000]) == [2, 0]
    assert 8000 < redis.pttl("ns:hosts") <= 9000


@pytest.mark.parametrize("field", ["v", "t"])
@pytest.mark.parametrize("garbage", ["-inf", "nan", "1e300"])
def test_lease_repairs_a_damaged_bucket(redis, scripts, field, garbage):
    # A field that is no level or time is a bucket lost: it starts full, as
    # a missing one does, instead of granting nothing for good.
    redis.hset("ns:b", mapping={"v": 0, "t": server_us(redis), field: garbage})
    granted, level = scripts.lease(keys=["ns:b"], args=[10.0, 2e-6, 4, 0, 6000])
    assert granted == 4 and 6 <= float(level) < 6.01
    stored = {name: float(value) for name, value in redis.hgetall("ns:b").items()}
    assert 6 <= stored[b"v"] < 6.01 and stored[b"t"] <= server_us(redis)
