"""Names of everything a fleet keeps in Redis, and the keyed hashes in them.

Every key and the one channel start with `namespace + ":"`, so namespaces
never touch each other. Providers and API keys appear only as keyed hashes
(HMAC-SHA256 with the fleet's secret, truncated): hosts sharing the secret
agree on them, and someone reading Redis learns nothing about the keys.

Layout (P: provider hash, K: key hash):
    <ns>:hosts        zset  host id -> last heartbeat (server time, ms)
    <ns>:b:P:r        hash  request bucket {v: level, t: last refill (server time, µs)}
    <ns>:b:P:t        hash  token bucket, same fields
    <ns>:trip:P       str   the breaker's remaining open time in ms when written;
                            PX that long, so the entry lives exactly while it holds
    <ns>:cool:P:K     str   the key's remaining cool-down in ms when written, PX the same
    <ns>:exh:P:K      str   day on which the key was exhausted
    <ns>:dis:P:K      str   "1" while the key is disabled (24 h, refreshed), "0" for
                            24 h after a host enabled it again
    <ns>:learn:P      hash  {s, f}: the fleet's outcomes so far
    <ns>:check        str   a keyed hash of the namespace: hosts with another secret
                            are refused
    <ns>:conf         hash  P -> a hash of the provider's limits: hosts that
                            disagree are refused
    <ns>:events       channel of deadline changes

The values of trip, cool, exh and dis entries, and every message, carry an
HMAC under the secret (`value|mac`): only a host holding the secret can trip
a provider or switch a key, whoever else can write to Redis.
"""

from __future__ import annotations

import hmac
import os
import re
from hashlib import sha256

_NAMESPACE = re.compile(r"[A-Za-z0-9_.\-]{1,64}")


def check_namespace(namespace) -> str:
    if not isinstance(namespace, str) or not _NAMESPACE.fullmatch(namespace):
        raise ValueError("FleetState: namespace must be 1 to 64 characters from "
                         "A-Z, a-z, 0-9, '_', '.' and '-'")
    return namespace


def secret_bytes(secret) -> bytes:
    if isinstance(secret, str):
        secret = secret.encode()
    if not isinstance(secret, bytes) or len(secret) < 8:
        raise ValueError("FleetState: secret must be a str or bytes of at least 8 bytes")
    return secret


# Truncated MACs: 128 bits are beyond forging by trial through Redis.
_MAC_HEX = 32


def new_host_id() -> str:
    return os.urandom(8).hex()


class FleetNames:
    """Key and channel names of one namespace, for one provider list."""

    def __init__(self, namespace: str, secret: bytes, descriptions):
        self.hosts = f"{namespace}:hosts"
        self.channel = f"{namespace}:events"
        self.providers = [_digest(secret, b"provider", description.name, 12)
                          for description in descriptions]
        self.keys = [[_digest(secret, b"key", f"{description.name}\0{key}", 16)
                      for key in description.keys]
                     for description in descriptions]
        self._ns = self.namespace = namespace
        self._secret = secret
        self.provider_names = [description.name for description in descriptions]
        self.limits = [_digest(secret, b"limits", _limits_text(description), _MAC_HEX)
                       for description in descriptions]
        self.check = f"{namespace}:check"
        self.conf = f"{namespace}:conf"
        self.namespace_check = _digest(secret, b"namespace", namespace, _MAC_HEX)

    def bucket(self, p: int, kind: str) -> str:
        return f"{self._ns}:b:{self.providers[p]}:{kind}"

    def trip(self, p: int) -> str:
        return f"{self._ns}:trip:{self.providers[p]}"

    def key_entry(self, what: str, p: int, k: int) -> str:
        """`what` is "cool", "exh" or "dis"."""
        return f"{self._ns}:{what}:{self.providers[p]}:{self.keys[p][k]}"

    def learn(self, p: int) -> str:
        return f"{self._ns}:learn:{self.providers[p]}"

    # ---- signed values -----------------------------------------------------
    def signed(self, where: str, text: str) -> str:
        """`text|mac`: the MAC binds the text to `where` (an entry's name, or
        the channel), so a value copied elsewhere does not verify."""
        return f"{text}|{_digest(self._secret, where.encode(), text, _MAC_HEX)}"

    def verified(self, where: str, signed) -> str | None:
        """The text of a value `signed` for `where`, None when it is not one."""
        if isinstance(signed, bytes):
            try:
                signed = signed.decode()
            except UnicodeDecodeError:
                return None
        if not isinstance(signed, str):
            return None
        text, _, mac = signed.rpartition("|")
        expected = _digest(self._secret, where.encode(), text, _MAC_HEX)
        return text if hmac.compare_digest(mac.encode(), expected.encode()) else None


def _limits_text(description) -> str:
    """What hosts sharing a provider's buckets must agree on."""
    def limit(config):
        if config is None:
            return "-"
        return f"{config.max_calls}/{config.time_window_secs!r}/{config.burst_size}"
    return f"{limit(description.rate)} {limit(description.token_rate)}"


def _digest(secret: bytes, purpose: bytes, text: str, hex_chars: int) -> str:
    mac = hmac.new(secret, purpose + b"\0" + text.encode(), sha256)
    return mac.hexdigest()[:hex_chars]
