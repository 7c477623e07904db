"""The other processes of the server benchmark, each on a loopback port:

    python bench/server_parts.py upstream PORT
    python bench/server_parts.py relay PORT UPSTREAM_URL

`upstream` is the fake OpenAI-compatible API answering at once; `relay` is
the floor for any proxy on this stack: read the body, post it upstream on a
kept-alive session, pass the reply (or its stream) back."""

import asyncio
import signal
import sys

import aiohttp
from aiohttp import web


async def upstream(port: int) -> None:
    from velmorquist_proxy.server.fake_upstream import FakeUpstream
    fake = FakeUpstream()
    await fake.start(port)
    await _until_stopped()
    await fake.close()


async def relay(port: int, upstream_url: str) -> None:
    session = aiohttp.ClientSession(connector=aiohttp.TCPConnector(limit=0),
                                    auto_decompress=False)

    async def forward(request: web.Request) -> web.StreamResponse:
        body = await request.read()
        headers = {"authorization": request.headers.get("authorization", ""),
                   "content-type": "application/json"}
        async with session.post(upstream_url + request.path[3:], data=body,
                                headers=headers) as reply:
            if reply.content_type != "text/event-stream":
                return web.Response(status=reply.status, body=await reply.read(),
                                    content_type=reply.content_type)
            response = web.StreamResponse(headers={"content-type": "text/event-stream"})
            await response.prepare(request)
            async for chunk in reply.content.iter_any():
                await response.write(chunk)
            await response.write_eof()
            return response

    app = web.Application()
    app.router.add_post("/v1/chat/completions", forward)
    runner = web.AppRunner(app, access_log=None, handle_signals=False)
    await runner.setup()
    await web.TCPSite(runner, "127.0.0.1", port, backlog=1024).start()
    await _until_stopped()
    await runner.cleanup()
    await session.close()


async def _until_stopped() -> None:
    stop = asyncio.Event()
    loop = asyncio.get_running_loop()
    for number in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(number, stop.set)
    print("ready", flush=True)
    await stop.wait()


def main() -> None:
    import uvloop
    role, port, *rest = sys.argv[1:]
    if role == "upstream":
        uvloop.run(upstream(int(port)))
    else:
        uvloop.run(relay(int(port), rest[0]))


if __name__ == "__main__":
    main()
