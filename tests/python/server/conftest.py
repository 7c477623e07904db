import pytest

from server_harness import KEYS, ProxyInThread, config_mapping
from velmorquist_proxy.server.fake_upstream import FakeUpstream


@pytest.fixture(scope="module")
def fake():
    upstream = FakeUpstream.in_thread(compress=True)
    yield upstream
    upstream.stop()


@pytest.fixture
def proxy_with(fake, monkeypatch):
    """Starts a proxy over `fake` with these [server] fields; stopped after."""
    for name, value in KEYS.items():
        monkeypatch.setenv(name, value)
    for record in (fake.scripts, fake.hits, fake.gone, fake.last):
        record.clear()
    started = []

    def start(mapping=None, **server):
        proxy = ProxyInThread(mapping or config_mapping(fake, **server))
        started.append(proxy)
        return proxy

    yield start
    for proxy in started:
        proxy.stop()


@pytest.fixture
def proxy(proxy_with):
    return proxy_with()
