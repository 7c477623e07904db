"""Running the server: one worker in this process, or N worker processes
on one port (SO_REUSEPORT) sharing one HostState region.

A worker stops accepting on SIGTERM or SIGINT, lets requests and streams in
flight finish for up to `grace_s`, and exits 0. The parent of N workers
passes those signals on, restarts a worker that dies on its own, and exits
0 once all have stopped."""

from __future__ import annotations

import asyncio
import dataclasses
import os
import shutil
import signal
import sys
import tempfile
import time

# A worker that dies within this long of its start is not restarted: it
# would only die again (a port taken, a bad region).
_MIN_LIFETIME_S = 5.0


def serve(config) -> int:
    """Runs until SIGTERM/SIGINT; the exit status."""
    if config.workers == 1:
        return run_worker(config, reuse_port=False, state_path=config.state, metrics_dir=None)
    return _supervise(config)


def run_worker(config, *, reuse_port: bool, state_path: str | None,
               metrics_dir: str | None) -> int:
    try:
        import uvloop
    except ImportError:
        uvloop = None
    if uvloop is not None:
        return uvloop.run(_worker(config, reuse_port, state_path, metrics_dir))
    return asyncio.run(_worker(config, reuse_port, state_path, metrics_dir))


def make_gateway(config, state_path: str | None, on_event):
    from velmorquist_proxy import Gateway, HostState
    shared = None if state_path is None else HostState(state_path)
    if config.fleet is not None:
        from velmorquist_proxy import FleetState
        shared = FleetState(config.fleet.url, namespace=config.fleet.namespace,
                            secret=config.fleet.secret, host=shared, degraded_start=True)
    return Gateway(list(config.providers), **config.gateway_options, shared=shared,
                   on_event=on_event)


async def _worker(config, reuse_port: bool, state_path: str | None,
                  metrics_dir: str | None) -> int:
    from aiohttp import web

    from velmorquist_proxy.server.app import make_app
    from velmorquist_proxy.server.metrics import Metrics

    metrics = Metrics(config, metrics_dir)
    gateway = make_gateway(config, state_path, metrics.on_event)
    try:
        app = make_app(config, gateway, metrics)
        runner = web.AppRunner(app, handle_signals=False, access_log=None,
                               handler_cancellation=True, shutdown_timeout=config.grace_s)
        await runner.setup()
        site = web.TCPSite(runner, config.host, config.port, reuse_port=reuse_port or None,
                           backlog=1024)
        await site.start()
        stop = asyncio.Event()
        loop = asyncio.get_running_loop()
        for number in (signal.SIGTERM, signal.SIGINT):
            loop.add_signal_handler(number, stop.set)
        _say(f"listening on {config.host}:{config.port} (pid {os.getpid()})")
        await stop.wait()
        _say(f"draining (pid {os.getpid()}, up to {config.grace_s:g} s)")
        await runner.cleanup()
    finally:
        gateway.close()
    return 0


def _supervise(config) -> int:
    """Forks the workers and keeps them running until told to stop."""
    scratch = tempfile.mkdtemp(prefix="velmorquist-server-")
    state_path = config.state or os.path.join(scratch, "state")
    metrics_dir = os.path.join(scratch, "metrics")   # each worker's counts
    os.mkdir(metrics_dir)
    # The region is made here, once, so workers starting together only attach.
    make_gateway(dataclasses.replace(config, fleet=None), state_path, None).close()
    stopping = False

    def stop(number, frame):
        nonlocal stopping
        stopping = True
        for pid in list(workers):
            _signal(pid, number)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    workers: dict[int, float] = {}
    try:
        for _ in range(config.workers):
            pid, started = _fork_worker(config, state_path, metrics_dir)
            workers[pid] = started
        status = 0
        while workers:
            try:
                pid, code = os.wait()
            except ChildProcessError:
                break
            except InterruptedError:
                continue
            started = workers.pop(pid, None)
            if started is None:
                continue
            code = os.waitstatus_to_exitcode(code)
            if stopping:
                status = status or (code if code > 0 else 0)
                continue
            if time.monotonic() - started < _MIN_LIFETIME_S:
                _say(f"worker {pid} exited with {code} at start; stopping")
                stop(signal.SIGTERM, None)
                status = 1
                continue
            _say(f"worker {pid} exited with {code}; starting another")
            pid, started = _fork_worker(config, state_path, metrics_dir)
            workers[pid] = started
        return status
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


def _fork_worker(config, state_path: str, metrics_dir: str) -> tuple[int, float]:
    started = time.monotonic()
    pid = os.fork()
    if pid:
        return pid, started
    code = 1
    try:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        code = run_worker(config, reuse_port=True, state_path=state_path,
                          metrics_dir=metrics_dir)
    except BaseException as error:   # a worker never returns into the parent's code
        _say(f"worker {os.getpid()} failed: {type(error).__name__}: {error}")
    finally:
        sys.stderr.flush()
        os._exit(code)


def _signal(pid: int, number: int) -> None:
    try:
        os.kill(pid, number)
    except ProcessLookupError:
        pass


def _say(text: str) -> None:
    sys.stderr.write(f"velmorquist-proxy: {text}\n")
    sys.stderr.flush()
