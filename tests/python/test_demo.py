"""A short run of the demo completes and reports on everything it simulated."""

import pathlib
import re
import subprocess
import sys

import pytest

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"
PROVIDERS = ("groq", "fireworks", "together", "deepseek", "openai")

# A whole demo run: its native calls are the same the other tests make.
pytestmark = pytest.mark.pure_python


def test_short_demo_run_completes_with_a_full_report():
    finished = subprocess.run(
        [sys.executable, str(DEMO), "--requests", "200", "--threads", "4", "--seed", "3"],
        capture_output=True, text=True, timeout=300, check=False,
    )
    assert finished.returncode == 0, finished.stderr
    out = finished.stdout
    for heading in ("== Run ==", "== Proxy overhead per request (real time) ==",
                    "== Providers ==", "== Keys ==",
                    "== Routing while fireworks went down and came back =="):
        assert heading in out
    succeeded, failed, calls = map(int, re.search(
        r"succeeded (\d+), failed after retries (\d+), provider calls (\d+)", out).groups())
    assert succeeded + failed == 200
    assert succeeded > 100
    assert calls >= 200
    for provider in PROVIDERS:
        assert re.search(rf"^  {provider} +http://127\.0\.0\.1:\d+/", out, re.MULTILINE)
    assert re.search(r"^  gateway +http://127\.0\.0\.1:\d+/v1/chat/completions$", out,
                     re.MULTILINE)
    assert re.search(r"^  in the proxy, not waiting on a provider +\d+\.\d{3} +\d+\.\d{3}$",
                     out, re.MULTILINE)
    # Every provider call the gateway counted went to a provider the proxy named.
    table = out.split("== Providers ==")[1].split("failures by kind")[0]
    rows = {m[0]: int(m[1]) for m in re.findall(r"^  (\w+) +\w+ +(\d+) ", table, re.MULTILINE)}
    assert sum(rows[p] for p in PROVIDERS) == calls
    assert len(re.findall(r"^  \w+ +sk-\w\.\.\.\w{4} ", out, re.MULTILINE)) == 15
    assert not re.search(r"sk-\w+-[0-9a-f]{16}", out + finished.stderr)   # no key in clear


def test_demo_refuses_bad_options():
    finished = subprocess.run([sys.executable, str(DEMO), "--requests", "0"],
                              capture_output=True, text=True, timeout=60, check=False)
    assert finished.returncode == 2
    assert "--requests" in finished.stderr
