"""The outcome table over the errors real HTTP clients raise, against a real
loopback server: statuses and Retry-After read by duck typing, replies cut
mid-body as connection failures."""

import asyncio
import http.client
import threading
import types
import urllib.error
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

import pytest
from gateway_helpers import Script, make_gateway, provider, request

from velmorquist_proxy.outcomes import classify_failure, http_status, retry_after_of


class Upstream(BaseHTTPRequestHandler):
    """GET /<status> answers that status with Retry-After: 7; GET /cut
    promises 100 bytes and closes after 10."""

    def do_GET(self):
        if self.path == "/cut":
            self.send_response(200)
            self.send_header("Content-Length", "100")
            self.end_headers()
            self.wfile.write(b"0123456789")
            self.wfile.flush()
            self.close_connection = True
            return
        self.send_response(int(self.path[1:]))
        self.send_header("Retry-After", "7")
        self.send_header("Content-Length", "2")
        self.end_headers()
        self.wfile.write(b"no")

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def upstream():
    server = ThreadingHTTPServer(("127.0.0.1", 0), Upstream)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield f"http://127.0.0.1:{server.server_address[1]}"
    server.shutdown()
    server.server_close()
    thread.join()


def urllib_error(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as reply:
            reply.read()
    except urllib.error.HTTPError as error:
        error.close()   # its reply's socket; the status and headers stay readable
        return error
    except Exception as error:
        return error


def httpx_error(url):
    httpx = pytest.importorskip("httpx")
    try:
        httpx.get(url, timeout=5).raise_for_status()
    except Exception as error:
        return error


def aiohttp_error(url):
    aiohttp = pytest.importorskip("aiohttp")

    async def fetch():
        async with aiohttp.ClientSession(raise_for_status=True) as session:
            async with session.get(url) as reply:
                await reply.read()

    try:
        asyncio.run(fetch())
    except Exception as error:
        return error


CLIENTS = [urllib_error, httpx_error, aiohttp_error]


@pytest.mark.parametrize("client", CLIENTS)
@pytest.mark.parametrize("status, kind", [
    (401, "auth"), (402, "quota"), (429, "rate_limit"), (400, "caller"), (503, "service_error"),
])
def test_an_error_reply_counts_by_its_status(upstream, client, status, kind):
    error = client(f"{upstream}/{status}")
    assert (classify_failure(error), http_status(error), retry_after_of(error)) == (
        kind, status, 7.0)


@pytest.mark.parametrize("client", CLIENTS)
def test_a_reply_cut_mid_body_is_a_connection_failure(upstream, client):
    assert classify_failure(client(f"{upstream}/cut")) == "connection"


def test_http_client_errors_without_a_reply_are_connection_failures():
    assert classify_failure(http.client.IncompleteRead(b"partial", 10)) == "connection"
    assert classify_failure(http.client.RemoteDisconnected("closed")) == "connection"


class SdkStatusError(Exception):   # as OpenAI-style SDKs raise them
    def __init__(self, status_code, headers):
        super().__init__(f"Error code: {status_code}")
        self.status_code = status_code
        self.response = types.SimpleNamespace(headers=headers)


class RequestsHTTPError(OSError):   # requests' HTTPError is an OSError too
    def __init__(self, status_code, headers):
        super().__init__(f"{status_code} Client Error")
        self.response = types.SimpleNamespace(status_code=status_code, headers=headers)


@pytest.mark.parametrize("make", [SdkStatusError, RequestsHTTPError])
def test_status_errors_of_sdks_are_read_by_duck_typing(make):
    error = make(429, {"Retry-After": "3"})
    assert (classify_failure(error), retry_after_of(error)) == ("rate_limit", 3.0)
    assert classify_failure(make(401, {})) == "auth"


def test_urllib_401_disables_the_key_through_the_gateway(upstream):
    gateway = make_gateway(provider("alpha"))

    def send(provider_name, key):
        status = "401" if key.endswith("0001") else "200"
        with urllib.request.urlopen(f"{upstream}/{status}", timeout=5) as reply:
            return reply.read()

    assert gateway.call(send) == b"no"
    assert [k["status"] for k in gateway.snapshot()["providers"]["alpha"]["keys"]] == [
        "disabled", "active"]


def test_quota_is_read_from_the_whole_body():
    body = "x" * 497 + " insufficient_quota"
    gateway = make_gateway(provider("alpha"))
    request(gateway, Script(alpha=[(429, None, body)]))
    assert gateway.snapshot()["providers"]["alpha"]["keys"][0]["status"] == "exhausted"
