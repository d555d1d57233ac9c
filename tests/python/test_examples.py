"""The example programs, run as a user runs them, against the simulated robot."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

MONITOR = Path(__file__).resolve().parents[2] / "examples" / "monitor.py"
LIGHTS_ROW = re.compile(r"^digital (inputs|outputs) +([●○] ){19}[●○]$", re.MULTILINE)


def run_monitor(serial: str, seconds: float = 2.0) -> subprocess.CompletedProcess[str]:
    # Output goes to a pipe, so the monitor prints plain frames instead of redrawing in place.
    return subprocess.run(
        [sys.executable, str(MONITOR), "--serial", serial, "--seconds", str(seconds), "--quiet"],
        capture_output=True, text=True, timeout=seconds + 30, encoding="utf-8")


@pytest.mark.network
def test_monitor_shows_groups_plan_and_digital_io_then_exits(sim) -> None:
    robot = sim()
    result = run_monitor(robot.serial)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "\033[" not in out  # no escape codes when the output is not a terminal
    assert "joint groups: ALL, ARMS, ARM_1, ARM_2, EXT_AXIS" in out
    for group in ("ALL", "ARMS", "ARM_1", "ARM_2", "EXT_AXIS"):
        assert re.search(rf"^{group}\n  q +\[", out, re.MULTILINE), group
    assert re.search(r"^plan: \S+ +node: \S+ +primitive: \S+", out, re.MULTILINE), out
    assert len(LIGHTS_ROW.findall(out)) >= 2, out
    assert "robot answers: yes" in out
    assert "no reply" not in out


@pytest.mark.network
def test_monitor_shows_no_reply_for_an_unanswered_remote_call(sim) -> None:
    # The robot ignores plan-info requests (procedure 4): the monitor keeps going and says so.
    robot = sim(args=["--fault", "no-reply", "--fault-on", "4"])
    result = run_monitor(robot.serial)
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr
    assert "plan: no reply" in result.stdout
    assert re.search(r"^primitive states:\n  ALL ", result.stdout, re.MULTILINE), result.stdout
