"""A short run of the host demo: four workers share one bucket."""

import pathlib
import re
import subprocess
import sys

import pytest

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo_host.py"

# A whole demo run: its native calls are the same the other tests make.
pytestmark = pytest.mark.pure_python


def test_workers_share_one_limit_and_the_report_says_so():
    finished = subprocess.run([sys.executable, str(DEMO), "--seconds", "1"],
                              capture_output=True, text=True, timeout=300, check=False)
    assert finished.returncode == 0, finished.stderr
    out = finished.stdout
    rows = re.findall(r"^  (\d) +(\d+) +(\d+) +(\d+) +(\d+)$", out, re.MULTILINE)
    assert [row[0] for row in rows] == ["0", "1", "2", "3"]
    admitted, limit = map(int, re.search(
        r"host-wide admitted to groq: (\d+) of at most (\d+)", out).groups())
    assert admitted == sum(int(row[1]) for row in rows)
    assert 10 <= admitted <= limit   # the burst at least, never more than one bucket
    assert "sk-" not in out
