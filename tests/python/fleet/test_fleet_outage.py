"""Redis stopped (SIGSTOP), killed and restarted under load: requests never
wait on it, hosts fall back to their share, then converge."""

import threading
import time

import pytest

from redis_server import redis_server_fixture
from fleet_hosts import KEYS, fail_with, fleet_gateway, try_once, wait_for

# Processes and Redis outages: their native calls are the same the host tests make.
pytestmark = pytest.mark.pure_python


@pytest.fixture
def server(tmp_path_factory):
    yield from redis_server_fixture(tmp_path_factory)


@pytest.mark.parametrize("shared", [False, True], ids=["one-process hosts", "host regions"])
def test_requests_go_on_while_redis_is_stopped_killed_and_restarted(server, tmp_path,
                                                                    monkeypatch, shared):
    import redis.connection

    from velmorquist_proxy import HostState, RateLimitConfig

    namespace = "outage-shared" if shared else "outage"
    events = [[], []]
    hosts = [fleet_gateway(server.url, namespace, events=seen, rate=RateLimitConfig(400, 1.0, 40),
                           host=HostState(tmp_path / f"host{i}") if shared else None)
             for i, seen in enumerate(events)]
    requests, errors, done = [0], [], threading.Event()
    successes = {"degraded": 0}
    # Every thread that takes a Redis connection, by name: a request thread
    # among them would be a request waiting on Redis, however briefly.
    talkers = set()
    take = redis.connection.ConnectionPool.get_connection

    def recording_take(pool, *args, **kwargs):
        talkers.add(threading.current_thread().name)
        return take(pool, *args, **kwargs)

    monkeypatch.setattr(redis.connection.ConnectionPool, "get_connection", recording_take)

    def run(gateway):
        while not done.is_set():
            try:
                ok = try_once(gateway)
            except Exception as error:   # nothing may reach a request
                errors.append(error)
                return
            requests[0] += 1
            if ok and gateway.snapshot()["fleet"]["degraded"]:
                successes["degraded"] += 1
            time.sleep(0.002)

    workers = [threading.Thread(target=run, args=(g,), name=f"request-worker-{i}")
               for i, g in enumerate(hosts * 2)]
    for worker in workers:
        worker.start()
    try:
        time.sleep(0.3)
        server.pause()
        wait_for(lambda: all(g.snapshot()["fleet"]["degraded"] for g in hosts))
        # Changed while the fleet cannot hear it: must arrive after recovery.
        cooling = ("rate_limited", "cooling_down")
        key_0 = lambda g: g.snapshot()["providers"]["acme"]["keys"][0]["status"]  # noqa: E731
        # The workers take turns over the keys: repeat until key 0 met the 429.
        wait_for(lambda: try_once(hosts[0], fail_with(429, "60", key=KEYS[0]))
                 and key_0(hosts[0]) in cooling)
        server.kill()
        time.sleep(0.3)
        server.start()
        wait_for(lambda: not any(g.snapshot()["fleet"]["degraded"] for g in hosts), 15.0)
        wait_for(lambda: key_0(hosts[1]) in cooling)
    finally:
        done.set()
        for worker in workers:
            worker.join()
        for gateway in hosts:
            gateway.close()
    assert errors == []
    assert successes["degraded"] > 0
    assert requests[0] > 0
    assert not [name for name in talkers if name.startswith("request-worker")]
    assert {"velmorquist-fleet-sync", "velmorquist-fleet-listen"} <= talkers
    for seen in events:
        kinds = [e.kind for e in seen if e.kind.startswith("fleet_")]
        assert kinds[:2] == ["fleet_degraded", "fleet_recovered"]
    assert server.client().zcard(f"{namespace}:hosts") == 0   # both left on close
