"""`[server.fleet]`: the proxy's state is a FleetState on a redis-server of
the test's own, and its health shows in /metrics."""

import httpx
import pytest

from redis_server import redis_server_fixture
from server_harness import KEYS, ProxyInThread, config_mapping


@pytest.fixture(scope="module")
def redis(tmp_path_factory):
    yield from redis_server_fixture(tmp_path_factory)


def test_a_proxy_on_a_fleet_serves_and_reports_the_fleet(fake, proxy_with, redis, monkeypatch):
    monkeypatch.setenv("FLEET_SECRET", "fleet-secret-0123456789")
    mapping = config_mapping(fake)
    mapping["server"]["fleet"] = {"url": redis.url, "namespace": "servertest",
                                  "secret_env": "FLEET_SECRET"}
    proxy = proxy_with(mapping)
    assert isinstance(proxy, ProxyInThread)
    with httpx.Client(base_url=proxy.url, timeout=30,
                      headers={"authorization": f"Bearer {KEYS['PROXY_CLIENT_KEY']}"}) as http:
        reply = http.post("/v1/chat/completions", json={"model": "chat", "messages": []})
        assert reply.status_code == 200
        metrics = http.get("/metrics").text
    assert "velmorquist_fleet_degraded 0.0" in metrics
    assert "velmorquist_fleet_hosts 1.0" in metrics
    assert "fleet-secret" not in metrics
