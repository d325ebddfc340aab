"""Memory stays flat while every call and failure path repeats (tests/soak.py,
run in a fresh interpreter; --soak-calls sets the length)."""
import json
import os
import subprocess
import sys

import pytest


@pytest.mark.soak
def test_memory_stops_growing_after_warm_up(request):
    calls = request.config.getoption("--soak-calls")
    child = subprocess.run([sys.executable, os.path.join(os.path.dirname(__file__), "soak.py"), str(calls)],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                           timeout=120 + calls * 0.2)
    assert child.returncode == 0, child.stderr[-3000:]
    out = json.loads(child.stdout.splitlines()[-1])
    assert out["calls"] >= calls and out["left"] == [] and out["running"] == []
    assert {"returned", "Abort", "RuntimeError", "HTTPError", "JSONDecodeError", "ChunkedEncodingError",
            "TypeError", "OperationalError", "ValueError", "ApiException"} <= set(out["outcomes"])
    # From the end of the warm-up to the least of the last three samples: a
    # leak grows steadily, while one busy moment shows in one sample only.
    start, ends = out["samples"][0], out["samples"][-3:]
    measured = ends[-1]["calls"] - start["calls"]
    growth = {key: min(end[key] for end in ends) - start[key] for key in ("objects", "traced", "rss_kib")}
    assert growth["objects"] <= 500 + measured // 20, out
    assert growth["traced"] <= 256 * 1024 + 8 * measured, out
    if "ASAN_OPTIONS" not in os.environ:  # AddressSanitizer's quarantine holds freed memory
        assert growth["rss_kib"] <= 4096 + measured // 10, out
