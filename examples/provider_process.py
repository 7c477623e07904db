"""The fake providers in a process of their own.

In the proxy's process they would compete with it for the interpreter's
lock, and the proxy's overhead would measure the simulation as much as the
proxy. The child serves until its standard input closes; `stop` closes it
and reaps the child.
"""

import dataclasses
import json
import pathlib
import subprocess
import sys

from fake_providers import LOOPBACK, outage_span

SCRIPT = pathlib.Path(__file__).with_name("fake_providers.py")
STOP_TIMEOUT_S = 10.0


@dataclasses.dataclass(frozen=True)
class RemoteProvider:
    """What the parent knows of one provider served by the child."""

    traits: object
    keys: tuple
    address: tuple
    down_from: int | None
    down_until: int | None

    @property
    def url(self):
        host, port = self.address
        return f"http://{host}:{port}/v1/chat/completions"


class ProviderProcess:
    """Starts the child on entry, stops and reaps it on exit."""

    def __init__(self, traits_and_keys, *, seed, total_requests, speed, hang_s):
        self._traits_and_keys = [(traits, tuple(keys)) for traits, keys in traits_and_keys]
        self._setup = {"seed": seed, "total_requests": total_requests, "speed": speed,
                       "hang_s": hang_s,
                       "providers": [{"traits": dataclasses.asdict(traits), "keys": list(keys)}
                                     for traits, keys in self._traits_and_keys]}
        self._total = total_requests
        self._child = None
        self.providers = []

    def __enter__(self):
        self._child = subprocess.Popen(
            [sys.executable, str(SCRIPT), json.dumps(self._setup)],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            addresses = json.loads(self._child.stdout.readline())
        except ValueError:
            self._stop()
            raise RuntimeError("the fake providers did not start") from None
        for traits, keys in self._traits_and_keys:
            host, port = addresses[traits.name]
            assert host == LOOPBACK, host
            self.providers.append(RemoteProvider(traits, keys, (host, port),
                                                 *outage_span(traits, self._total)))
        return self

    def __exit__(self, *exc_info):
        self._stop()
        return False

    def _stop(self):
        child = self._child
        child.stdin.close()
        try:
            child.wait(timeout=STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            child.kill()
            child.wait()
        child.stdout.close()
