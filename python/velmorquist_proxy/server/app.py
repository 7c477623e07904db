"""The aiohttp application: routes, the middleware every request passes
(request id, errors in OpenAI's shape, access log, metrics), and the
upstream session's lifetime."""

from __future__ import annotations

import asyncio
import logging

import aiohttp
from aiohttp import web

from velmorquist_proxy.server import errors
from velmorquist_proxy.server.exchange import Exchange, write_log
from velmorquist_proxy.server.metrics import Metrics
from velmorquist_proxy.server.operations import Operations
from velmorquist_proxy.server.routes import CLIENT_GONE, Proxy

logger = logging.getLogger("velmorquist_proxy.server")
# Upstream connections kept open per host: enough for a busy worker.
_CONNECTIONS_PER_HOST = 512


def make_app(config, gateway, metrics: Metrics | None = None) -> web.Application:
    """The application over `gateway` (which the caller owns and closes)."""
    if metrics is None:
        metrics = Metrics(config)
    metrics.attach(gateway)
    proxy = Proxy(config, gateway)
    operations = Operations(gateway, metrics, config.admin_key)
    app = web.Application(middlewares=[_exchange_middleware(config, metrics)],
                          client_max_size=config.max_body_bytes + 1)
    for path in ("/v1/chat/completions", "/v1/completions", "/v1/embeddings"):
        app.router.add_post(path, proxy.forward)
    app.router.add_get("/v1/models", proxy.list_models)
    app.router.add_get("/healthz", operations.healthz)
    app.router.add_get("/readyz", operations.readyz)
    app.router.add_get("/metrics", operations.metrics_text)
    app.router.add_get("/admin/snapshot", operations.snapshot)
    app.router.add_post(r"/admin/providers/{provider}/keys/{index}/{action:enable|disable}",
                        operations.key_switch)
    app.router.add_post("/admin/providers/{provider}/breaker/reset", operations.breaker_reset)

    async def upstream_session(app):
        connector = aiohttp.TCPConnector(limit=0, limit_per_host=_CONNECTIONS_PER_HOST,
                                         ttl_dns_cache=300)
        proxy.session = aiohttp.ClientSession(connector=connector, auto_decompress=False)
        yield
        await proxy.session.close()

    app.cleanup_ctx.append(upstream_session)
    return app


def _exchange_middleware(config, metrics: Metrics):
    client_keys = config.client_keys

    @web.middleware
    async def middleware(request: web.Request, handler):
        path = request.path
        exchange = Exchange(request.headers.get("x-request-id"), path)
        request["exchange"] = exchange
        api = path.startswith("/v1/")
        try:
            if api and client_keys and _bearer(request) not in client_keys:
                raise errors.unauthorized()
            response = await handler(request)
            if not exchange.status:
                exchange.status = response.status
            if not api:
                response.headers["x-request-id"] = exchange.request_id
            return response
        except errors.ApiError as error:
            return _error_response(exchange, error, api)
        except web.HTTPException as error:
            if error.status == 404:
                return _error_response(exchange, errors.not_found(path), api)
            return _error_response(exchange, errors.ApiError(
                error.status, error.reason, "invalid_request_error", None), api)
        except asyncio.CancelledError:
            exchange.status = CLIENT_GONE
            exchange.outcome = "cancelled"
            raise
        except Exception as error:
            # Only the type: an exception's text might quote a header or a key.
            logger.error("request %s failed: %s", exchange.request_id, type(error).__name__)
            return _error_response(exchange, errors.internal(), api)
        finally:
            if api:
                metrics.request_done(exchange)
            write_log(exchange.log_line(request.method))

    return middleware


def _error_response(exchange: Exchange, error: errors.ApiError, api: bool) -> web.Response:
    exchange.status = error.status
    if exchange.outcome is None:
        exchange.outcome = getattr(error, "outcome", "rejected")
    headers = exchange.headers() if api else {"x-request-id": exchange.request_id}
    if error.retry_after is not None:
        headers["retry-after"] = str(error.retry_after)
    return web.Response(status=error.status, body=error.body(),
                        content_type="application/json", headers=headers)


def _bearer(request: web.Request) -> str | None:
    value = request.headers.get("authorization")
    if value is None or not value.startswith("Bearer "):
        return None
    return value[7:].strip()
