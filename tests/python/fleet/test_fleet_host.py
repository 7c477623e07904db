"""Fleet hosts that are host regions shared by several processes: one
syncer per host, taken over when it dies, and trips that reach every
process of every other host."""

import json
import os
import signal
import subprocess
import sys

import pytest

from redis_server import redis_server_fixture
from fleet_hosts import wait_for

# Processes and Redis outages: their native calls are the same the host tests make.
pytestmark = pytest.mark.pure_python


@pytest.fixture(scope="module")
def server(tmp_path_factory):
    yield from redis_server_fixture(tmp_path_factory)


class HostProcess:
    """One gateway process of a host region (fleet_hosts.py serve), asked
    for its state one line at a time; killed and reaped by the fixture."""

    def __init__(self, url, namespace, region_path):
        script = os.path.join(os.path.dirname(__file__), "fleet_hosts.py")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
        self.process = subprocess.Popen([sys.executable, script, "serve", url, namespace,
                                         region_path], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True, env=env)
        assert self.process.stdout.readline().strip() == "ready"

    def ask(self, command="state") -> dict:
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process.stdin.close()
        self.process.stdout.close()


@pytest.fixture
def host_processes(server, tmp_path):
    """Makes `count` processes on each of `hosts` regions, in a namespace of their own."""
    made, namespace = [], os.urandom(6).hex()

    def make(hosts, count):
        groups = [[HostProcess(server.url, namespace, str(tmp_path / f"host{h}"))
                   for _ in range(count)] for h in range(hosts)]
        made.extend(process for group in groups for process in group)
        return groups

    yield make
    for process in made:
        process.stop()


def syncers(group):
    return [process for process in group if process.ask()["syncer"]]


def test_one_syncer_per_host_and_another_takes_over_when_it_dies(host_processes):
    (group,) = host_processes(1, 3)
    wait_for(lambda: len(syncers(group)) == 1)
    (syncer,) = syncers(group)
    os.kill(syncer.process.pid, signal.SIGKILL)
    syncer.stop()
    rest = [process for process in group if process is not syncer]
    seconds = wait_for(lambda: len(syncers(rest)) == 1)
    print(f"took over in {seconds * 1000:.0f} ms")
    assert len(syncers(rest)) == 1


def test_a_trip_in_one_process_reaches_every_process_of_the_other_hosts(host_processes):
    groups = host_processes(3, 2)
    for group in groups:
        wait_for(lambda: len(syncers(group)) == 1)
    tripping = next(p for p in groups[0] if not p.ask()["syncer"])
    assert tripping.ask("fail")["breaker"] == "open"
    others = [process for group in groups for process in group]
    seconds = wait_for(lambda: all(p.ask()["breaker"] == "open" for p in others))
    print(f"trip reached 6 processes on 3 hosts in {seconds * 1000:.1f} ms")
