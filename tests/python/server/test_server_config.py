"""The server's configuration: each bad field is named, and `serve` exits 2
with one line."""

import copy
import subprocess
import sys

import pytest

from server_harness import KEYS, config_mapping
from velmorquist_proxy.server.config import parse

pytestmark = pytest.mark.pure_python


class _Urls:
    def url(self, provider):
        return f"http://127.0.0.1:9/{provider}/v1"


def _set(mapping, path, value):
    *parents, last = path
    for step in parents:
        mapping = mapping[step]
    if value is KeyError:
        del mapping[last]
    else:
        mapping[last] = value


@pytest.mark.parametrize("path, value, message", [
    (("server", "listen"), "8080", "server.listen: must be HOST:PORT"),
    (("server", "listen"), "host:99999", "server.listen: must be HOST:PORT"),
    (("server", "workers"), 0, "server.workers: must be a whole number"),
    (("server", "client_keys_env"), ["UNSET_VARIABLE"],
     "server.client_keys_env[0]: environment variable UNSET_VARIABLE is not set"),
    (("server", "admin_key_env"), "UNSET_VARIABLE", "server.admin_key_env: environment"),
    (("server", "max_body_bytes"), 0, "server.max_body_bytes: must be a whole number"),
    (("server", "grace_s"), -1, "server.grace_s: must be a finite number"),
    (("server", "colour"), "blue", "server.colour: unknown field"),
    (("server", "fleet"), {"url": "redis://x"}, "server.fleet.namespace: missing"),
    (("providers", 1, "base_url"), "ftp://x", "providers[1].base_url: must start with"),
    (("providers", 0, "base_url"), KeyError, "providers[0].base_url: missing"),
    (("providers", 0, "headers"), {"x": 1}, "providers[0].headers.x: must be a string"),
    (("providers", 1, "rate"), {"max_calls": 0}, "providers[1].rate.max_calls"),
    (("models",), [], "models: must be a non-empty list"),
    (("models", 1, "route", 0, "provider"), "gamma",
     "models[1].route[0].provider: no provider named 'gamma'"),
    (("models", 1, "route", 0, "model"), KeyError, "models[1].route[0].model: missing"),
    (("models", 1, "name"), "chat", "models[1].name: 'chat' is listed twice"),
])
def test_a_bad_field_is_named(monkeypatch, path, value, message):
    for name, key in KEYS.items():
        monkeypatch.setenv(name, key)
    mapping = copy.deepcopy(config_mapping(_Urls()))
    _set(mapping, path, value)
    with pytest.raises(ValueError) as error:
        parse(mapping)
    assert str(error.value).startswith(message)


def test_serve_with_a_bad_config_exits_2_with_one_line(tmp_path):
    config = tmp_path / "proxy.toml"
    config.write_text('[server]\nlisten = "nowhere"\n[[providers]]\nname = "a"\nkeys = ["k"]\n'
                      'base_url = "http://127.0.0.1:9/v1"\n[[models]]\nname = "m"\n'
                      'route = [{ provider = "a", model = "m" }]\n')
    done = subprocess.run([sys.executable, "-m", "velmorquist_proxy", "serve", "--config",
                           str(config)], capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    assert done.stderr.splitlines() == [
        'velmorquist-proxy: server.listen: must be HOST:PORT, such as "127.0.0.1:8080"']
