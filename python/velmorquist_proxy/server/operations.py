"""Health, readiness, metrics and the operator's admin endpoints. Each
handler takes the request and its exchange (app.py)."""

from __future__ import annotations

import hmac

from aiohttp import web

from velmorquist_proxy.server import errors
from velmorquist_proxy.server.metrics import CONTENT_TYPE


class Operations:
    def __init__(self, gateway, metrics, admin_key: str | None):
        self.gateway = gateway
        self.metrics = metrics
        self._admin_key = admin_key

    async def healthz(self, request: web.Request, exchange) -> web.Response:
        return web.json_response({"status": "ok"})

    async def readyz(self, request: web.Request, exchange) -> web.Response:
        ready = self.gateway.ready_in() == 0.0
        return web.json_response({"status": "ready" if ready else "unavailable"},
                                 status=200 if ready else 503)

    async def metrics_text(self, request: web.Request, exchange) -> web.Response:
        return web.Response(body=self.metrics.render(), headers={"content-type": CONTENT_TYPE})

    # ---- admin -------------------------------------------------------------
    async def snapshot(self, request: web.Request, exchange) -> web.Response:
        self._admit(request)
        return web.json_response(self.gateway.snapshot())

    async def key_switch(self, request: web.Request, exchange) -> web.Response:
        self._admit(request)
        provider = request.match_info["provider"]
        index = request.match_info["index"]
        action = request.match_info["action"]
        if not index.isdigit():
            raise errors.bad_request("A key is addressed by its 0-based index.")
        switch = self.gateway.enable_key if action == "enable" else self.gateway.disable_key
        self._operate(switch, provider, int(index))
        return web.json_response({"provider": provider, "key": int(index),
                                  "status": f"{action}d"})

    async def breaker_reset(self, request: web.Request, exchange) -> web.Response:
        self._admit(request)
        provider = request.match_info["provider"]
        self._operate(self.gateway.reset_breaker, provider)
        return web.json_response({"provider": provider, "breaker": "closed"})

    def _admit(self, request: web.Request) -> None:
        if self._admin_key is None:
            raise errors.not_found(request.path)
        given = request.headers.get("authorization", "")
        expected = f"Bearer {self._admin_key}"
        if not hmac.compare_digest(given.encode(), expected.encode()):
            raise errors.unauthorized()

    @staticmethod
    def _operate(action, *arguments) -> None:
        try:
            action(*arguments)
        except ValueError as error:   # no such provider or key; the text is masked
            raise errors.ApiError(404, str(error), "invalid_request_error", "not_found") from None
