"""`velmorquist-proxy serve --config FILE [--listen HOST:PORT] [--workers N]`."""

from __future__ import annotations

import argparse
import dataclasses
import sys

# A configuration that cannot be used, as for a command-line mistake.
EXIT_CONFIG = 2


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="velmorquist-proxy",
                                     description="An OpenAI-compatible LLM proxy.")
    commands = parser.add_subparsers(dest="command", required=True)
    serve = commands.add_parser("serve", help="run the proxy server")
    serve.add_argument("--config", required=True, help="the TOML configuration file")
    serve.add_argument("--listen", help="HOST:PORT, instead of server.listen")
    serve.add_argument("--workers", type=int, help="worker processes, instead of server.workers")
    arguments = parser.parse_args(argv)
    try:
        config = _config(arguments)
    except (ValueError, OSError) as error:
        sys.stderr.write(f"velmorquist-proxy: {_one_line(error)}\n")
        return EXIT_CONFIG
    from velmorquist_proxy.server.workers import serve as run
    return run(config)


def _config(arguments):
    from velmorquist_proxy.server.config import listen_address, load
    config = load(arguments.config)
    changes = {}
    if arguments.listen is not None:
        changes["host"], changes["port"] = listen_address(arguments.listen)
    if arguments.workers is not None:
        if not 1 <= arguments.workers <= 1024:
            raise ValueError("--workers: must be a whole number from 1 to 1024")
        changes["workers"] = arguments.workers
    return dataclasses.replace(config, **changes) if changes else config


def _one_line(error: BaseException) -> str:
    if isinstance(error, OSError) and error.filename is not None:
        return f"{error.filename}: {error.strerror}"
    return str(error).splitlines()[0] if str(error) else type(error).__name__
