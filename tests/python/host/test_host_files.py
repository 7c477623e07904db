"""The files beside a region: what is refused, and what each refusal names."""

import os
import pathlib
import subprocess
import sys

import pytest
from test_host_state import attach

PLANTS = {
    "fifo": lambda path: os.mkfifo(path),
    "symlink": lambda path: os.symlink("/etc/hostname", path),
    "short": lambda path: pathlib.Path(path).write_bytes(b"k" * 31),
    "directory": lambda path: os.mkdir(path),
    "readable": lambda path: (pathlib.Path(path).write_bytes(b"k" * 32), os.chmod(path, 0o644)),
}


@pytest.fixture
def region(tmp_path):
    return str(tmp_path / "region")


@pytest.mark.parametrize("plant, reason", [
    ("fifo", "not a regular file"), ("symlink", "a symbolic link"), ("short", "31 bytes"),
    ("directory", "not a regular file"), ("readable", "readable by other users"),
])
def test_a_bad_key_file_is_refused_by_name_and_left_alone(region, plant, reason):
    PLANTS[plant](region + ".key")
    with pytest.raises(ValueError, match=f"'{region}.key' is .*{reason}"):
        attach(region)
    assert not os.path.exists(region)


@pytest.mark.parametrize("change, reason", [
    (lambda path: os.chmod(path, 0o666), "writable by other users"),
    (lambda path: os.chown(path, 65534, -1), "owned by another user"),
])
def test_a_region_others_could_write_is_refused(region, change, reason):
    if reason.startswith("owned") and os.geteuid() != 0:
        pytest.skip("giving a file away needs root")
    attach(region).close()
    change(region)
    with pytest.raises(ValueError, match=reason):
        attach(region)


def test_a_refused_path_gets_no_key_file_beside_it(region):
    os.mkdir(region)
    with pytest.raises(OSError):
        attach(region)
    assert not os.path.exists(region + ".key")


def test_a_nul_in_the_path_is_refused(tmp_path):
    with pytest.raises(ValueError, match="NUL"):
        attach(str(tmp_path / "region\0other"))
    assert os.listdir(tmp_path) == []


def test_a_replaced_key_file_is_named_as_the_cause(region):
    live = attach(region)
    os.unlink(region + ".key")
    with pytest.raises(ValueError, match=r"another key file: .*region\.key' was replaced"):
        attach(region)
    live.close()


def test_a_region_that_cannot_get_its_space_fails_cleanly(tmp_path):
    """The file size limit stands in for a full filesystem: the space is
    reserved before the region is written, and nothing is left behind."""
    script = (
        "import resource, signal, sys\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (1024, 1024))\n"
        "sys.path[:0] = sys.argv[2:]\n"
        "from test_host_state import attach\n"
        "try:\n"
        "    attach(sys.argv[1])\n"
        "except OSError as error:\n"
        "    print(error.errno, error)\n"
    )
    here = os.path.dirname(__file__)
    result = subprocess.run([sys.executable, "-c", script, str(tmp_path / "region"), here,
                             os.path.dirname(here)], capture_output=True, text=True, timeout=60)
    assert "cannot create" in result.stdout, result.stdout + result.stderr
    assert sorted(os.listdir(tmp_path)) == ["region.key"]


def test_a_region_file_removed_under_the_workers_is_reported_once(region, caplog):
    from gateway_helpers import Script, make_gateway, provider, request

    from velmorquist_proxy import HostState
    events, now = [], [0.0]
    gateway = make_gateway(provider("alpha"), shared=HostState(region), on_event=events.append,
                           _clock=lambda: now[0])
    request(gateway, Script())
    os.unlink(region)
    for moment in (10.0, 20.0):
        now[0] = moment
        request(gateway, Script())
    assert [e.kind for e in events].count("state_file_lost") == 1
    assert "RemoveIPC" in caplog.text
