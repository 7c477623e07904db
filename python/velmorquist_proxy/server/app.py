"""The aiohttp application: routes, what every request passes through
(request id, errors in OpenAI's shape, access log, metrics), and the
upstream sessions' lifetime."""

from __future__ import annotations

import asyncio
import logging

import aiohttp
from aiohttp import web

from velmorquist_proxy.server import errors
from velmorquist_proxy.server.exchange import Exchange, write_log
from velmorquist_proxy.server.metrics import Metrics
from velmorquist_proxy.server.operations import Operations
from velmorquist_proxy.server.routes import CLIENT_GONE, Proxy, send

logger = logging.getLogger("velmorquist_proxy.server")
# Upstream connections kept open per host: enough for a busy worker.
_CONNECTIONS_PER_HOST = 512
# The route that takes whatever the others do not.
_UNROUTED = web.AppKey("unrouted", web.AbstractResource)


def make_app(config, gateway, metrics: Metrics | None = None) -> web.Application:
    """The application over `gateway` (which the caller owns and closes)."""
    if metrics is None:
        metrics = Metrics(config)
    metrics.attach(gateway)
    proxy = Proxy(config, gateway)
    operations = Operations(gateway, metrics, config.admin_key)
    app = web.Application(client_max_size=config.max_body_bytes + 1)
    # Each handler is wrapped rather than given an aiohttp middleware: a
    # middleware costs every request two more coroutines and a cache lookup
    # (15 thousand instructions, as much as the metrics).
    exchanged = _exchanged(config, metrics)
    router = app.router
    for path in ("/v1/chat/completions", "/v1/completions", "/v1/embeddings"):
        router.add_post(path, exchanged(proxy.forward))
    router.add_get("/v1/models", exchanged(proxy.list_models))
    router.add_get("/healthz", exchanged(operations.healthz))
    router.add_get("/readyz", exchanged(operations.readyz))
    router.add_get("/metrics", exchanged(operations.metrics_text))
    router.add_get("/admin/snapshot", exchanged(operations.snapshot))
    router.add_post(r"/admin/providers/{provider}/keys/{index}/{action:enable|disable}",
                    exchanged(operations.key_switch))
    router.add_post("/admin/providers/{provider}/breaker/reset",
                    exchanged(operations.breaker_reset))
    # Last, so that it takes only what no route above does.
    app[_UNROUTED] = router.add_route("*", "/{path:.*}", exchanged(_unrouted)).resource

    async def upstream_sessions(app):
        proxy.open_sessions(aiohttp.TCPConnector(
            limit=0, limit_per_host=_CONNECTIONS_PER_HOST, ttl_dns_cache=300))
        yield
        await proxy.close_sessions()

    app.cleanup_ctx.append(upstream_sessions)
    return app


def _exchanged(config, metrics: Metrics):
    """Wraps a handler in what every request gets: its exchange (request id,
    headers, access-log line, metrics), which the handler is given with the
    request, the client key check on `/v1`, and errors in OpenAI's shape."""
    client_keys = config.client_keys

    def wrap(handler):
        async def exchanged(request: web.Request) -> web.StreamResponse:
            path = request.path
            exchange = Exchange(request.headers.get("x-request-id"), path)
            api = path.startswith("/v1/")
            try:
                try:
                    if api and client_keys and _bearer(request) not in client_keys:
                        raise errors.unauthorized()
                    response = await handler(request, exchange)
                    if not exchange.status:
                        exchange.status = response.status
                    if not api:
                        response.headers["x-request-id"] = exchange.request_id
                except errors.ApiError as error:
                    response = _error_response(exchange, error, api)
                except web.HTTPException as error:
                    if error.status == 404:
                        response = _error_response(exchange, errors.not_found(path), api)
                    else:
                        response = _error_response(exchange, errors.ApiError(
                            error.status, error.reason, "invalid_request_error", None), api)
                except asyncio.CancelledError:
                    exchange.status = CLIENT_GONE
                    exchange.outcome = "cancelled"
                    raise
                except Exception as error:
                    # Only the type: an exception's text might quote a header or a key.
                    logger.error("request %s failed: %s", exchange.request_id,
                                 type(error).__name__)
                    response = _error_response(exchange, errors.internal(), api)
                # Sent here rather than by aiohttp once this returns, and
                # written out before the bookkeeping below (handlers that
                # served a reply did both already).
                if not response.prepared:
                    await send(request, response)
                return response
            finally:
                if api:
                    metrics.request_done(exchange)
                write_log(exchange.log_line(request.method))

        return exchanged

    return wrap


async def _unrouted(request: web.Request, exchange) -> web.StreamResponse:
    """A path no route has (404), or a method its route does not take (405)."""
    rest = request.app[_UNROUTED]
    allowed: set = set()
    for resource in request.app.router.resources():
        if resource is not rest:
            allowed |= (await resource.resolve(request))[1]
    if allowed:
        raise errors.not_allowed(request.method, allowed)
    raise web.HTTPNotFound()


def _error_response(exchange: Exchange, error: errors.ApiError, api: bool) -> web.Response:
    exchange.status = error.status
    if exchange.outcome is None:
        exchange.outcome = getattr(error, "outcome", "rejected")
    headers = exchange.headers() if api else {"x-request-id": exchange.request_id}
    if error.retry_after is not None:
        headers["retry-after"] = str(error.retry_after)
    if error.allow is not None:
        headers["allow"] = error.allow
    return web.Response(status=error.status, body=error.body(),
                        content_type="application/json", headers=headers)


def _bearer(request: web.Request) -> str | None:
    value = request.headers.get("authorization")
    if value is None or not value.startswith("Bearer "):
        return None
    return value[7:].strip()
