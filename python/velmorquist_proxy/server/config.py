"""The server's configuration: the gateway's own fields, plus where each
provider lives, which models clients may ask for, and how to serve.

    [server]
    listen = "127.0.0.1:8080"
    workers = 1
    client_keys_env = ["PROXY_CLIENT_KEY_1"]   # none: no client auth
    admin_key_env = "PROXY_ADMIN_KEY"          # absent: no admin endpoints
    max_body_bytes = 4194304
    grace_s = 30.0
    state = "/dev/shm/velmorquist"            # HostState path
    [server.fleet]                             # FleetState across hosts
    url = "redis://127.0.0.1:6379/0"
    namespace = "prod"
    secret_env = "PROXY_FLEET_SECRET"

    [[providers]]                               # the gateway's fields, plus:
    base_url = "http://127.0.0.1:9001/v1"       # an OpenAI-compatible API
    headers = { "x-extra" = "..." }             # sent upstream

    [[models]]
    name = "chat-small"
    route = [{ provider = "alpha", model = "alpha-small" }]

A bad value raises one ValueError whose message starts with the field's
path (`server.listen`, `models[1].route[0].provider`), like the gateway's.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass

from velmorquist_proxy.config import gateway_arguments

_SERVER = ("listen", "workers", "client_keys_env", "admin_key_env", "max_body_bytes",
           "grace_s", "state", "fleet")
_FLEET = ("url", "namespace", "secret_env")
_MODEL = ("name", "route")
_ROUTE = ("provider", "model")
# Provider fields the gateway does not know: where the server sends calls.
_UPSTREAM = ("base_url", "headers")
DEFAULT_LISTEN = "127.0.0.1:8080"
DEFAULT_MAX_BODY = 4 * 1024 * 1024
DEFAULT_GRACE_S = 30.0
# A request without a deadline of its own still ends (a hung upstream).
DEFAULT_DEADLINE_S = 600.0


@dataclass(frozen=True, slots=True)
class Route:
    provider: str
    model: str


@dataclass(frozen=True, slots=True)
class Upstream:
    name: str
    base_url: str
    headers: tuple[tuple[str, str], ...]
    keys: tuple[str, ...]


@dataclass(frozen=True, slots=True)
class Fleet:
    url: str
    namespace: str
    secret: str


@dataclass(frozen=True, slots=True, repr=False)
class ServerConfig:
    host: str
    port: int
    workers: int
    client_keys: frozenset[str]
    admin_key: str | None
    max_body_bytes: int
    grace_s: float
    state: str | None
    fleet: Fleet | None
    upstreams: dict[str, Upstream]
    models: dict[str, tuple[Route, ...]]
    providers: tuple       # Provider objects and keyword arguments for Gateway
    gateway_options: dict
    deadline_s: float

    def __repr__(self) -> str:   # never the keys
        return (f"ServerConfig(listen='{self.host}:{self.port}', workers={self.workers}, "
                f"models={list(self.models)})")


def load(path) -> ServerConfig:
    import tomllib
    try:
        with open(path, "rb") as file:
            mapping = tomllib.load(file)
    except tomllib.TOMLDecodeError as error:
        raise ValueError(f"{path}: not valid TOML: {error}") from None
    return parse(mapping)


def parse(mapping) -> ServerConfig:
    if not isinstance(mapping, Mapping):
        raise ValueError("config: must be a table")
    server = mapping.get("server", {})
    _fields(server, "server", _SERVER)
    gateway = {field: value for field, value in mapping.items()
               if field not in ("server", "models")}
    providers = gateway.get("providers")
    upstream_fields = []
    if isinstance(providers, list):
        gateway["providers"] = [
            {f: v for f, v in entry.items() if f not in _UPSTREAM}
            if isinstance(entry, Mapping) else entry for entry in providers]
        upstream_fields = providers
    specs, arguments = gateway_arguments(gateway)
    upstreams = {}
    for i, (entry, provider) in enumerate(zip(upstream_fields, specs)):
        upstreams[provider.name] = _upstream(entry, f"providers[{i}]", provider.name,
                                             provider.keys)
    host, port = _listen(server.get("listen", DEFAULT_LISTEN), "server.listen")
    fleet = server.get("fleet")
    return ServerConfig(
        host=host, port=port,
        workers=_whole(server.get("workers", 1), "server.workers", 1, 1024),
        client_keys=frozenset(_env_list(server.get("client_keys_env", []),
                                        "server.client_keys_env")),
        admin_key=(None if "admin_key_env" not in server
                   else _env(server["admin_key_env"], "server.admin_key_env")),
        max_body_bytes=_whole(server.get("max_body_bytes", DEFAULT_MAX_BODY),
                              "server.max_body_bytes", 1, 2**40),
        grace_s=_seconds(server.get("grace_s", DEFAULT_GRACE_S), "server.grace_s"),
        state=None if "state" not in server else _text(server["state"], "server.state"),
        fleet=None if fleet is None else _fleet(fleet, "server.fleet"),
        upstreams=upstreams,
        models=_models(mapping.get("models"), upstreams),
        providers=tuple(specs),
        gateway_options=arguments,
        deadline_s=arguments.get("deadline_s", DEFAULT_DEADLINE_S),
    )


def _upstream(entry, path: str, name: str, keys) -> Upstream:
    if "base_url" not in entry:
        raise ValueError(f"{path}.base_url: missing")
    base_url = _text(entry["base_url"], f"{path}.base_url")
    if not base_url.startswith(("http://", "https://")):
        raise ValueError(f"{path}.base_url: must start with http:// or https://")
    headers = entry.get("headers", {})
    if not isinstance(headers, Mapping):
        raise ValueError(f"{path}.headers: must be a table of strings")
    pairs = []
    for header, value in headers.items():
        if not isinstance(value, str):
            raise ValueError(f"{path}.headers.{header}: must be a string")
        pairs.append((header, value))
    return Upstream(name, base_url.rstrip("/"), tuple(pairs), tuple(keys))


def _models(models, upstreams) -> dict[str, tuple[Route, ...]]:
    if models is None:
        raise ValueError("models: missing")
    if not isinstance(models, list) or not models:
        raise ValueError("models: must be a non-empty list")
    result = {}
    for i, entry in enumerate(models):
        path = f"models[{i}]"
        _fields(entry, path, _MODEL)
        if "name" not in entry:
            raise ValueError(f"{path}.name: missing")
        name = _text(entry["name"], f"{path}.name")
        if name in result:
            raise ValueError(f"{path}.name: {name!r} is listed twice")
        route = entry.get("route")
        if not isinstance(route, list) or not route:
            raise ValueError(f"{path}.route: must be a non-empty list")
        steps = []
        for j, step in enumerate(route):
            where = f"{path}.route[{j}]"
            _fields(step, where, _ROUTE)
            for field in _ROUTE:
                if field not in step:
                    raise ValueError(f"{where}.{field}: missing")
            provider = _text(step["provider"], f"{where}.provider")
            if provider not in upstreams:
                raise ValueError(f"{where}.provider: no provider named {provider!r}")
            if any(s.provider == provider for s in steps):
                raise ValueError(f"{where}.provider: {provider!r} is already in this route")
            steps.append(Route(provider, _text(step["model"], f"{where}.model")))
        result[name] = tuple(steps)
    return result


def _fleet(section, path: str) -> Fleet:
    _fields(section, path, _FLEET)
    for field in _FLEET:
        if field not in section:
            raise ValueError(f"{path}.{field}: missing")
    return Fleet(_text(section["url"], f"{path}.url"),
                 _text(section["namespace"], f"{path}.namespace"),
                 _env(section["secret_env"], f"{path}.secret_env"))


def _listen(value, path: str) -> tuple[str, int]:
    text = _text(value, path)
    host, sep, port = text.rpartition(":")
    if not sep or not host or not port.isdigit() or not 0 <= int(port) <= 65535:
        raise ValueError(f"{path}: must be HOST:PORT, such as \"127.0.0.1:8080\"")
    return host.strip("[]"), int(port)


def listen_address(text: str) -> tuple[str, int]:
    """HOST:PORT from the command line, checked like `server.listen`."""
    return _listen(text, "--listen")


def _env_list(values, path: str) -> list[str]:
    if not isinstance(values, list):
        raise ValueError(f"{path}: must be a list of environment variable names")
    return [_env(value, f"{path}[{i}]") for i, value in enumerate(values)]


def _env(variable, path: str) -> str:
    name = _text(variable, path)
    value = os.environ.get(name, "").strip()
    if not value:
        raise ValueError(f"{path}: environment variable {name} is not set")
    return value


def _fields(section, path: str, allowed) -> None:
    if not isinstance(section, Mapping):
        raise ValueError(f"{path}: must be a table")
    for field in section:
        if field not in allowed:
            raise ValueError(f"{path}.{field}: unknown field")


def _text(value, path: str) -> str:
    if not isinstance(value, str) or not value:
        raise ValueError(f"{path}: must be a non-empty string")
    return value


def _whole(value, path: str, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
        raise ValueError(f"{path}: must be a whole number from {low} to {high}")
    return value


def _seconds(value, path: str) -> float:
    if (isinstance(value, bool) or not isinstance(value, (int, float))
            or not 0 <= value < float("inf")):
        raise ValueError(f"{path}: must be a finite number of seconds, at least 0")
    return float(value)
