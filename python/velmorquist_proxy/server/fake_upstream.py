"""A fake OpenAI-compatible API on loopback, for the demo, the benchmark
and the tests. One server plays many providers: `/<provider>/v1/...`
behaves as that provider's script says:

    "ok"              answers (and streams) at once
    "slow:S"          streams with S seconds between chunks
    "late:S"          waits S seconds before answering (or the first chunk)
    "status:N"        answers HTTP N with an OpenAI-style error body
    "echo_key:N"      answers HTTP N with a body that quotes the key it got
    "cut:K"           streams K chunks, then drops the connection
    "stall:K:S"       streams K chunks, then nothing for S seconds
    "endless:N"       streams one event of N bytes that never ends
    "limited:P"       answers 429 (Retry-After: 1) with probability P, else "ok"

A script can be changed at any time (`scripts[provider] = ...`).
"""

from __future__ import annotations

import asyncio
import json
import random
import threading
from collections import Counter

from aiohttp import web

CHUNKS = 4
PROMPT_TOKENS = 11
COMPLETION_TOKENS = CHUNKS


class FakeUpstream:
    """The fake API; `start()` on a running loop, or `FakeUpstream.in_thread()`."""

    def __init__(self, compress: bool = False):
        # Compressing whole replies for a client that accepts it, as real
        # APIs do; off where the fake stands in a benchmark.
        self.compress = compress
        self.scripts: dict[str, str] = {}
        self.hits: Counter = Counter()
        self.gone: Counter = Counter()     # streams whose client left before the end
        self.last: dict[str, tuple] = {}   # provider -> (path, body, headers)
        self.port = 0
        self._runner = None
        self._loop = None
        self._thread = None

    def url(self, provider: str) -> str:
        return f"http://127.0.0.1:{self.port}/{provider}/v1"

    async def start(self, port: int = 0) -> None:
        app = web.Application()
        app.router.add_post("/{provider}/v1/{path:.*}", self._handle)
        self._runner = web.AppRunner(app, access_log=None, handle_signals=False)
        await self._runner.setup()
        site = web.TCPSite(self._runner, "127.0.0.1", port, backlog=1024)
        await site.start()
        self.port = site._server.sockets[0].getsockname()[1]

    async def close(self) -> None:
        await self._runner.cleanup()

    @classmethod
    def in_thread(cls, compress: bool = False) -> FakeUpstream:
        """Serving from a thread and loop of its own until `stop()`."""
        fake = cls(compress)
        fake._loop = asyncio.new_event_loop()
        ready = threading.Event()

        def serve():
            asyncio.set_event_loop(fake._loop)
            fake._loop.run_until_complete(fake.start())
            ready.set()
            fake._loop.run_forever()

        fake._thread = threading.Thread(target=serve, daemon=True)
        fake._thread.start()
        ready.wait()
        return fake

    def stop(self) -> None:
        asyncio.run_coroutine_threadsafe(self.close(), self._loop).result()
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join()
        self._loop.close()

    # ---- answering ---------------------------------------------------------
    async def _handle(self, request: web.Request) -> web.StreamResponse:
        reply = await self._answer(request)
        if self.compress and type(reply) is web.Response:   # streams went out already
            reply.enable_compression()
        return reply

    async def _answer(self, request: web.Request) -> web.StreamResponse:
        provider = request.match_info["provider"]
        path = request.match_info["path"]
        body = await request.read()
        self.hits[provider] += 1
        self.last[provider] = (path, body, request.headers)
        mode, *args = self.scripts.get(provider, "ok").split(":")
        if mode == "status":
            return _error(int(args[0]), "the fake upstream says no")
        if mode == "echo_key":
            key = request.headers.get("authorization", "")[7:]
            return _error(int(args[0]), f"Incorrect API key provided: {key}")
        if mode == "limited" and random.random() < float(args[0]):
            return _error(429, "rate limit reached for requests")
        if mode == "late":
            await asyncio.sleep(float(args[0]))
        try:
            payload = json.loads(body)
        except RecursionError:   # deeper than Python reads; the proxy passes it on
            payload = {}
        model = payload.get("model")
        if path == "embeddings":
            return web.json_response({
                "object": "list", "model": model,
                "data": [{"object": "embedding", "index": 0, "embedding": [0.0, 0.5, 1.0]}],
                "usage": {"prompt_tokens": PROMPT_TOKENS, "total_tokens": PROMPT_TOKENS}})
        if not payload.get("stream"):
            return web.json_response({
                "id": "cmpl-fake", "object": "chat.completion", "model": model,
                "choices": [{"index": 0, "finish_reason": "stop",
                             "message": {"role": "assistant", "content": "hello " * CHUNKS}}],
                "usage": _usage()})
        return await self._stream(request, provider, payload, mode, args)

    async def _stream(self, request, provider, payload, mode, args):
        reply = web.StreamResponse(headers={"content-type": "text/event-stream"})
        await reply.prepare(request)
        gap = float(args[0]) if mode == "slow" else 0.0
        usage = (payload.get("stream_options") or {}).get("include_usage") is True
        model = payload.get("model")
        if mode == "endless":
            await reply.write(b"data: " + b"x" * int(args[0]))
            await reply.write_eof()
            return reply
        chunk = {"id": "cmpl-fake", "object": "chat.completion.chunk", "model": model,
                 "choices": [{"index": 0, "delta": {"content": "hello "}}]}
        if usage:   # as OpenAI sends it before the usage chunk
            chunk["usage"] = None
        events = [_event(chunk)] * CHUNKS
        if usage:
            events.append(_event({"id": "cmpl-fake", "object": "chat.completion.chunk",
                                  "model": model, "choices": [], "usage": _usage()}))
        events.append(b"data: [DONE]\n\n")
        try:
            if mode in ("slow", "cut", "stall"):
                for n, event in enumerate(events):
                    if mode == "cut" and n == int(args[0]):
                        request.transport.close()
                        return reply
                    if mode == "stall" and n == int(args[0]):
                        await asyncio.sleep(float(args[1]))
                    if gap and n:
                        await asyncio.sleep(gap)
                    await reply.write(event)
            else:
                # One write: the benchmark's upstream shares the machine with
                # what it measures, so it should cost as little as it can.
                await reply.write(b"".join(events))
            await reply.write_eof()
        except (ConnectionResetError, asyncio.CancelledError):
            self.gone[provider] += 1
            raise
        return reply


def _event(data: dict) -> bytes:
    return b"data: " + json.dumps(data).encode() + b"\n\n"


def _usage() -> dict:
    # With the detail objects OpenAI's replies carry.
    return {"prompt_tokens": PROMPT_TOKENS, "completion_tokens": COMPLETION_TOKENS,
            "total_tokens": PROMPT_TOKENS + COMPLETION_TOKENS,
            "prompt_tokens_details": {"cached_tokens": 0},
            "completion_tokens_details": {"reasoning_tokens": 0}}


def _error(status: int, message: str) -> web.Response:
    kind = "rate_limit_error" if status == 429 else "invalid_request_error"
    headers = {"retry-after": "1"} if status == 429 else None
    return web.json_response({"error": {"message": message, "type": kind, "code": None}},
                             status=status, headers=headers)
