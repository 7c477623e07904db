"""What a gateway tells its `on_event` callback.

Kinds and their `detail`:

| kind               | detail |
|--------------------|--------|
| "attempt_failed"   | {"kind", "status", "message"} (message masked) |
| "breaker"          | {"state": "open", "half_open" or "closed"} |
| "breaker_reset"    | {} : an operator's `reset_breaker` |
| "trial"            | {} : a call that tests a recovering provider |
| "posterior_reset"  | {} : a recovered provider starts from the prior again |
| "key_cooled"       | {"cooldown_s"} |
| "key_disabled"     | {} |
| "key_enabled"      | {} : an operator's `enable_key`, or another host's |
| "key_exhausted"    | {"reason": "quota" or "daily_limit"} |
| "keys_reset"       | {"day"} : the daily reset made exhausted keys usable |
| "fallback"         | {"from": the provider of the previous attempt} |
| "retry_wait"       | {"round", "seconds"} : waiting before the next round |
| "request_failed"   | {"reason", "attempts"} |
| "state_file_lost"  | {} : the HostState file was removed or replaced while in use |
| "fleet_degraded"   | {"reason", "hosts"} : Redis stopped answering (hosts 0: not known) |
| "fleet_recovered"  | {"seconds"} : degraded that long |
| "stream_interrupted" | {"kind", "status", "chunks", "message"} : a stream failed after its first chunk |
| "hedge"            | {"from", "after_s"} : a second start beside a stream with no first chunk yet |

An event an operator caused carries "source": "operator" in its detail,
one another host of a fleet caused "source": "fleet".

A callback that raises never breaks a request: the exception is logged on
the logger "velmorquist_proxy" and the request goes on. Events of a request
come on its thread; those a fleet learned from Redis (and fleet_degraded,
fleet_recovered) on the thread "velmorquist-fleet-events", in order.
"""

from __future__ import annotations

import logging
from typing import NamedTuple

logger = logging.getLogger("velmorquist_proxy")


class GatewayEvent(NamedTuple):
    kind: str
    provider: str | None
    masked_key: str | None
    detail: dict


def dispatch(handler, event: GatewayEvent) -> None:
    try:
        handler(event)
    except Exception:
        logger.exception("on_event callback failed on a %r event", event.kind)
