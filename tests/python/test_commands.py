"""The commands installed with the project (korvantyr-scan, korvantyr-relay, korvantyr-monitor,
korvantyr-record, korvantyr-sim), run as a user runs them: their help, their usage errors, the scan against
simulated robots, and what they say when an optional dependency is missing. The monitor's and the
recorder's work against the robot is tested in test_examples.py.

Every test that runs a command is marked ``network``: a command that went wrong could open a Zenoh
session, which must then be inside the private namespace."""

from __future__ import annotations

import csv
import os
import re
import subprocess
from pathlib import Path

import pytest
from conftest import installed_command
from korvantyr_sim import RPCReply, encode

COMMANDS = ["korvantyr-scan", "korvantyr-relay", "korvantyr-monitor", "korvantyr-record",
            "korvantyr-sim"]
SCAN_HEADER = ["SERIAL", "REACHABLE", "SERVER VERSION", "BASIC STREAM"]
# Long enough for a fresh session to discover the robots on a loaded machine.
SCAN_SECONDS = "3"


def run(name: str, *args: str, env: dict[str, str] | None = None,
        cwd: Path | None = None) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(installed_command(name)), *args], capture_output=True, text=True,
                          timeout=60, env=env, cwd=cwd, encoding="utf-8")


def one_line(stream: str) -> str:
    """The single line a command wrote for an error (no traceback, nothing else)."""
    lines = stream.splitlines()
    assert len(lines) == 1, stream
    return lines[0]


def without(tmp_path: Path, *modules: str) -> dict[str, str]:
    """An environment in which ``modules`` cannot be imported, as if not installed: a
    sitecustomize on PYTHONPATH blocks them before the command starts."""
    shim = tmp_path / "shim"
    shim.mkdir()
    (shim / "sitecustomize.py").write_text(
        "import sys\n" + "".join(f"sys.modules[{m!r}] = None\n" for m in modules))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(shim), env.get("PYTHONPATH", "")) if p)
    return env


# ------------------------------------------------------------------------------------------------
# Help and usage errors


@pytest.mark.network
@pytest.mark.parametrize("name", COMMANDS)
def test_help_describes_the_command_and_its_exit_codes(name: str) -> None:
    result = run(name, "--help")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith(f"usage: {name}"), result.stdout
    assert re.search(r"exit codes", result.stdout, re.IGNORECASE), result.stdout
    assert result.stderr == ""


@pytest.mark.network
@pytest.mark.parametrize(("name", "args", "message"), [
    ("korvantyr-scan", ["--seconds", "0"], "--seconds takes a number of seconds above 0"),
    ("korvantyr-scan", ["--seconds", "nan"], "--seconds takes a number of seconds above 0"),
    ("korvantyr-scan", ["--seconds"], "--seconds needs a value"),
    ("korvantyr-scan", ["--rate", "5"], "unknown option '--rate'"),
    ("korvantyr-scan", ["DEMO-ARM-0001"], "the scan takes no serial number"),
    ("korvantyr-relay", [], "give the endpoint of at least one robot or router"),
    ("korvantyr-relay", ["10.0.0.2:7447"], "'10.0.0.2:7447' is not an endpoint"),
    ("korvantyr-relay", ["udp/10.0.0.2:7447"], "only tcp/ endpoints are supported"),
    ("korvantyr-relay", ["tcp/10.0.0.2"], "names no port"),
    ("korvantyr-relay", ["tcp/10.0.0.2:70000"], "a port from 1 to 65535"),
    ("korvantyr-relay", ["tcp/[fe80::1:7447"], "write an IPv6 address as tcp/[ADDRESS]:PORT"),
    ("korvantyr-relay", ["--listen"], "--listen needs an endpoint"),
    ("korvantyr-relay", ["tcp/127.0.0.1:7447"], "is where the relay listens, not a robot"),
    ("korvantyr-monitor", [], "the robot's serial number is missing"),
    ("korvantyr-monitor", ["A-1", "--serial", "B-2"], "two serial numbers given"),
    ("korvantyr-monitor", ["A-1", "--seconds", "-1"], "must be a positive number"),
    ("korvantyr-record", ["A-1", "--no-plot", "--png", "x.png"], "not allowed with argument"),
    ("korvantyr-record", ["A-1", "--group", "ARM_3"], "invalid choice: 'ARM_3'"),
    ("korvantyr-record", ["A-1", "--rate", "inf"], "must be a positive number"),
])
def test_usage_errors_are_one_line_and_exit_2(name: str, args: list[str], message: str) -> None:
    result = run(name, *args)
    assert result.returncode == 2, result.stdout + result.stderr
    line = one_line(result.stderr)
    assert line.startswith(f"{name}: error: ") and line.endswith(" (see --help)"), line
    assert message in line
    assert result.stdout == ""


@pytest.mark.network
def test_serial_option_of_the_examples_is_still_accepted(tmp_path: Path) -> None:
    # The same serial number both ways is no conflict; the malformed serial then fails as usual.
    result = run("korvantyr-monitor", "BAD_SERIAL-1", "--serial", "BAD_SERIAL-1")
    assert result.returncode == 1, result.stderr
    assert "Format of the provided robot serial number is invalid" in one_line(result.stderr)


# ------------------------------------------------------------------------------------------------
# korvantyr-scan


def scan_rows(stdout: str) -> list[list[str]]:
    """The scan's table: its header, then one row per robot, cells split at their column gaps."""
    rows = [re.split(r" {2,}", line.rstrip()) for line in stdout.splitlines()]
    assert rows and rows[0] == SCAN_HEADER, stdout
    return rows[1:]


def stream_rate(cell: str) -> float:
    match = re.fullmatch(r"(\d+(?:\.\d)?) Hz", cell)
    assert match, cell
    return float(match[1])


@pytest.mark.network
def test_scan_lists_a_lone_robot_with_its_version(sim) -> None:
    robot = sim("SCAN-ALONE-0001", rate=200)
    result = run("korvantyr-scan", "--seconds", SCAN_SECONDS)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    [row] = scan_rows(result.stdout)
    assert row[:3] == [robot.serial, "yes", "v2.1"]
    assert stream_rate(row[3]) > 0


@pytest.mark.network
def test_scan_lists_robots_in_serial_order_with_what_each_answers(sim, controlled_sim) -> None:
    # Started out of order; each answers differently.
    silent = controlled_sim("SCAN-D-0004")
    silent.command("rpc all no-reply")  # the data service answers nothing
    no_probe = controlled_sim("SCAN-B-0002")
    no_probe.command("rpc 0 no-reply")  # everything but the probe
    sim("SCAN-A-0001")
    sim("SCAN-C-0003", preset="single-arm", args=["--server-version", "v2.0"])
    # A version text with a terminal escape sequence in it is shown, not obeyed.
    sim("SCAN-E-0005", args=["--server-version", "\x1b[2Jv2.1"])
    result = run("korvantyr-scan", "--seconds", SCAN_SECONDS)
    assert result.returncode == 0, result.stderr
    assert "\x1b" not in result.stdout
    rows = scan_rows(result.stdout)
    assert [row[:3] for row in rows] == [
        ["SCAN-A-0001", "yes", "v2.1"],
        ["SCAN-B-0002", "no", "v2.1"],
        ["SCAN-C-0003", "yes", "v2.0 (incompatible: this client speaks v2.1)"],
        ["SCAN-D-0004", "no", "no reply"],
        ["SCAN-E-0005", "yes", "\\x1b[2Jv2.1 (incompatible: this client speaks v2.1)"],
    ]
    assert all(stream_rate(row[3]) > 0 for row in rows)
    # It only asked: one probe at least, one version call, nothing else.
    assert no_probe.count(0) >= 1 and no_probe.count(1) == 1
    assert all(no_probe.count(i) == 0 for i in (3, 4, 9, 10))


@pytest.mark.network
def test_scan_marks_a_serial_number_the_client_would_not_accept(sim) -> None:
    sim("SCAN WITH SPACE-0001")  # the client would look for SCAN-WITH-SPACE-0001
    result = run("korvantyr-scan", "--seconds", SCAN_SECONDS)
    assert result.returncode == 0, result.stderr
    [row] = scan_rows(result.stdout)
    assert row[0] == "SCAN WITH SPACE-0001"
    assert row[-1] == "(this client does not accept this serial number)"


@pytest.mark.network
def test_scan_without_robots_says_what_to_check_and_exits_1() -> None:
    result = run("korvantyr-scan", "--seconds", "0.5")
    assert result.returncode == 1
    assert result.stdout == ""
    line = one_line(result.stderr)
    assert line.startswith("korvantyr-scan: no robot seen within 0.5 s."), line
    for what in ("Ethernet cable", "multicast", "firewall", "UDP", "TCP"):
        assert what in line


# ------------------------------------------------------------------------------------------------
# Optional dependencies


@pytest.mark.network
@pytest.mark.parametrize("args", [["--serial", "SIM-GUARD-0001"], ["--help"]])
def test_sim_without_zenoh_names_the_extra_in_one_line(tmp_path: Path, args: list[str]) -> None:
    result = run("korvantyr-sim", *args, env=without(tmp_path, "zenoh"))
    assert result.returncode == 2
    assert one_line(result.stderr) == (
        "korvantyr-sim: the simulated robot needs eclipse-zenoh: pip install 'korvantyr[sim]'")
    assert result.stdout == ""


@pytest.mark.network
def test_record_without_matplotlib_stops_before_connecting(tmp_path: Path) -> None:
    # No robot answers to this serial: had it tried to connect, it would say so.
    result = run("korvantyr-record", "NOBODY-HERE-0001", "--csv", str(tmp_path / "rec.csv"),
                 env=without(tmp_path, "matplotlib"))
    assert result.returncode == 2
    line = one_line(result.stderr)
    assert "pip install 'korvantyr[plot]'" in line and "--no-plot" in line, line
    assert result.stdout == ""
    assert not (tmp_path / "rec.csv").exists()


@pytest.mark.network
def test_record_with_no_plot_writes_the_csv_without_matplotlib(sim, tmp_path: Path) -> None:
    robot = sim(args=["--groups", "ARM_1:3"])
    out = tmp_path / "rec.csv"
    result = run("korvantyr-record", robot.serial, "--no-plot", "--seconds", "0.5", "--rate", "20",
                 "--csv", str(out), "--quiet", env=without(tmp_path, "matplotlib"), cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    with open(out, newline="", encoding="utf-8") as f:
        header, *rows = list(csv.reader(f))
    assert header[:5] == ["time", "group", "q1", "q2", "q3"]
    assert rows and {row[1] for row in rows} == {"ALL", "ARM_1"}
    assert f": {out}\n" in result.stdout and "plot of" not in result.stdout
    assert not list(tmp_path.glob("*.png"))  # not even at the default place


# ------------------------------------------------------------------------------------------------
# korvantyr-monitor shows the robot's texts safely


PLAN_TEXTS = [b"Hold", b"node", b"path", b"0.5", b"1", b"plan", b"0.75", b"0"]


@pytest.mark.network
@pytest.mark.parametrize(("changed", "expected"), [
    pytest.param({0: b"\x1b[2JHold", 1: b"node\rX", 5: b"\x1b]0;owned\x07plan"},
                 "plan: \\x1b]0;owned\\x07plan   node: node\\rX   primitive: \\x1b[2JHold",
                 id="control-characters-escaped"),
    pytest.param({0: b"\xff\xfeHold"}, "plan: plan   node: node   primitive: \ufffd\ufffdHold",
                 id="not-utf8-replaced"),
])
def test_monitor_shows_the_robots_texts_without_obeying_or_choking_on_them(
        controlled_sim, changed: dict[int, bytes], expected: str) -> None:
    robot = controlled_sim()
    texts = [changed.get(i, t) for i, t in enumerate(PLAN_TEXTS)]
    plan = encode(RPCReply(request_id=4, success=True, string_container=texts))
    robot.command(f"rpc 4 payload {plan.hex()}")
    result = run("korvantyr-monitor", robot.serial, "--seconds", "2", "--quiet")
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr
    assert not re.search(r"[\x00-\x08\x0b-\x1f\x7f]", result.stdout), result.stdout
    assert re.search(rf"^{re.escape(expected)}", result.stdout, re.MULTILINE), result.stdout
    assert "primitive states:\n  ALL " in result.stdout  # the other answers still shown
