"""`velmorquist-proxy serve` as operators run it: workers sharing one
region, and a drain on SIGTERM."""

import json
import threading

import httpx
import pytest

from server_harness import KEYS, ProxyProcess
from velmorquist_proxy.server.fake_upstream import CHUNKS

pytestmark = pytest.mark.pure_python
CLIENT = {"authorization": f"Bearer {KEYS['PROXY_CLIENT_KEY']}"}
CHAT = {"model": "chat", "messages": [{"role": "user", "content": "hi"}]}
LIMIT = 6


def write_config(path, fake, grace_s=30.0):
    path.write_text(f"""
[server]
client_keys_env = ["PROXY_CLIENT_KEY"]
grace_s = {grace_s}
[retry]
max_retries = 0
[[providers]]
name = "alpha"
base_url = "{fake.url('alpha')}"
keys_env = ["ALPHA_KEY_1"]
rate = {{ max_calls = {LIMIT}, time_window_secs = 3600.0, burst_size = {LIMIT} }}
[[models]]
name = "chat"
route = [{{ provider = "alpha", model = "alpha-small" }}]
""")
    return path


def log_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.startswith("{")]


def test_two_workers_share_one_rate_limit_exactly(fake, tmp_path):
    server = ProxyProcess(write_config(tmp_path / "proxy.toml", fake), workers=2)
    try:
        statuses = []
        for _ in range(2 * LIMIT):   # a connection each, so both workers take some
            with httpx.Client(headers=CLIENT, timeout=30) as http:
                statuses.append(http.post(server.url + "/v1/chat/completions",
                                          json=CHAT).status_code)
        with httpx.Client(timeout=30) as http:
            metrics = http.get(server.url + "/metrics").text
    finally:
        server.terminate()
        code, errors = server.finish()
    assert code == 0
    assert sorted(statuses) == [200] * LIMIT + [503] * LIMIT
    assert fake.hits["alpha"] == LIMIT
    log = [entry for entry in log_lines(errors) if entry["path"] == "/v1/chat/completions"]
    assert len(log) == 2 * LIMIT
    assert len({entry["worker"] for entry in log}) == 2
    assert (f'velmorquist_requests_total{{model="chat",outcome="success",provider="alpha"}} '
            f'{LIMIT}.0') in metrics   # both workers' counts, whichever answered


def test_sigterm_lets_a_stream_finish_and_refuses_new_connections(fake, tmp_path):
    fake.scripts["alpha"] = "slow:0.3"
    server = ProxyProcess(write_config(tmp_path / "proxy.toml", fake))
    events = []
    first = threading.Event()

    def stream():
        with httpx.Client(headers=CLIENT, timeout=30) as http:
            with http.stream("POST", server.url + "/v1/chat/completions",
                             json={**CHAT, "stream": True}) as reply:
                for line in reply.iter_lines():
                    if line.startswith("data: "):
                        events.append(line[6:])
                        first.set()

    client = threading.Thread(target=stream)
    client.start()
    try:
        assert first.wait(30)
        server.terminate()
        refused = False
        for _ in range(200):
            try:
                httpx.get(server.url + "/healthz", timeout=5)
            except httpx.ConnectError:
                refused = True
                break
            threading.Event().wait(0.01)
        client.join(30)
    finally:
        code, errors = server.finish()
    assert refused
    assert code == 0
    assert len(events) == CHUNKS + 1 and events[-1] == "[DONE]"
    assert "draining" in errors
