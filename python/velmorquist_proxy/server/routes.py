"""The OpenAI-compatible endpoints: a request's model picks its route, the
gateway picks the provider and key among that route's providers, and the
upstream's reply (or stream) goes back to the client."""

from __future__ import annotations

import asyncio
import json
import types
from time import perf_counter

import aiohttp
from aiohttp import web
from multidict import istr

from velmorquist_proxy._host import (BODY_INVALID, BODY_NOT_OBJECT, read_usage, scan_request,
                                     splice_body)
from velmorquist_proxy._masking import key_masker
from velmorquist_proxy.outcomes import AllProvidersFailed, ProviderFailure
from velmorquist_proxy.stream import StreamInterrupted
from velmorquist_proxy.watchdog import Cutoff
from velmorquist_proxy.server import errors
from velmorquist_proxy.server.streaming import upstream_events

# What a request reserves against token rates before its reply says more:
# about four bytes of prompt per token, plus what it may generate.
_BYTES_PER_TOKEN = 4
# What the access log says of a request whose client left.
CLIENT_GONE = 499
# Header names as multidict's istr, which aiohttp's header dicts take without
# folding their case again; in lower case, so that equal names meet in a dict.
_ACCEPT, _ACCEPT_ENCODING, _AUTHORIZATION, _CONTENT_TYPE, _USER_AGENT = map(
    istr, ("accept", "accept-encoding", "authorization", "content-type", "user-agent"))
_BOM = b"\xef\xbb\xbf"
_NO_TIMEOUT = aiohttp.ClientTimeout(total=None, connect=None, sock_read=None, sock_connect=None)
_ASK_USAGE = b',"stream_options":{"include_usage":true}'


class _Model:
    """A model's route, ready for the request path."""

    __slots__ = ("providers", "targets")

    def __init__(self, routes):
        self.providers = tuple(route.provider for route in routes)
        # Each provider's model as the JSON text put in the body.
        self.targets = {route.provider: json.dumps(route.model, ensure_ascii=False).encode()
                        for route in routes}


class _Upstream:
    __slots__ = ("base_url", "headers", "key_bytes", "mask", "mask_bytes", "plain_headers",
                 "session", "stream_headers")

    def __init__(self, upstream):
        self.base_url = upstream.base_url
        # What every call sends, as its session's own headers: aiohttp adds a
        # call's headers to those one at a time, in Python, so a call gives
        # only what varies.
        # Replies pass through as they come and their usage and keys are read
        # from their bytes, so they must not arrive compressed.
        # Names in lower case, so that the proxy's own replace an operator's.
        self.headers = {_USER_AGENT: "velmorquist-proxy",
                        **{istr(name.lower()): value for name, value in upstream.headers},
                        _CONTENT_TYPE: "application/json", _ACCEPT_ENCODING: "identity"}
        # Each key's headers for a call, made once: aiohttp copies what it is given.
        self.plain_headers = {key: {_AUTHORIZATION: f"Bearer {key}"} for key in upstream.keys}
        self.stream_headers = {key: {**headers, _ACCEPT: "text/event-stream"}
                               for key, headers in self.plain_headers.items()}
        self.session: aiohttp.ClientSession | None = None
        self.mask = key_masker(upstream.keys)
        self.key_bytes = keys = tuple(key.encode() for key in upstream.keys)
        mask = self.mask

        def mask_bytes(data: bytes) -> bytes:
            # A byte search per key is cheap; decoding happens only on a hit.
            for key in keys:
                if key in data:
                    return mask(data.decode("utf-8", "replace")).encode()
            return data

        self.mask_bytes = mask_bytes


class Proxy:
    """The `/v1` handlers over one gateway, and a session per upstream
    (between `open_sessions` and `close_sessions`)."""

    def __init__(self, config, gateway):
        self.config = config
        self.gateway = gateway
        self.models = {name: _Model(routes) for name, routes in config.models.items()}
        self.upstreams = {name: _Upstream(u) for name, u in config.upstreams.items()}
        self._connector: aiohttp.TCPConnector | None = None

    def open_sessions(self, connector: aiohttp.TCPConnector) -> None:
        """The upstreams' sessions, over one connector, which they now own.
        No aiohttp timeouts: a call is cut at the request's deadline by
        `Cutoff`, and a stream's waits by its stall checks."""
        self._connector = connector
        for upstream in self.upstreams.values():
            upstream.session = aiohttp.ClientSession(
                connector=connector, connector_owner=False, headers=upstream.headers,
                timeout=_NO_TIMEOUT, auto_decompress=False)

    async def close_sessions(self) -> None:
        for upstream in self.upstreams.values():
            if upstream.session is not None:
                await upstream.session.close()
        if self._connector is not None:
            await self._connector.close()

    # ---- /v1/models --------------------------------------------------------
    async def list_models(self, request: web.Request, exchange) -> web.Response:
        exchange.outcome = "success"
        data = [{"id": name, "object": "model", "created": 0, "owned_by": "velmorquist"}
                for name in self.models]
        return web.json_response({"object": "list", "data": data})

    # ---- completions and embeddings -----------------------------------------
    async def forward(self, request: web.Request, exchange) -> web.StreamResponse:
        body = await _read_body(request, self.config.max_body_bytes)
        if body.startswith(_BOM):
            body = body[3:]
        fields = scan_request(body)
        if fields.__class__ is int:
            raise _refused_body(fields)
        model_name, model_at, model_end, stream, options_at, options_end, most = fields
        if not model_name:
            raise errors.bad_request("You must provide a model parameter.", "missing_model")
        exchange.model = model_name
        model = self.models.get(model_name)
        if model is None:
            raise errors.model_not_found(model_name)
        exchange.known_model = model_name
        suffix = request.path[3:]   # after "/v1"
        tokens = len(body) // _BYTES_PER_TOKEN + most
        # What each attempt's body changes: the model's value (each route's
        # own), and for a stream `stream_options`, to ask for usage.
        if stream and suffix != "/embeddings":
            options, keep_usage = _asking_usage(body, model_end, options_at, options_end)
            edits = (body, model_at, model_end, options)
            return await self._stream(request, exchange, model, edits, keep_usage, suffix,
                                      tokens)
        return await self._plain(request, exchange, (body, model_at, model_end, None), model,
                                 suffix, tokens)

    async def _plain(self, request, exchange, edits, model, suffix, tokens) -> web.Response:
        upstreams = self.upstreams
        steps = self.gateway.attempt_steps(self.config.deadline_s, tokens,
                                           providers=model.providers)
        try:
            for attempt in steps:
                if attempt.__class__ is float:
                    await asyncio.sleep(attempt)
                    continue
                with attempt:
                    provider = attempt.provider
                    upstream = upstreams[provider]
                    exchange.attempts += 1
                    exchange.provider = provider
                    asked = perf_counter()
                    try:
                        with Cutoff(attempt):
                            async with upstream.session.post(
                                    upstream.base_url + suffix,
                                    data=splice_body(edits, model.targets[provider]),
                                    headers=upstream.plain_headers[attempt.key]) as reply:
                                data = await reply.read()
                    finally:
                        exchange.waited += perf_counter() - asked
                    status = reply.status
                    if not 200 <= status < 300:
                        exchange.upstream_error = (status, data, reply.headers)
                        attempt.check(status, reply.headers.get("retry-after"),
                                      data.decode("utf-8", "replace"))
                    usage = read_usage(data)
                    if usage is not None:
                        exchange.attempt = attempt
                        exchange.set_usage(usage)
                    # Served: the reply goes out before the attempt's bookkeeping.
                    response = web.Response(status=status, body=upstream.mask_bytes(data),
                                            headers=_reply_headers(exchange, upstream,
                                                                   reply.headers))
                    await send(request, response)
        except ProviderFailure as failure:
            return self._caller_error(exchange, failure)
        except AllProvidersFailed as failure:
            raise self._unavailable(failure, model) from None
        finally:
            steps.close()
        exchange.outcome = "success"
        return response

    async def _stream(self, request, exchange, model, edits, keep_usage, suffix, tokens):
        exchange.stream = True
        # `gateway.stream()` without hedging, written out: a task and two
        # generators fewer per request.
        response = None
        client_left = False
        steps = self.gateway.attempt_steps(self.config.deadline_s, tokens,
                                           providers=model.providers)
        try:
            try:
                for attempt in steps:
                    if attempt.__class__ is float:
                        await asyncio.sleep(attempt)
                        continue
                    with attempt:
                        events = await self._open_stream(attempt, exchange, model, edits,
                                                         keep_usage, suffix)
                        async for chunk in attempt.stream(events):
                            if response is None:
                                exchange.first_chunk_s = perf_counter() - exchange.started
                                response = await _sse_response(request, exchange)
                            written = perf_counter()
                            await response.write(chunk)
                            exchange.waited += perf_counter() - written
                        # The stream was served whole: its end goes out
                        # before the attempt's bookkeeping (see let_loop_write).
                        if response is None:   # an upstream that streamed nothing
                            response = await _sse_response(request, exchange)
                        try:
                            await response.write_eof()
                        except ConnectionResetError:
                            client_left = True
                        else:
                            await let_loop_write()
            finally:
                steps.close()
        except ConnectionResetError:   # the client left; the upstream is closed already
            client_left = True
        except StreamInterrupted as interrupted:
            exchange.outcome = "interrupted"
            await response.write(_error_event(interrupted))
            await response.write_eof()
            return response
        except ProviderFailure as failure:
            return self._caller_error(exchange, failure)
        except AllProvidersFailed as failure:
            raise self._unavailable(failure, model) from None
        if client_left:
            exchange.status = CLIENT_GONE
            exchange.outcome = "cancelled"
        else:
            exchange.outcome = "success"
        return response

    async def _open_stream(self, attempt, exchange, model, edits, keep_usage, suffix):
        """The upstream's events for this attempt, once it answered 2xx."""
        provider = attempt.provider
        upstream = self.upstreams[provider]
        exchange.attempts += 1
        exchange.provider = provider
        exchange.attempt = attempt
        asked = perf_counter()
        try:
            with Cutoff(attempt, first_chunk=True):
                reply = await upstream.session.post(
                    upstream.base_url + suffix, data=splice_body(edits, model.targets[provider]),
                    headers=upstream.stream_headers[attempt.key])
                if not 200 <= reply.status < 300:
                    try:
                        data = await reply.read()
                    finally:
                        reply.release()
                    exchange.upstream_error = (reply.status, data, reply.headers)
                    attempt.check(reply.status, reply.headers.get("retry-after"),
                                  data.decode("utf-8", "replace"))
        finally:
            exchange.waited += perf_counter() - asked
        return upstream_events(reply, exchange, keep_usage, upstream.key_bytes, upstream.mask)

    # ---- ends without an upstream reply ---------------------------------------
    def _caller_error(self, exchange, failure: ProviderFailure) -> web.Response:
        """An upstream said the request is wrong: its status and body, masked."""
        exchange.outcome = "client_error"
        if exchange.upstream_error is None:
            raise errors.internal()
        status, data, reply_headers = exchange.upstream_error
        upstream = self.upstreams[exchange.provider]
        return web.Response(status=status, body=upstream.mask_bytes(data),
                            headers=_reply_headers(exchange, upstream, reply_headers))

    def _unavailable(self, failure: AllProvidersFailed, model) -> errors.ApiError:
        error = errors.from_failure(failure, self.gateway.ready_in(model.providers))
        error.outcome = {504: "timeout", 503: "unavailable"}.get(error.status, "upstream_error")
        return error


def _asking_usage(body: bytes, model_end: int, at: int, end: int):
    """The edit that makes a streamed body ask upstream for a usage chunk
    (None when it asks already), and whether the client asked for it."""
    if at < 0:
        return (model_end, model_end, _ASK_USAGE), False
    try:
        options = json.loads(body[at:end])
        if isinstance(options, dict) and options.get("include_usage") is True:
            return None, True
        options = {**(options if isinstance(options, dict) else {}), "include_usage": True}
        text = json.dumps(options, ensure_ascii=False, separators=(",", ":")).encode()
    except RecursionError:
        raise errors.bad_request("`stream_options` is nested too deeply.",
                                 "invalid_stream_options") from None
    return (at, end, text), False


def _refused_body(fault: int) -> errors.ApiError:
    if fault == BODY_INVALID:
        return errors.bad_request("The request body is not valid JSON.", "invalid_json")
    if fault == BODY_NOT_OBJECT:
        return errors.bad_request("The request body must be a JSON object.", "invalid_json")
    return errors.bad_request("The request body names one of model, stream, stream_options, "
                              "max_tokens or max_completion_tokens more than once.",
                              "invalid_json")


async def _read_body(request: web.Request, limit: int) -> bytes:
    if request.content_length is not None and request.content_length > limit:
        raise errors.too_large(limit)
    try:
        # The app's client_max_size is limit + 1: aiohttp refuses at equality.
        return await request.read()
    except web.HTTPRequestEntityTooLarge:
        raise errors.too_large(limit) from None


async def _sse_response(request: web.Request, exchange) -> web.StreamResponse:
    """The stream's response, its headers sent: they name the provider that
    served the first chunk."""
    response = web.StreamResponse(headers=exchange.stream_headers())
    await response.prepare(request)
    return response


async def send(request: web.Request, response: web.StreamResponse) -> None:
    """Sends a whole response and lets the loop write it out. A client that
    left is no error here: the access log says what was answered, as it
    does when aiohttp's own finish meets a client gone."""
    try:
        await response.prepare(request)
        await response.write_eof()
    except ConnectionError:
        return
    await let_loop_write()


@types.coroutine
def let_loop_write():
    """Awaited, gives the event loop one turn, in which it writes out what
    was queued: uvloop writes what a callback queued only when the callback
    is over, so whatever runs in it after the reply's last bytes delays
    them. (asyncio.sleep(0) without its coroutine.)"""
    yield


def _reply_headers(exchange, upstream: _Upstream, reply_headers) -> dict:
    """A passed-back reply's headers: the exchange's, and the upstream's
    Content-Type as sent, its charset kept. (aiohttp's parsed content_type
    drops the parameters, and parsing costs 6 thousand instructions.)"""
    headers = exchange.headers()
    headers[_CONTENT_TYPE] = upstream.mask(
        reply_headers.get(_CONTENT_TYPE, "application/octet-stream"))
    return headers


def _error_event(interrupted: StreamInterrupted) -> bytes:
    error = {"message": f"The upstream stream failed after {interrupted.chunks} chunk(s) "
                        f"({interrupted.kind}).",
             "type": "upstream_error", "code": "stream_interrupted"}
    return b"data: " + json.dumps({"error": error}).encode() + b"\n\n"
