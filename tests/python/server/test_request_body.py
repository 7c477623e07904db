"""What the server reads of bodies: the native reader of requests against
Python's own json module (the same bodies accepted, the same model, value
spans that are the values), and the usage of replies; and the access-log
line it writes natively, read back by json; the cells its metrics tally
natively refuse what is not theirs."""

import json
import os

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmorquist_proxy._host import (BODY_INVALID, BODY_NOT_OBJECT, BODY_REPEATED, access_line,
                                     read_usage, scan_request, splice_body, split_events,
                                     tally_request)
from velmorquist_proxy.attempt import MAX_TOKENS

EXAMPLES = int(os.environ.get("VELMORQUIST_FUZZ_EXAMPLES", "150"))
NAMES = ["model", "stream", "stream_options", "max_tokens", "max_completion_tokens", "x", "é"]
scalars = st.one_of(st.none(), st.booleans(), st.integers(-2**70, 2**70),
                    st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=8))
values = st.recursive(scalars, lambda inner: st.one_of(
    st.lists(inner, max_size=3), st.dictionaries(st.sampled_from(NAMES), inner, max_size=3)),
    max_leaves=8)
bodies = st.dictionaries(st.sampled_from(NAMES), values, max_size=6)


@settings(max_examples=EXAMPLES)
@given(bodies, st.booleans(), st.sampled_from([None, 1, 2]))
def test_a_body_reads_as_json_reads_it(payload, ascii_only, indent):
    body = json.dumps(payload, ensure_ascii=ascii_only, indent=indent).encode()
    model, model_at, model_end, stream, options_at, options_end, most = scan_request(body)
    assert model == (payload["model"] if isinstance(payload.get("model"), str) else None)
    if "model" in payload:
        assert json.loads(body[model_at:model_end]) == payload["model"]
    else:
        assert model_at == model_end == -1
    assert stream is (payload.get("stream") is True)
    if "stream_options" in payload:
        assert json.loads(body[options_at:options_end]) == payload["stream_options"]
    limit = payload.get("max_completion_tokens", payload.get("max_tokens"))
    wanted = limit if type(limit) is int and limit > 0 else 0
    assert most == min(wanted, 2**32)


@settings(max_examples=EXAMPLES)
@given(st.binary(max_size=40) | st.text(alphabet='{}[]":,0-1.eE tfnul\\"ab', max_size=30)
       .map(str.encode))
def test_bytes_are_refused_exactly_when_json_refuses_them(body):
    answer = scan_request(body)
    try:
        parsed = json.loads(body.decode("utf-8"),
                            parse_constant=lambda name: 1 / 0)   # NaN is not JSON
    except (ValueError, ZeroDivisionError, RecursionError):
        assert answer == BODY_INVALID
        return
    if not isinstance(parsed, dict):
        assert answer == BODY_NOT_OBJECT
    elif answer == BODY_REPEATED:
        assert body.count(b'"') >= 4   # a name given twice
    else:
        assert answer[0] == (parsed["model"] if isinstance(parsed.get("model"), str) else None)


@pytest.mark.parametrize("reply, tokens", [
    (b'{"usage":{"prompt_tokens":5,"completion_tokens":3,'
     b'"prompt_tokens_details":{"cached_tokens":1}}}', (5, 3)),
    (b'{"usage":{"prompt_tokens":1' + b"0" * 30 + b'}}', (MAX_TOKENS, 0)),
    (b'{"usage":{"total_tokens":7}}', (7, 0)),
    (b'{"usage":{"prompt_tokens":', None),
])
def test_usage_is_read_whatever_else_the_object_holds(reply, tokens):
    assert read_usage(reply) == tokens


@pytest.mark.parametrize("separator", [b"\n\n", b"\r\n\r\n"])
@pytest.mark.parametrize("keep_usage", [False, True])
def test_a_streams_usage_event_is_read_and_dropped_unless_asked_for(separator, keep_usage):
    chunk = b'data: {"choices":[{"delta":{}}],"usage":null}' + separator
    usage = b'data: {"choices":[],"usage":{"prompt_tokens":2,"completion_tokens":1}}' + separator
    done = b"data: [DONE]" + separator
    events, rest, tokens = split_events(chunk + usage + done + b"data: {", keep_usage)
    assert events == (chunk + usage + done if keep_usage else chunk + done)
    assert (rest, tokens) == (b"data: {", (2, 1))


@settings(max_examples=EXAMPLES)
@given(st.lists(st.sampled_from([b"data: {}", b'data: {"choices":[],"usage":{"total_tokens":1}}',
                                 b"\n", b"\r\n", b"\n\n"]), max_size=12).map(b"".join),
       st.booleans())
def test_split_events_keeps_every_byte_but_a_dropped_usage_event(data, keep_usage):
    events, rest, _ = split_events(data, keep_usage)
    if keep_usage:
        assert events + rest == data
    assert data.endswith(rest) and not rest.endswith(b"\n\n")


@settings(max_examples=EXAMPLES)
@given(st.text(), st.none() | st.text(), st.floats(), st.none() | st.integers(0, 2**63 - 1))
def test_the_access_line_reads_back_as_given(text, model, latency_ms, tokens):
    line = access_line(1.5, text, 7, "POST", "/v1/x", model, None, 200, 1, True, latency_ms,
                       0.25, tokens, None)
    entry = json.loads(line)
    assert line.isascii()
    assert (entry["request_id"], entry["model"], entry["tokens_in"]) == (text, model, tokens)
    if latency_ms == latency_ms and abs(latency_ms) != float("inf"):
        assert entry["latency_ms"] == float(f"{latency_ms:.3f}")
    else:
        assert entry["latency_ms"] is None


@pytest.mark.parametrize("cells, request_at, error", [
    (memoryview(bytearray(8 * 64)).cast("d"), 64, IndexError),    # past the cells
    (memoryview(bytearray(8 * 64)).cast("d"), -1, OverflowError),
    (bytearray(8 * 64), 0, TypeError),                             # bytes, not doubles
    (b"\0" * (8 * 64), 0, BufferError),                            # read-only
])
def test_a_request_tally_refuses_what_is_not_its_cells(cells, request_at, error):
    before = bytes(cells)
    with pytest.raises(error):
        tally_request(cells, request_at, None, 0, 0.1, 16, 0.5, 30, 3, 43, 4)
    assert bytes(cells) == before


@pytest.mark.parametrize("edits, text, made", [
    ((b'{"model":"a"}', 9, 12, None), b'"bb"', b'{"model":"bb"}'),
    ((b'{"model":"a"}', 12, 12, (9, 12, b'"c"')), b",x", b'{"model":"c",x}'),  # either order
    ((b'{"model":"a"}', 9, 12, (2, 7, b"m")), b"1", b'{"m":1}'),
    ((b"abc", 1, 2, (1, 3, b"")), b"", ValueError),                           # overlapping
    ((b"abc", 2, 4, None), b"", ValueError),                                 # past the end
    ((b"abc", 2, 1, None), b"", ValueError),
    ((b"abc", 0, 1), b"", TypeError),
    ((b"abc", 0, 1, (0, 1, "x")), b"", TypeError),
])
def test_a_body_is_spliced_where_told(edits, text, made):
    if isinstance(made, type):
        with pytest.raises(made):
            splice_body(edits, text)
    else:
        assert splice_body(edits, text) == made
