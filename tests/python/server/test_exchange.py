"""The server's native record of a request: its ids, and that no field a
caller sets or deletes can crash it."""

import json
import os

import pytest

from velmorquist_proxy.server.exchange import Exchange

PATH = "/v1/chat/completions"


@pytest.mark.parametrize("given, kept", [
    ("req-1", True),
    ("é" * 128, True),
    ("x" * 129, False),
    ("bad\nid", False),
    ("", False),
    (None, False),
    (b"req-1", False),
])
def test_a_clients_request_id_is_kept_only_when_short_and_printable(given, kept):
    request_id = Exchange(given, PATH).request_id
    if kept:
        assert request_id == given
    else:
        assert len(request_id) == 32 and int(request_id, 16) >= 0


def test_request_ids_differ_across_requests_and_forked_workers():
    ids = {Exchange(None, PATH).request_id for _ in range(3)}
    read, write = os.pipe()
    child = os.fork()
    if child == 0:
        os.write(write, Exchange(None, PATH).request_id.encode())
        os._exit(0)
    os.close(write)
    try:
        child_id = os.read(read, 64).decode()
    finally:
        os.close(read)
        os.waitpid(child, 0)
    assert len(ids) == 3
    assert child_id[:16] not in {request_id[:16] for request_id in ids}


def log_line(exchange):
    return exchange.log_line("POST")


@pytest.mark.parametrize("field, value, call", [
    ("provider", 5, Exchange.headers),
    ("provider", 5, Exchange.stream_headers),
    ("model", 5, log_line),
    ("tokens_in", "3", log_line),
])
def test_fields_of_the_wrong_type_raise_rather_than_crash(field, value, call):
    exchange = Exchange(None, PATH)
    setattr(exchange, field, value)
    with pytest.raises(TypeError):
        call(exchange)


def test_deleted_fields_read_as_none_in_its_methods():
    exchange = Exchange("req-1", PATH)
    for field in ("model", "provider", "tokens_in", "tokens_out", "attempt"):
        delattr(exchange, field)
    exchange.set_usage((2, 3))
    assert json.loads(log_line(exchange))["tokens_in"] == 2
    assert exchange.headers()["x-velmorquist-provider"] == "none"
    exchange.model = "m" * 300
    assert json.loads(log_line(exchange))["model"] == "m" * 200


@pytest.mark.parametrize("attempts", [0, 1, 15, 16, 12345, -1])
def test_response_headers_are_a_new_dict_each_time(attempts):
    exchange = Exchange("req-1", PATH)
    exchange.provider, exchange.attempts = "alpha", attempts
    plain = exchange.headers()
    assert list(plain) == ["x-request-id", "x-velmorquist-provider", "x-velmorquist-attempts",
                           "x-velmorquist-overhead-ms"]
    assert plain["x-velmorquist-attempts"] == str(attempts)
    assert plain["x-velmorquist-provider"] == "alpha"
    plain.clear()   # a caller's changes stay in its copy
    stream = exchange.stream_headers()
    assert list(stream)[:2] == ["content-type", "cache-control"]
    assert stream["content-type"] == "text/event-stream"
    assert {name: stream[name] for name in list(stream)[2:3]} == {"x-request-id": "req-1"}
    assert len(exchange.headers()) == 4 and len(stream) == 6


@pytest.mark.parametrize("usage, error", [((1,), TypeError), ([1, 2], TypeError),
                                          ((1, "2"), TypeError)])
def test_set_usage_takes_a_pair_of_counts(usage, error):
    with pytest.raises(error):
        Exchange(None, PATH).set_usage(usage)


@pytest.mark.parametrize("field, value, error", [
    ("attempts", 10**30, OverflowError),
    ("attempts", 2.5, TypeError),
    ("waited", "x", TypeError),
    ("status", None, TypeError),
])
def test_a_number_refused_leaves_the_field_as_it_was(field, value, error):
    exchange = Exchange(None, PATH)
    before = getattr(exchange, field)
    with pytest.raises(error):
        setattr(exchange, field, value)
    assert getattr(exchange, field) == before
