"""A redis-server of the test's own, on 127.0.0.1 and a free port."""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import time

import pytest


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


class RedisServer:
    """Started by `start`, stopped by its pid; `pause`, `kill` and `start`
    again act out an outage."""

    def __init__(self, directory, password: str | None = None):
        self.directory = str(directory)
        self.port = free_port()
        self.password = password
        self.process: subprocess.Popen | None = None

    @property
    def url(self) -> str:
        auth = f":{self.password}@" if self.password else ""
        return f"redis://{auth}127.0.0.1:{self.port}/0"

    def start(self) -> None:
        command = ["redis-server", "--port", str(self.port), "--bind", "127.0.0.1",
                   "--dir", self.directory, "--save", "", "--appendonly", "no",
                   "--protected-mode", "no", "--loglevel", "warning"]
        if self.password:
            command += ["--requirepass", self.password]
        self.process = subprocess.Popen(command, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.2):
                    return
            except OSError:
                time.sleep(0.02)
        raise RuntimeError("redis-server did not start")

    def pause(self) -> None:
        os.kill(self.process.pid, signal.SIGSTOP)

    def resume(self) -> None:
        os.kill(self.process.pid, signal.SIGCONT)

    def kill(self) -> None:
        if self.process is None:
            return
        os.kill(self.process.pid, signal.SIGCONT)
        os.kill(self.process.pid, signal.SIGKILL)
        self.process.wait()
        self.process = None

    def client(self):
        import redis
        return redis.Redis.from_url(self.url, socket_timeout=2)


def redis_server_fixture(tmp_path_factory, password=None):
    if shutil.which("redis-server") is None:
        pytest.skip("redis-server is not installed (make test installs it)")
    pytest.importorskip("redis")
    server = RedisServer(tmp_path_factory.mktemp("redis"), password)
    server.start()
    try:
        yield server
    finally:
        server.kill()
