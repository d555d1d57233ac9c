"""The commands installed with the project (korvantyr-scan, korvantyr-relay, korvantyr-monitor,
korvantyr-record, korvantyr-sim), run as a user runs them: their help, their usage errors, the scan
against simulated robots, what they say when an optional dependency is missing, and how they end when
the robot misbehaves, a signal comes or a file cannot be written. The monitor's and the recorder's
work against a well-behaved robot is tested in test_examples.py.

Every test that runs a command is marked ``network``: a command that went wrong could open a Zenoh
session, which must then be inside the private namespace."""

from __future__ import annotations

import csv
import os
import pty
import re
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest
from conftest import installed_command, sim_env
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


def with_site(tmp_path: Path, code: str) -> dict[str, str]:
    """An environment in which ``code`` runs in every Python process before the command starts
    (a sitecustomize on PYTHONPATH)."""
    shim = tmp_path / "shim"
    shim.mkdir()
    (shim / "sitecustomize.py").write_text(code)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(shim), env.get("PYTHONPATH", "")) if p)
    return env


def without(tmp_path: Path, *modules: str) -> dict[str, str]:
    """An environment in which ``modules`` cannot be imported, as if not installed."""
    return with_site(tmp_path,
                     "import sys\n" + "".join(f"sys.modules[{m!r}] = None\n" for m in modules))


def wait_until(condition, timeout: float = 30.0, what: str = "") -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        assert time.monotonic() < deadline, f"not within {timeout} s: {what}"
        time.sleep(0.05)


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
    # Refused before connecting, not after the recording.
    ("korvantyr-record", ["A-1", "--png", "out.txt"], "--png out.txt: matplotlib writes no .txt"),
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


# ------------------------------------------------------------------------------------------------
# korvantyr-monitor and korvantyr-record against a robot that misbehaves

# Control commands of the simulated robot, given before the command connects, the exit codes of
# the monitor and the recorder (either of two when random mutations may or may not spoil the
# start-up), and a line the monitor shows in its view. Every exception the
# client throws (IndexError for a group without a name or a number out of range, ValueError for a
# number it cannot read, RuntimeError for a reply it cannot use) ends in the command's one-line
# error, or, for the monitor's remote calls, in a line of its view while it runs on.


def primitive_states_reply(*texts: str) -> str:
    reply = RPCReply(request_id=3, success=True, string_container=[t.encode() for t in texts])
    return f"rpc 3 payload {encode(reply).hex()}"


ROBOT_FAULTS = [
    # The recorder keeps what such a robot sends (raw and counted) where the client cannot connect.
    pytest.param(["stream basic unnamed-group"], 1, 0, None, id="first-message-names-group-1"),
    pytest.param(["stream basic unknown-group"], 0, 0, None, id="first-message-names-group-7"),
    pytest.param([primitive_states_reply("jointGroup = x", "primitiveName = Hold")], 0, 0,
                 "primitive states: no reply (invalid stoi argument)", id="number-unreadable"),
    pytest.param([primitive_states_reply("jointGroup = 99999999999", "primitiveName = Hold")],
                 0, 0, "primitive states: no reply (stoi argument out of range)",
                 id="number-out-of-range"),
    pytest.param(["rpc 3 mutate"], 0, 0, None, id="primitive-states-mutated"),
    # The recorder needs only the probe's answer; a mutation may leave it readable.
    pytest.param(["rpc all mutate"], 1, (0, 1), None, id="every-reply-mutated"),
    pytest.param(["stream basic mutate"], (0, 1), (0, 1), None, id="basic-stream-mutated"),
]


@pytest.mark.network
@pytest.mark.parametrize("name", ["korvantyr-monitor", "korvantyr-record"])
@pytest.mark.parametrize(("faults", "monitor_exit", "record_exit", "monitor_line"), ROBOT_FAULTS)
def test_commands_end_in_one_line_whatever_the_robot_sends(
        controlled_sim, tmp_path: Path, name: str, faults: list[str],
        monitor_exit: int | tuple[int, int], record_exit: int | tuple[int, int],
        monitor_line: str | None) -> None:
    robot = controlled_sim(args=["--rate", "200"])
    for fault in faults:
        robot.command(fault)
    if name == "korvantyr-monitor":
        expected = monitor_exit
        result = run(name, robot.serial, "--seconds", "3", "--quiet")
    else:
        expected = record_exit
        result = run(name, robot.serial, "--seconds", "1", "--rate", "20", "--no-plot", "--quiet",
                     cwd=tmp_path)
    assert "Traceback" not in result.stderr, result.stderr
    assert result.returncode in (expected if isinstance(expected, tuple) else (expected,)), (
        result.stdout + result.stderr)
    if result.returncode != 0:
        assert result.stderr.splitlines()[-1].startswith(f"{name}: "), result.stderr
    elif name == "korvantyr-monitor" and monitor_line is not None:
        # A line of the view, frame after frame, with the other answers still shown.
        lines = result.stdout.splitlines()
        assert lines.count(monitor_line) >= 2, result.stdout
        assert any(line.startswith("plan: ") and "no reply" not in line for line in lines)


# ------------------------------------------------------------------------------------------------
# korvantyr-monitor on a terminal

HIDE_CURSOR, SHOW_CURSOR = b"\x1b[?25l", b"\x1b[?25h"


class Terminal:
    """A pseudo-terminal whose output is read as it comes (a full one would block the writer)."""

    def __init__(self) -> None:
        self.master, self.slave = pty.openpty()
        self.output = bytearray()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        while True:
            try:
                data = os.read(self.master, 65536)
            except OSError:  # EIO: every writer is gone
                return
            if not data:
                return
            self.output += data

    def close(self) -> bytes:
        """Closes this side's copy of the terminal; the output once every writer has ended."""
        os.close(self.slave)
        self._reader.join(10.0)
        os.close(self.master)
        return bytes(self.output)


@pytest.mark.network
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM, signal.SIGHUP],
                         ids=["SIGINT", "SIGTERM", "SIGHUP"])
def test_monitor_on_a_terminal_ends_on_a_signal_with_the_cursor_back(
        controlled_sim, signum: int) -> None:
    robot = controlled_sim()
    robot.command("rpc 4 delay 1500")  # the signal comes while the plan info call waits
    terminal = Terminal()
    try:
        proc = subprocess.Popen(
            [str(installed_command("korvantyr-monitor")), robot.serial, "--seconds", "60",
             "--quiet"], stdin=terminal.slave, stdout=terminal.slave, stderr=subprocess.PIPE,
            text=True, start_new_session=True)
        wait_until(lambda: robot.count(4) >= 1 or proc.poll() is not None, what="plan info asked")
        proc.send_signal(signum)
        _, stderr = proc.communicate(timeout=30)
    finally:
        output = terminal.close()
    assert proc.returncode == 0, stderr
    assert "Traceback" not in stderr
    # The cursor is shown again after the last frame (the client's exit line may follow).
    assert HIDE_CURSOR in output and SHOW_CURSOR in output, output[-300:]
    assert b"\x1b[H" not in output[output.rindex(SHOW_CURSOR):], output[-300:]
    assert output.rindex(SHOW_CURSOR) > output.rindex(HIDE_CURSOR)
    # The call that was waiting was the last one: none came after the signal.
    assert robot.count(3) == 0 and robot.count(9) == 0


# ------------------------------------------------------------------------------------------------
# korvantyr-record: the CSV file outlives the plot

# matplotlib's PNG writer replaced by one that writes half a file and then fails or is interrupted.
PLOT_FAILURE = """\
import os, signal, time
from matplotlib.backends.backend_agg import FigureCanvasAgg

def print_png(self, target, *args, **kwargs):
    if hasattr(target, "write"):
        target.write(b"\\x89PNG\\r\\n")
    else:
        with open(target, "wb") as f:
            f.write(b"\\x89PNG\\r\\n")
    {action}

FigureCanvasAgg.print_png = print_png
"""


@pytest.mark.network
@pytest.mark.parametrize(("action", "code", "message"), [
    pytest.param("raise ValueError('no such format')", 1,
                 "the plot could not be written to {png}: no such format", id="plot-error"),
    pytest.param("os.kill(os.getpid(), signal.SIGINT); time.sleep(30)", 130, None,
                 id="ctrl-c-while-plotting"),
])
def test_record_keeps_the_csv_and_leaves_no_half_plot_when_the_plot_fails(
        sim, tmp_path: Path, action: str, code: int, message: str | None) -> None:
    robot = sim(args=["--groups", "ARM_1:3"])
    out = tmp_path / "out"
    out.mkdir()
    csv_path, png = out / "rec.csv", out / "rec.png"
    result = run("korvantyr-record", robot.serial, "--seconds", "0.5", "--rate", "20",
                 "--csv", str(csv_path), "--png", str(png), "--quiet",
                 env=with_site(tmp_path, PLOT_FAILURE.format(action=action)), cwd=out)
    assert "Traceback" not in result.stderr, result.stderr
    assert result.returncode == code, result.stdout + result.stderr
    if message is None:
        assert result.stderr == ""
    else:
        assert one_line(result.stderr) == "korvantyr-record: " + message.format(png=png)
    with open(csv_path, newline="", encoding="utf-8") as f:
        header, *rows = list(csv.reader(f))
    assert header[:3] == ["time", "group", "q1"] and rows
    summary = result.stdout.splitlines()[-1]  # after the client's own lines
    assert re.fullmatch(rf"\d+ samples of 2 joint groups: {re.escape(str(csv_path))}, no plot"
                        r"( \(interrupted\))?", summary), result.stdout
    assert [p.name for p in out.iterdir()] == ["rec.csv"]


# ------------------------------------------------------------------------------------------------
# korvantyr-sim with a control channel it cannot read

# Starts the command of its arguments as MODE says and prints its process id first.
#   background: as an interactive shell runs "COMMAND &": this process leads a new session whose
#               terminal is its stdin, keeps the terminal's foreground and starts the command in
#               a process group of its own, reading the same terminal.
#   closed-stdin: the command starts with its standard input closed.
LAUNCHER = """\
import fcntl, os, subprocess, sys, termios
mode, command = sys.argv[1], sys.argv[2:]
if mode == "closed-stdin":
    os.close(0)
    print(os.getpid(), flush=True)
    os.execvp(command[0], command)
fcntl.ioctl(0, termios.TIOCSCTTY, 0)
job = subprocess.Popen(command, process_group=0)
print(job.pid, flush=True)
sys.exit(job.wait())
"""


@pytest.mark.network
@pytest.mark.parametrize("mode", ["background", "closed-stdin"])
def test_sim_serves_on_when_it_cannot_read_its_control_channel(
        zsession, tmp_path: Path, mode: str) -> None:
    serial = f"SIM-UNREAD-{os.getpid()}-{mode}"
    terminal = Terminal()
    stderr_path = tmp_path / "sim.stderr"
    with open(stderr_path, "w") as err:
        launcher = subprocess.Popen(
            [sys.executable, "-c", LAUNCHER, mode, sys.executable, "-m", "korvantyr_sim",
             "--serial", serial, "--rate", "200"],
            stdin=terminal.slave, stdout=subprocess.PIPE, stderr=err, text=True,
            start_new_session=True, env=sim_env())
    samples = 0
    counted = threading.Condition()

    def count(_sample: object) -> None:
        nonlocal samples
        with counted:
            samples += 1
            counted.notify_all()

    sim_pid = None
    subscriber = None
    try:
        assert launcher.stdout is not None
        sim_pid = int(launcher.stdout.readline())
        assert launcher.stdout.readline() == "READY\n"
        # Published well after the control channel was first read: a stopped robot stops here.
        subscriber = zsession.declare_subscriber(f"korvan/robot/{serial}/basic_stream_data",
                                                 count)
        with counted:
            assert counted.wait_for(lambda: samples >= 200, 20.0), f"{samples} samples"
        os.kill(sim_pid, signal.SIGTERM)
        assert launcher.wait(30) == 0
    finally:
        if subscriber is not None:
            subscriber.undeclare()
        if launcher.poll() is None and sim_pid is not None:
            os.kill(sim_pid, signal.SIGKILL)
            launcher.wait(10)
        terminal.close()
        if launcher.stdout is not None:
            launcher.stdout.close()
    assert "Traceback" not in stderr_path.read_text(), stderr_path.read_text()
