"""The soak driver (bench/soak.py), run as CI runs it: it must fail when what it measures goes
wrong, or its passing run would prove nothing."""

from __future__ import annotations

import os
import re
import subprocess
import sys

import pytest
from conftest import REPO, running_under_ci

SOAK = REPO / "bench" / "soak.py"
COUNTER = REPO / "build" / "cmake" / "bench" / "kvn-stream-counter"


@pytest.mark.network
def test_soak_fails_on_samples_that_do_not_decode_and_on_failed_calls() -> None:
    if not (COUNTER.is_file() and os.access(COUNTER, os.X_OK)):
        message = f"{COUNTER} not built"
        if running_under_ci():
            pytest.fail(message, pytrace=False)
        pytest.skip(message)
    # The driver makes its own namespace; the robot spoils three samples and drops two queries.
    done = subprocess.run(
        [sys.executable, str(SOAK), "--seconds", "3", "--memory-points", "2",
         "--counter", str(COUNTER), "--robot-command", "stream basic cut 3",
         "--robot-command", "rpc 4 no-reply times 2"],
        capture_output=True, text=True, timeout=300)
    assert done.returncode == 1, done.stdout + done.stderr
    out = done.stdout
    assert "| Result | FAIL: see the problems below |" in out
    assert "- 3 stream samples did not decode" in out
    assert re.search(r"^\| basic \| [0-9,]+ \| [0-9.,]+ \| ([0-9,]+) \| \1 \|", out, re.M) is None
    assert re.search(r"^\| `plan_info\(\)` \| [0-9,]+ \| [0-9,]+ \| 2 \| 0 \|", out, re.M), out
    assert "RuntimeError: [korvan::tyr::Client] plan_info: No reply from the robot" in out
