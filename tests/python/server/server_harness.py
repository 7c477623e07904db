"""The proxy server on loopback for tests: in a thread of this process
(`ProxyInThread`), or as `velmorquist-proxy serve` in a child process."""

from __future__ import annotations

import asyncio
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from aiohttp import web

from velmorquist_proxy.server.app import make_app
from velmorquist_proxy.server.config import parse
from velmorquist_proxy.server.metrics import Metrics
from velmorquist_proxy.server.workers import make_gateway

KEYS = {"ALPHA_KEY_1": "sk-alpha-first-0123456789abcdef",
        "ALPHA_KEY_2": "sk-alpha-second-0123456789abcdef",
        "BETA_KEY_1": "sk-beta-only-0123456789abcdef",
        "PROXY_CLIENT_KEY": "client-key-0123456789",
        "PROXY_ADMIN_KEY": "admin-key-0123456789"}
SECRETS = tuple(KEYS.values())


def config_mapping(fake, **server) -> dict:
    """Two providers, each a script of `fake`; `chat` may use both (the
    router, without exploring, prefers alpha), `beta-only` beta alone. One
    round, no back-off, a breaker trips at the first failure."""
    breaker = {"failure_threshold": 1, "recovery_timeout_secs": 60.0}
    return {
        "server": {"client_keys_env": ["PROXY_CLIENT_KEY"], "admin_key_env": "PROXY_ADMIN_KEY",
                   **server},
        "retry": {"max_retries": 0},
        "router": {"explore_mode": False},
        "providers": [
            {"name": "alpha", "base_url": fake.url("alpha"),
             "keys_env": ["ALPHA_KEY_1", "ALPHA_KEY_2"], "breaker": breaker, "rate": False,
             "key_strategy": "round_robin", "profile": {"base_quality": 0.99}},
            {"name": "beta", "base_url": fake.url("beta"), "keys_env": ["BETA_KEY_1"],
             "breaker": breaker, "rate": False, "headers": {"x-extra": "yes"},
             "profile": {"base_quality": 0.5}},
        ],
        "models": [
            {"name": "chat", "route": [{"provider": "alpha", "model": "alpha-small"},
                                       {"provider": "beta", "model": "beta-mini"}]},
            {"name": "beta-only", "route": [{"provider": "beta", "model": "beta-mini"}]},
        ],
    }


class ProxyInThread:
    """`make_app` served from a thread and loop of its own."""

    def __init__(self, mapping: dict):
        self.config = parse(mapping)
        self.metrics = Metrics(self.config)
        self.gateway = make_gateway(self.config, None, self.metrics.on_event)
        self._loop = asyncio.new_event_loop()
        self._failure = None
        ready = threading.Event()
        self._thread = threading.Thread(target=self._serve, args=(ready,), daemon=True)
        self._thread.start()
        ready.wait()
        if self._failure is not None:
            self.gateway.close()
            raise self._failure
        self.url = f"http://127.0.0.1:{self.port}"

    def _serve(self, ready: threading.Event) -> None:
        asyncio.set_event_loop(self._loop)
        try:
            app = make_app(self.config, self.gateway, self.metrics)
            self._runner = web.AppRunner(app, access_log=None, handle_signals=False,
                                         handler_cancellation=True)
            self._loop.run_until_complete(self._runner.setup())
            site = web.TCPSite(self._runner, "127.0.0.1", 0)
            self._loop.run_until_complete(site.start())
            self.port = site._server.sockets[0].getsockname()[1]
        except BaseException as error:
            self._failure = error
            self._loop.close()
            return
        finally:
            ready.set()
        self._loop.run_forever()

    def settle(self) -> None:
        """Returns once the server's loop has run what it had scheduled: a
        request's bookkeeping (its access-log line, its metrics) runs in the
        loop's turn after the one that sent its reply."""
        asyncio.run_coroutine_threadsafe(asyncio.sleep(0), self._loop).result()

    def stop(self) -> None:
        asyncio.run_coroutine_threadsafe(self._runner.cleanup(), self._loop).result()
        self._loop.call_soon_threadsafe(self._loop.stop)
        self._thread.join()
        self._loop.close()
        self.gateway.close()


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class ProxyProcess:
    """`python -m velmorquist_proxy serve` in a child; always reaped."""

    def __init__(self, config_path, *arguments: str, workers: int = 1):
        self.port = free_port()
        env = {**os.environ, **KEYS}
        # A file, not a pipe: a pipe nobody reads fills up and stops the server.
        self._log = tempfile.NamedTemporaryFile("w+")
        self.process = subprocess.Popen(
            [sys.executable, "-m", "velmorquist_proxy", "serve", "--config", str(config_path),
             "--listen", f"127.0.0.1:{self.port}", "--workers", str(workers), *arguments],
            env=env, stderr=self._log)
        self.url = f"http://127.0.0.1:{self.port}"
        self._wait_listening(workers)

    def _wait_listening(self, workers: int) -> None:
        """Until every worker says it listens."""
        for _ in range(1200):
            if self.process.poll() is not None:
                raise AssertionError(f"the server exited: {self.finish()[1]}")
            with open(self._log.name) as log:
                if log.read().count(" listening on ") >= workers:
                    return
            time.sleep(0.05)
        raise AssertionError("the server did not start listening")

    def terminate(self) -> None:
        self.process.send_signal(signal.SIGTERM)

    def finish(self, timeout: float = 30.0) -> tuple[int, str]:
        """Waits for the exit (killing it past `timeout`); status and stderr."""
        try:
            self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self._log.seek(0)
        errors = self._log.read()
        self._log.close()
        return self.process.returncode, errors
