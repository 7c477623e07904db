"""The gateway's state shared by every worker process on one host.

`Gateway(..., shared=HostState("/dev/shm/my-proxy"))` keeps the gateway's whole
changing state (per provider its request and token buckets, breaker and router
posterior; per key its status, cool-down, counters and latency window) in a
shared-memory region at that path, so every worker process attached to it with
the same providers and keys obeys one rate limit, sees one breaker trip and one
key cool-down, and learns from everyone's outcomes.

The region is a file, created on first use with mode 0600 beside a key file
`<path>.key` (32 random bytes, mode 0600): keys are stored in the region only
as hashes keyed with it. Both outlive the processes, so a rolling restart of the
workers keeps limits, cool-downs and learning. A region is reused when it was
made for the same providers, keys and settings; otherwise, or with
`fresh=True`, it is rebuilt, but only while no live process has it attached
(a `ValueError` says so otherwise). To start fresh by hand, stop every worker
and delete the two files. A file that is not such a region is never
overwritten: attaching raises `ValueError` (or the `OSError` of opening it)
naming the path.
"""

from __future__ import annotations

import os

from velmorquist_proxy import _host

__all__ = ["HostState"]


def private_state(descriptions, router_config, clock=None, *, fleet=False):
    """The GatewayState (see _state.py) in this process's own memory: the
    default, `Gateway(..., shared=None)`. The same native state as a region's,
    so the policy exists once; a forked child gets its own copy. `fleet`:
    limits come from a fleet's leases (a FleetState's host). The native side
    reads each description's settings by name."""
    return _host.attach_private(descriptions, router_config, fleet=fleet, clock=clock)


class HostState:
    """Where a gateway keeps its state so that all processes on a host share it.

    `path`: the region file (on tmpfs such as /dev/shm for speed). `create`:
    make it when missing (else `FileNotFoundError`). `fresh`: start anew even
    when a usable region is there, provided no live process has it attached.
    Nothing is opened until a gateway attaches with its providers.
    """

    __slots__ = ("path", "create", "fresh")

    def __init__(self, path, *, create=True, fresh=False):
        self.path = os.fspath(path)
        self.create = bool(create)
        self.fresh = bool(fresh)

    def __repr__(self):
        return f"HostState({self.path!r}, create={self.create}, fresh={self.fresh})"

    def _attach(self, descriptions, router_config, clock=None, *, fleet=False):
        """The GatewayState (see _state.py) for these provider descriptions.

        Times come from the system-wide monotonic clock, which every process
        on the host reads alike, unless a test gives a `_host.ManualClock`.
        `fleet`: limits come from the fleet's leases (a FleetState's host)."""
        return _host.attach(self.path, self.create, self.fresh, descriptions, router_config,
                            fleet=fleet, clock=clock)
