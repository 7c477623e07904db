"""A loopback upstream that streams server-sent events, with scripted faults.

Runs aiohttp's server on 127.0.0.1 in a thread of its own (so sync clients
can use it too). Each provider's requests play the script set for it:

    "ok"            EVENTS events, the last with a usage count
    "cut:K"         K events, then the connection is dropped mid-body
    "stall_mid:K:S" K events, nothing for S seconds, then the rest
    "status:N"      an HTTP N error before any event
    "bad:K"         event K (from 0) is not JSON
    "late:S"        headers, then nothing for S seconds, then the events
"""

from __future__ import annotations

import asyncio
import json
import threading
from collections import Counter

from aiohttp import web

EVENTS = 5
USAGE = 42
_GAP_S = 0.002


class SseServer:
    def __init__(self):
        self.scripts: dict[str, str] = {}
        self.hits: Counter = Counter()      # requests per provider
        self.gone: Counter = Counter()      # streams whose client left before their end
        self._run = 0   # streams of an earlier test that end late count for nobody
        self._loop = asyncio.new_event_loop()
        self._ready = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()
        self._ready.wait()

    def reset(self) -> None:
        """A new test: no scripts, no counts."""
        self._run += 1
        self.scripts.clear()
        self.hits.clear()
        self.gone.clear()

    def url(self, provider: str) -> str:
        return f"http://127.0.0.1:{self.port}/{self._run}/{provider}"

    def stop(self) -> None:
        asyncio.run_coroutine_threadsafe(self._runner.cleanup(), self._loop).result()
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join()
        self._loop.close()

    def _serve(self) -> None:
        asyncio.set_event_loop(self._loop)
        app = web.Application()
        app.router.add_get("/{run}/{provider}", self._handle)
        self._runner = web.AppRunner(app, access_log=None)
        self._loop.run_until_complete(self._runner.setup())
        site = web.TCPSite(self._runner, "127.0.0.1", 0)
        self._loop.run_until_complete(site.start())
        self.port = site._server.sockets[0].getsockname()[1]
        self._ready.set()
        self._loop.run_forever()

    async def _handle(self, request: web.Request) -> web.StreamResponse:
        provider = request.match_info["provider"]
        self.hits[self._name(request)] += 1
        mode, *args = self.scripts.get(provider, "ok").split(":")
        if mode == "status":
            return web.Response(status=int(args[0]), text="upstream says no")
        reply = web.StreamResponse(headers={"content-type": "text/event-stream"})
        await reply.prepare(request)
        try:
            if mode == "late":
                await _idle(request, float(args[0]))
            for n in range(EVENTS):
                if mode == "cut" and n == int(args[0]):
                    request.transport.close()   # no final chunk: the body is cut
                    return reply
                if mode == "stall_mid" and n == int(args[0]):
                    await _idle(request, float(args[1]))
                body = json.dumps({"n": n, "usage": USAGE if n == EVENTS - 1 else None})
                if mode == "bad" and n == int(args[0]):
                    body = "{not json"
                await reply.write(f"data: {body}\n\n".encode())
                await asyncio.sleep(_GAP_S)
            await reply.write_eof()
        except (ConnectionError, asyncio.CancelledError):
            self.gone[self._name(request)] += 1
        return reply

    def _name(self, request: web.Request) -> str:
        """The provider's name, or another test's name for it."""
        run, provider = request.match_info["run"], request.match_info["provider"]
        return provider if int(run) == self._run else f"{run}/{provider}"


async def _idle(request: web.Request, seconds: float) -> None:
    """Waits, noticing a client that leaves meanwhile."""
    loop = asyncio.get_running_loop()
    end = loop.time() + seconds
    while loop.time() < end:
        transport = request.transport
        if transport is None or transport.is_closing():
            raise ConnectionResetError("client left")
        await asyncio.sleep(0.005)
