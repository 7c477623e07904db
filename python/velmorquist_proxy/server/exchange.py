"""What the server knows about one request: for its response headers, its
access-log line and its metrics. `Exchange` is native (see its docstring):
the request path makes one per request and reads it three times."""

from __future__ import annotations

import os
import sys

from velmorquist_proxy._host import Exchange, restart_request_ids

__all__ = ["Exchange", "write_log"]


def _restart_ids() -> None:
    # A random prefix per process: a forked worker must not repeat its
    # parent's ids.
    restart_request_ids(os.urandom(8))


_restart_ids()
os.register_at_fork(after_in_child=_restart_ids)


def write_log(line: str) -> None:
    sys.stderr.write(line + "\n")
