"""The /v1 endpoints over real loopback HTTP: routes, rewriting, errors,
headers, streams, metrics and the access log, with no key anywhere."""

import asyncio
import json
import socket
import struct

import aiohttp
import httpx
import pytest
from prometheus_client.parser import text_string_to_metric_families

from server_harness import KEYS, SECRETS, config_mapping
from velmorquist_proxy.server.fake_upstream import CHUNKS, COMPLETION_TOKENS, PROMPT_TOKENS
from velmorquist_proxy.server.streaming import MOST_PENDING

pytestmark = pytest.mark.pure_python
CLIENT = {"authorization": f"Bearer {KEYS['PROXY_CLIENT_KEY']}"}
ADMIN = {"authorization": f"Bearer {KEYS['PROXY_ADMIN_KEY']}"}
CHAT = {"model": "chat", "messages": [{"role": "user", "content": "hi"}], "temperature": 0.5}


def client(proxy, **headers):
    return httpx.Client(base_url=proxy.url, headers={**CLIENT, **headers}, timeout=30)


def assert_no_secret(*texts):
    for text in texts:
        for secret in SECRETS:
            assert secret not in text


def sse_data(text: str) -> list:
    return [line[6:] for line in text.splitlines() if line.startswith("data: ")]


@pytest.mark.parametrize("path, extra", [
    ("/v1/chat/completions", {}),
    ("/v1/completions", {"prompt": "hi"}),
    ("/v1/embeddings", {"input": "hi"}),
])
def test_a_request_goes_upstream_with_the_route_model_and_a_provider_key(
        fake, proxy, path, extra):
    with client(proxy, **{"x-request-id": "req-1"}) as http:
        reply = http.post(path, json={**CHAT, **extra})
    assert reply.status_code == 200
    assert reply.json()["model"] == "alpha-small"
    assert reply.headers["content-type"] == "application/json; charset=utf-8"   # as sent
    upstream_path, body, headers = fake.last["alpha"]
    assert upstream_path == path[len("/v1/"):]
    assert json.loads(body) == {**CHAT, **extra, "model": "alpha-small"}
    assert headers["authorization"] in (f"Bearer {KEYS['ALPHA_KEY_1']}",
                                        f"Bearer {KEYS['ALPHA_KEY_2']}")
    assert headers["user-agent"] == "velmorquist-proxy"
    assert headers["accept-encoding"] == "identity"   # usage and keys are read from the bytes
    assert reply.headers["x-request-id"] == "req-1"
    assert reply.headers["x-velmorquist-provider"] == "alpha"
    assert reply.headers["x-velmorquist-attempts"] == "1"
    assert float(reply.headers["x-velmorquist-overhead-ms"]) >= 0.0


DEEP = b"[" * 20000 + b"]" * 20000


@pytest.mark.parametrize("sent, upstream", [
    # Spacing, escapes, order and number spellings stay as the client wrote them.
    (b'{ "messages" : [{"content": "h\\u00e9 \xc3\xa9"}], "model" : "chat", "t": 1.0e0 }',
     b'{ "messages" : [{"content": "h\\u00e9 \xc3\xa9"}], "model" : "alpha-small", "t": 1.0e0 }'),
    (b'{"model": "ch\\u0061t", "x": ' + DEEP + b"}", b'{"model": "alpha-small", "x": ' + DEEP + b"}"),
    (b'{"model":"chat","stream":true,"stream_options":{"include_usage":false,"n":1}}',
     b'{"model":"alpha-small","stream":true,"stream_options":{"include_usage":true,"n":1}}'),
    (b'{"stream":true,"stream_options":{"include_usage":false},"model":"chat"}',
     b'{"stream":true,"stream_options":{"include_usage":true},"model":"alpha-small"}'),
    (b'{"model":"chat","stream":true}',
     b'{"model":"alpha-small","stream_options":{"include_usage":true},"stream":true}'),
], ids=["as-written", "escaped-and-deep", "stream-options-kept", "stream-options-first",
        "stream-options-added"])
def test_a_body_goes_upstream_as_sent_but_for_the_model(fake, proxy, sent, upstream):
    with client(proxy) as http:
        assert http.post("/v1/chat/completions", content=sent).status_code == 200
    assert fake.last["alpha"][1] == upstream


def test_models_health_and_readiness(fake, proxy):
    with client(proxy) as http:
        models = http.get("/v1/models").json()
        assert [m["id"] for m in models["data"]] == ["chat", "beta-only"]
        assert models["object"] == "list"
        assert http.get("/healthz", headers={"authorization": ""}).status_code == 200
        assert http.get("/readyz", headers={"authorization": ""}).status_code == 200
        fake.scripts.update(alpha="status:500", beta="status:500")
        assert http.post("/v1/chat/completions", json=CHAT).status_code == 502
        assert http.get("/readyz").status_code == 503   # both breakers open


@pytest.mark.parametrize("headers, body, status, code", [
    ({"authorization": ""}, CHAT, 401, "invalid_api_key"),
    ({"authorization": "Bearer wrong"}, CHAT, 401, "invalid_api_key"),
    ({}, {**CHAT, "model": "nope"}, 404, "model_not_found"),
    ({}, b"{not json", 400, "invalid_json"),
    ({}, {"messages": []}, 400, "missing_model"),
    ({}, [CHAT], 400, "invalid_json"),
    ({}, b'{"model": "chat", "t": NaN}', 400, "invalid_json"),
    ({}, b'{"model": "nope", "model": "chat"}', 400, "invalid_json"),
    ({}, {**CHAT, "pad": "x" * 2000}, 413, "request_too_large"),
])
def test_refused_requests_get_openai_errors_and_the_proxy_headers(
        fake, proxy_with, headers, body, status, code):
    proxy = proxy_with(max_body_bytes=1000)
    content = body if isinstance(body, bytes) else json.dumps(body).encode()
    with client(proxy, **headers) as http:
        reply = http.post("/v1/chat/completions", content=content)
    assert reply.status_code == status
    assert reply.json()["error"]["code"] == code
    assert set(reply.json()["error"]) == {"message", "type", "code"}
    assert reply.headers["x-velmorquist-attempts"] == "0"
    assert "x-velmorquist-provider" in reply.headers
    assert fake.hits["alpha"] == 0


@pytest.mark.parametrize("method, path, status, allow", [
    ("GET", "/v1/nothing", 404, None), ("GET", "/v1/chat/completions", 405, "POST"),
    ("POST", "/healthz", 405, "GET, HEAD"), ("DELETE", "/", 404, None),
])
def test_paths_and_methods_without_a_route_get_openai_errors(fake, proxy, method, path, status,
                                                             allow):
    with client(proxy) as http:
        reply = http.request(method, path)
    assert reply.status_code == status
    assert set(reply.json()["error"]) == {"message", "type", "code"}
    assert reply.headers["x-request-id"]
    assert reply.headers.get("allow") == allow


def test_a_body_of_exactly_the_limit_is_accepted_also_chunked(fake, proxy_with):
    proxy = proxy_with(max_body_bytes=200)
    base = json.dumps({**CHAT, "pad": ""})
    exact = json.dumps({**CHAT, "pad": "x" * (200 - len(base))}).encode()
    assert len(exact) == 200
    with client(proxy) as http:
        assert http.post("/v1/chat/completions", content=exact).status_code == 200
        chunked = http.post("/v1/chat/completions", content=iter([exact[:100], exact[100:]]))
        assert chunked.status_code == 200
        over = http.post("/v1/chat/completions", content=iter([exact, b" "]))
        assert over.status_code == 413


@pytest.mark.parametrize("scripts, status, code", [
    ({"alpha": "status:500"}, 200, None),                        # falls over to beta
    ({"alpha": "echo_key:400"}, 400, None),                      # the caller's fault, masked
    ({"alpha": "status:500", "beta": "status:503"}, 502, "upstream_failed"),
])
def test_upstream_failures(fake, proxy, scripts, status, code):
    fake.scripts.update(scripts)
    with client(proxy) as http:
        reply = http.post("/v1/chat/completions", json=CHAT)
        assert reply.status_code == status
        if status in (200, 400):   # passed back with the upstream's Content-Type
            assert reply.headers["content-type"] == "application/json; charset=utf-8"
        if code is not None:
            assert reply.json()["error"]["code"] == code
        if status == 200:
            assert reply.headers["x-velmorquist-provider"] == "beta"
            assert reply.headers["x-velmorquist-attempts"] == "2"
        if status == 400:
            assert "Incorrect API key provided: sk-a" in reply.json()["error"]["message"]
        assert_no_secret(reply.text)
        if status == 502:   # both breakers are open now: nothing is usable yet
            again = http.post("/v1/chat/completions", json=CHAT)
            assert again.status_code == 503
            assert 1 <= int(again.headers["retry-after"]) <= 60
            assert again.headers["x-velmorquist-attempts"] == "0"


def test_the_deadline_gives_504(fake, proxy_with):
    mapping = config_mapping(fake)
    mapping["deadline_s"] = 0.2
    proxy = proxy_with(mapping)
    fake.scripts.update(alpha="late:0.5", beta="late:0.5")
    with client(proxy) as http:
        reply = http.post("/v1/chat/completions", json=CHAT)
    assert reply.status_code == 504
    assert reply.json()["error"]["code"] == "deadline_exceeded"


def test_a_stream_that_stalls_before_its_headers_falls_over_at_its_first_chunk_limit(
        fake, proxy_with):
    mapping = config_mapping(fake)
    mapping["deadline_s"] = 1.0
    mapping["providers"][0]["first_chunk_timeout_s"] = 0.2
    proxy = proxy_with(mapping)
    fake.scripts.update(alpha="late:2")   # past the deadline: waiting for it would give 504
    with client(proxy) as http:
        reply = http.post("/v1/chat/completions", json={**CHAT, "stream": True})
    assert reply.status_code == 200
    assert reply.headers["x-velmorquist-provider"] == "beta"


@pytest.mark.parametrize("include_usage", [False, True])
def test_a_stream_falls_over_before_its_first_chunk_and_settles_its_usage(
        fake, proxy, include_usage):
    fake.scripts.update(alpha="status:500")
    body = {**CHAT, "stream": True}
    if include_usage:
        body["stream_options"] = {"include_usage": True}
    with client(proxy) as http:
        reply = http.post("/v1/chat/completions", json=body)
    assert reply.status_code == 200
    assert reply.headers["content-type"] == "text/event-stream"
    assert reply.headers["x-velmorquist-provider"] == "beta"
    sent = json.loads(fake.last["beta"][1])
    headers = fake.last["beta"][2]   # the provider's own, and the stream's
    assert (headers["x-extra"], headers["accept"]) == ("yes", "text/event-stream")
    assert sent["stream_options"] == {"include_usage": True}
    events = sse_data(reply.text)
    assert events[-1] == "[DONE]"
    chunks = [json.loads(e) for e in events[:-1]]
    assert len(chunks) == CHUNKS + include_usage
    if include_usage:
        assert chunks[-1]["usage"]["completion_tokens"] == COMPLETION_TOKENS


def test_an_upstream_event_that_never_ends_is_a_failure_not_a_growing_buffer(fake, proxy):
    fake.scripts.update(alpha=f"endless:{MOST_PENDING * 2}")
    with client(proxy) as http:
        reply = http.post("/v1/chat/completions", json={**CHAT, "stream": True})
    assert reply.status_code == 200
    assert reply.headers["x-velmorquist-provider"] == "beta"
    assert sse_data(reply.text)[-1] == "[DONE]"


def test_stream_failures_after_and_before_the_first_chunk(fake, proxy):
    with client(proxy) as http:
        fake.scripts.update(alpha="cut:2")
        reply = http.post("/v1/chat/completions", json={**CHAT, "stream": True})
        assert reply.status_code == 200
        events = sse_data(reply.text)
        assert len(events) == 3
        assert json.loads(events[-1])["error"]["code"] == "stream_interrupted"
        fake.scripts.update(beta="status:500")   # alpha's breaker is open now
        never = http.post("/v1/chat/completions", json={**CHAT, "stream": True})
        assert never.status_code == 502
        assert never.headers["content-type"].startswith("application/json")


def test_a_client_that_leaves_a_stream_closes_the_upstream(fake, proxy):
    fake.scripts.update(alpha="slow:0.2")

    async def leave_after_the_first_chunk():
        async with aiohttp.ClientSession(headers=CLIENT) as session:
            async with session.post(proxy.url + "/v1/chat/completions",
                                    json={**CHAT, "stream": True}) as reply:
                assert reply.status == 200
                await reply.content.readline()
        for _ in range(100):
            if fake.gone["alpha"]:
                return
            await asyncio.sleep(0.02)

    asyncio.run(leave_after_the_first_chunk())
    assert fake.gone["alpha"] == 1


@pytest.mark.parametrize("stream", [False, True])
def test_a_client_that_resets_as_the_reply_ends_still_counts_a_success(proxy, capsys, stream):
    """The reply's end goes out before the request's bookkeeping, which must
    run all the same when the client resets the connection at once."""
    body = json.dumps({**CHAT, "stream": stream}).encode()
    request = (f"POST /v1/chat/completions HTTP/1.1\r\nHost: proxy\r\n"
               f"Authorization: {CLIENT['authorization']}\r\nContent-Length: {len(body)}\r\n"
               f"\r\n").encode() + body
    for _ in range(20):
        with socket.create_connection(("127.0.0.1", proxy.port)) as connection:
            connection.sendall(request)
            received = b""
            while not _reply_ended(received):
                received += connection.recv(65536)
            # Closing with linger 0 resets the connection.
            connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    proxy.settle()
    log = [json.loads(line) for line in capsys.readouterr().err.splitlines()
           if line.startswith("{")]
    assert [entry["status"] for entry in log] == [200] * 20
    assert proxy.gateway.snapshot()["counters"]["successes"] == 20


def _reply_ended(received: bytes) -> bool:
    head, _, body = received.partition(b"\r\n\r\n")
    for line in head.lower().split(b"\r\n"):
        if line.startswith(b"content-length:"):
            return len(body) >= int(line[15:])
    return body.endswith(b"0\r\n\r\n")


def test_admin_endpoints(fake, proxy_with):
    proxy = proxy_with()
    with client(proxy) as http:
        assert http.get("/admin/snapshot").status_code == 401   # a client key is not enough
        snapshot = http.get("/admin/snapshot", headers=ADMIN).json()
        assert set(snapshot["providers"]) == {"alpha", "beta"}
        off = http.post("/admin/providers/alpha/keys/0/disable", headers=ADMIN)
        assert off.status_code == 200
        keys = http.get("/admin/snapshot", headers=ADMIN).json()["providers"]["alpha"]["keys"]
        assert keys[0]["status"] != keys[1]["status"]
        assert http.post("/admin/providers/alpha/keys/0/enable", headers=ADMIN).status_code == 200
        assert http.post("/admin/providers/alpha/keys/2/enable", headers=ADMIN).status_code == 404
        assert http.post("/admin/providers/gamma/breaker/reset", headers=ADMIN).status_code == 404
        fake.scripts.update(alpha="status:500")
        http.post("/v1/chat/completions", json=CHAT)
        assert http.get("/admin/snapshot", headers=ADMIN).json()[
            "providers"]["alpha"]["breaker"] == "open"
        assert http.post("/admin/providers/alpha/breaker/reset", headers=ADMIN).status_code == 200
        assert http.get("/admin/snapshot", headers=ADMIN).json()[
            "providers"]["alpha"]["breaker"] == "closed"
        assert_no_secret(http.get("/admin/snapshot", headers=ADMIN).text)
    mapping = config_mapping(fake)
    del mapping["server"]["admin_key_env"]
    with client(proxy_with(mapping)) as http:
        assert http.get("/admin/snapshot", headers=ADMIN).status_code == 404


def test_metrics_and_the_access_log_count_the_traffic_and_hold_no_key(fake, proxy, capsys):
    with client(proxy) as http:
        for _ in range(3):
            assert http.post("/v1/chat/completions", json=CHAT).status_code == 200
        assert http.post("/v1/chat/completions",
                         json={**CHAT, "stream": True}).status_code == 200
        fake.scripts.update(alpha="echo_key:401")   # alpha's keys are refused: beta serves
        assert http.post("/v1/chat/completions", json=CHAT).status_code == 200
        assert http.post("/v1/chat/completions", json={**CHAT, "model": "x"}).status_code == 404
        text = http.get("/metrics", headers={"authorization": ""}).text
    proxy.settle()
    samples = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            samples[(sample.name, tuple(sorted(sample.labels.items())))] = sample.value

    def value(name, **labels):
        return samples.get((name, tuple(sorted(labels.items()))), 0.0)

    assert value("velmorquist_requests_total", model="chat", provider="alpha",
                 outcome="success") == 4
    assert value("velmorquist_requests_total", model="chat", provider="beta",
                 outcome="success") == 1
    assert value("velmorquist_requests_total", model="", provider="", outcome="rejected") == 1
    assert value("velmorquist_attempts_total", provider="alpha", result="auth") == 2
    assert value("velmorquist_fallbacks_total", provider="beta") == 1
    assert value("gen_ai_client_token_usage_sum", gen_ai_request_model="chat",
                 gen_ai_provider_name="alpha", gen_ai_token_type="input") == 4 * PROMPT_TOKENS
    assert value("gen_ai_server_time_to_first_token_seconds_count", gen_ai_request_model="chat",
                 gen_ai_provider_name="alpha") == 1
    assert value("velmorquist_keys", provider="alpha", status="disabled") == 2
    assert value("velmorquist_overhead_seconds_count") == 6
    log = [json.loads(line) for line in capsys.readouterr().err.splitlines()
           if line.startswith("{")]
    assert len(log) == 7   # one per request, the scrape included
    assert [entry["status"] for entry in log[:6]] == [200, 200, 200, 200, 200, 404]
    assert log[0]["tokens_in"] == PROMPT_TOKENS and log[0]["provider"] == "alpha"
    assert_no_secret(text, json.dumps(log))
