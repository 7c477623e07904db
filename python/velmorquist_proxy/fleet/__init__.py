"""The fleet: gateway state shared by hosts through Redis.

`FleetState` is the public name (re-exported by the package); the modules
beside it are its parts: the state the gateway talks to, the syncer that
trades with Redis off the request path, the Redis names and the Lua scripts.
"""

from velmorquist_proxy.fleet.fleet_state import FleetState

__all__ = ["FleetState"]
