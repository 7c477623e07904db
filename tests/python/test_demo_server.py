"""A short run of the server demo completes, with every provider's story
and the added latency in its report, and no key in clear."""

import pathlib
import re
import subprocess
import sys

import pytest

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo_server.py"


@pytest.mark.pure_python
def test_short_server_demo_run_completes_with_a_full_report():
    finished = subprocess.run(
        [sys.executable, str(DEMO), "--requests", "90", "--clients", "6",
         "--latency-requests", "20"], capture_output=True, text=True, timeout=300, check=False)
    assert finished.returncode == 0, finished.stderr
    out = finished.stdout
    for heading in ("== Run ==", "== Providers (from /admin/snapshot) ==",
                    "== Upstream calls by result (from /metrics) ==",
                    "== Latency the proxy adds", "== Proxy =="):
        assert heading in out
    assert "statuses: 200: 90" in out
    # Whether the router tried alpha while it failed is its own choice.
    assert re.search(r"^  \w+ +success +\d+$", out, re.MULTILINE)
    assert re.search(r"^  time to first chunk \(added\) +-?\d+\.\d{3} +-?\d+\.\d{3}$", out,
                     re.MULTILINE)
    # The kernel spreads the 6 clients' connections over the 2 workers as it
    # likes; about one run in 30 it gives them all to one.
    assert re.search(r"from [12] workers; exit status 0 after SIGTERM", out)
    assert not re.search(r"sk-\w+-demo-key-\d+", out + finished.stderr)
