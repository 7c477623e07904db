"""A short run of the demo completes and reports on everything it simulated."""

import pathlib
import re
import subprocess
import sys

DEMO = pathlib.Path(__file__).resolve().parents[2] / "examples" / "demo.py"


def test_short_demo_run_completes_with_a_full_report():
    finished = subprocess.run(
        [sys.executable, str(DEMO), "--requests", "200", "--threads", "4", "--seed", "3"],
        capture_output=True, text=True, timeout=300, check=False,
    )
    assert finished.returncode == 0, finished.stderr
    out = finished.stdout
    for heading in ("== Run ==", "== Providers ==", "== Keys ==",
                    "== Routing while fireworks went down and came back =="):
        assert heading in out
    succeeded, failed = map(int, re.search(
        r"succeeded (\d+), failed after retries (\d+)", out).groups())
    assert succeeded + failed == 200
    assert succeeded > 100
    for provider in ("groq", "fireworks", "together", "deepseek", "openai"):
        assert re.search(rf"^  {provider} +http://127\.0\.0\.1:\d+/", out, re.MULTILINE)
    assert len(re.findall(r"^  \w+ +sk-\w\.\.\.\w{4} ", out, re.MULTILINE)) == 15  # keys


def test_demo_refuses_bad_options():
    finished = subprocess.run([sys.executable, str(DEMO), "--requests", "0"],
                              capture_output=True, text=True, timeout=60, check=False)
    assert finished.returncode == 2
    assert "--requests" in finished.stderr
