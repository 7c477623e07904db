"""Limits, trips, cool-downs and learning shared by a fleet of hosts, on Redis.

    gateway = Gateway(providers, shared=FleetState(
        "redis://:password@10.0.0.5:6379/0", namespace="prod", secret=os.environ["FLEET_SECRET"]))

A host is one process (`host=None`: its state is a region in private
memory) or one `HostState` region shared by the host's worker processes
(`host=HostState(path)`: one lease pool, one set of trips and cool-downs and
one syncer for all of them). Both run the same code over the same native
state; a one-process host simply always holds its syncer lock. The request
path never waits on Redis: each host enforces limits from leases it holds in
its region, and a background syncer (`fleet/syncer.py`) trades with Redis
off that path.

Rate limits. Each limit (`rate`, `token_rate`) is one token bucket in Redis,
refilled by the server's clock. A host leases about 1.5 s of its recent
demand (at least its largest single ask, at most the bucket divided by the
live hosts) and hands back what it leaves unused. The bound: over any
window, the fleet's admitted calls number at most the bucket's limit for
that window (burst + rate x length) plus the tokens leased and not yet spent
or handed back at the window's start. It holds while Redis answers; while a
host is degraded it admits its share (limit and burst / live hosts) on its
own, so a partition can admit up to one share per host beyond the fleet
bucket, and a restarted Redis starts its buckets full.

Trips and keys. A breaker that opens, and a key that cools down (Retry-After),
is exhausted or is disabled, becomes a deadline in Redis (merged by max) and
a message to every host, which applies it at once (a poll every second
catches what a host missed). Exhaustion lasts until the next daily reset;
disablement 24 h, refreshed while any host holds the key disabled, until a
host enables it again.

Learning. Every second each host adds its outcomes to the fleet's counts and
feeds the other hosts' new outcomes to its own router, as if it had seen
them, so every host learns from every call (older ones decay as usual).

Redis down, slow or restarted: after a second without an answer the host
says so (`fleet_degraded` event, `snapshot()["fleet"]["degraded"]`), admits
its share and keeps its own trips; it retries with back-off (at most 5 s
apart), tells Redis again what it holds when it is back and leaves the
degraded mode (`fleet_recovered`). A host that has never heard from the
fleet does not know its share: it admits each limit / `expected_hosts`
when given, else / the host count its HostState region remembers, else
nothing on limited providers until Redis answers.

Hosts of one namespace must agree: a host whose secret or limits differ
from those of the hosts already there is refused (`ValueError`).

Redis holds no API key and no secret: providers and keys appear as keyed
hashes (HMAC-SHA256 with `secret`), every name starts with `namespace:`,
and every key has a TTL.
"""

from __future__ import annotations

import threading
import weakref

from velmorquist_proxy.fleet.gateway_state import FleetGatewayState
from velmorquist_proxy.fleet.names import FleetNames, check_namespace, new_host_id, secret_bytes
from velmorquist_proxy.fleet.scripts import Scripts
from velmorquist_proxy.fleet.syncer import HOST_ALIVE_MS, HOSTS_TTL_MS, FleetMismatch, Syncer
from velmorquist_proxy.fleet.syncer_lock import PrivateLock, SyncerLock
from velmorquist_proxy.host_state import private_state

# Every Redis call gives up after this long; the syncer then backs off.
SOCKET_TIMEOUT_S = 0.5
START_UP_TRIES = 3


class FleetState:
    """The gateway state of one host of a fleet (see the module docstring).

    Raises at once `ValueError` for a malformed URL, `PermissionError` when
    Redis refuses the credentials, and `ConnectionError` when it cannot be
    reached, unless `degraded_start=True` (the host then starts on its share
    and joins when Redis answers). `expected_hosts`: the fleet's size to
    assume until Redis first answers. The gateway's construction raises
    `ValueError` when the namespace's hosts have another secret or other
    limits for a provider.
    """

    def __init__(self, url: str, *, namespace: str, secret: str | bytes, host=None,
                 degraded_start: bool = False, expected_hosts: int | None = None):
        if expected_hosts is not None and (isinstance(expected_hosts, bool)
                                           or not isinstance(expected_hosts, int)
                                           or not 1 <= expected_hosts <= 0xFFFFFFFF):
            raise ValueError("FleetState: expected_hosts must be None or a whole number "
                             "of hosts, at least 1")
        self._expected_hosts = expected_hosts
        self._namespace = check_namespace(namespace)
        self._secret = secret_bytes(secret)
        self._host = host
        self._host_id = new_host_id()
        self._client = _client(url)
        self._scripts = Scripts(self._client)
        self._state: FleetGatewayState | None = None
        self._stop = None
        self._lock = threading.Lock()
        self._reachable = _check(self._client, degraded_start)
        # A host region's syncer announces the host; its other processes never do.
        if self._reachable and host is None:
            self._scripts.heartbeat(keys=[f"{self._namespace}:hosts"],
                                    args=[self._host_id, HOST_ALIVE_MS, HOSTS_TTL_MS])

    @property
    def degraded(self) -> bool:
        """True while this host runs on its share because Redis does not answer."""
        state = self._state
        if state is None:
            return not self._reachable
        return state.snapshot_fields()["fleet"]["degraded"]

    def _attach(self, descriptions, router_config, clock=None):
        with self._lock:
            if self._state is not None:
                raise RuntimeError("FleetState: already attached to a gateway; "
                                   "make one FleetState per gateway")
            if self._host is None:
                region = private_state(descriptions, router_config, clock, fleet=True)
                lock = PrivateLock()
            else:
                region = self._host._attach(descriptions, router_config, clock, fleet=True)
                lock = SyncerLock(self._host.path)
            names = FleetNames(self._namespace, self._secret, descriptions)
            state = FleetGatewayState(region, descriptions, lock, clock)
            syncer = Syncer(self._client, self._scripts, names, state, self._host_id,
                            router_config.decay_factor, lock, clock)
            degraded = not self._reachable
            if not degraded:
                try:
                    syncer.first_round()
                except FleetMismatch:
                    lock.release()
                    region.close()
                    raise
                except Exception:
                    degraded = True
            if degraded and self._expected_hosts is not None:
                region.fleet_set_hosts(self._expected_hosts)
            syncer.start(degraded)
            # The threads are daemons and keep the state alive while they
            # run: this stops them on close() or at exit, handing leases back.
            self._stop = weakref.finalize(state, syncer.stop)
            state.stop_syncer = self._stop
            self._state = state
            return state

    def close(self) -> None:
        """Stops the syncer and hands back unused leases (the gateway's
        `close()` does this too)."""
        if self._stop is not None:
            self._stop()

    def __repr__(self) -> str:
        return (f"FleetState(namespace={self._namespace!r}, host={self._host_id}, "
                f"degraded={self.degraded})")


def _client(url):
    import redis
    from redis.backoff import NoBackoff
    from redis.retry import Retry

    if not isinstance(url, str):
        raise TypeError("FleetState: url must be a str")
    try:
        return redis.Redis.from_url(
            url, socket_timeout=SOCKET_TIMEOUT_S, socket_connect_timeout=SOCKET_TIMEOUT_S,
            retry=Retry(NoBackoff(), 0), health_check_interval=0)
    except (ValueError, TypeError):
        # The URL may hold a password: it stays out of the message.
        raise ValueError("FleetState: malformed Redis URL; expected "
                         "redis://[[user]:password@]host[:port][/db], rediss://... "
                         "or unix://path") from None


def _check(client, degraded_start: bool) -> bool:
    """Connects (and authenticates); True when Redis answered."""
    from redis.exceptions import AuthenticationError, AuthorizationError, NoPermissionError
    from redis.exceptions import ConnectionError as RedisConnectionError
    from redis.exceptions import RedisError

    where = _where(client)
    try:
        _ping(client)
        return True
    except (AuthenticationError, AuthorizationError, NoPermissionError):
        raise PermissionError(f"FleetState: Redis at {where} refused the credentials "
                              "given in the URL") from None
    except (RedisConnectionError, RedisError, OSError) as error:
        if degraded_start:
            return False
        raise ConnectionError(f"FleetState: cannot reach Redis at {where} "
                              f"({type(error).__name__}); pass degraded_start=True "
                              "to start on this host's share instead") from None


def _ping(client) -> None:
    """A server that answers slowly (a loaded machine) gets a few chances
    before start-up calls it unreachable; a refused connection fails at once."""
    from redis.exceptions import TimeoutError as RedisTimeoutError

    for _ in range(START_UP_TRIES - 1):
        try:
            client.ping()
            return
        except RedisTimeoutError:
            continue
    client.ping()


def _where(client) -> str:
    kwargs = client.connection_pool.connection_kwargs
    if "path" in kwargs:
        return kwargs["path"]
    return f"{kwargs.get('host', 'localhost')}:{kwargs.get('port', 6379)}"
