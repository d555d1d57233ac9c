"""The live monitor, the recorder and the example programs, run as a user runs them, against the
simulated robot. The monitor and the recorder are the installed commands korvantyr-monitor and
korvantyr-record; examples/monitor.py and examples/record_and_plot.py run the same code and still
take the serial number as --serial."""

from __future__ import annotations

import csv
import itertools
import math
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import installed_command, running_under_ci

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
LIGHTS_ROW = re.compile(r"^digital (inputs|outputs) +([●○] ){19}[●○]$", re.MULTILINE)


def run_monitor(serial: str, seconds: float = 2.0,
                example: bool = False) -> subprocess.CompletedProcess[str]:
    """korvantyr-monitor SERIAL, or with ``example`` examples/monitor.py --serial SERIAL (as the
    demo runs it)."""
    if example:
        cmd = [sys.executable, str(EXAMPLES / "monitor.py"), "--serial", serial]
    else:
        cmd = [str(installed_command("korvantyr-monitor")), serial]
    # Output goes to a pipe, so the monitor prints plain frames instead of redrawing in place.
    return subprocess.run(cmd + ["--seconds", str(seconds), "--quiet"],
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
    result = run_monitor(robot.serial, example=True)
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr
    assert "plan: no reply" in result.stdout
    assert re.search(r"^primitive states:\n  ALL ", result.stdout, re.MULTILINE), result.stdout


# ------------------------------------------------------------------------------------------------
# korvantyr-record (examples/record_and_plot.py) and the C++ example (examples/cpp)

EXAMPLE_CPP = EXAMPLES / "cpp"
REPO = EXAMPLES.parent
WRENCH = ["fx", "fy", "fz", "tx", "ty", "tz"]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"
MISSING_SERIAL = "NOBODY-HERE-0001"  # no robot answers to it

# Simulator arguments and the robot's joint groups: name -> (first joint, DoF).
ROBOTS = [
    pytest.param([], {"ALL": (0, 16), "ARMS": (0, 14), "ARM_1": (0, 7), "ARM_2": (7, 7),
                      "EXT_AXIS": (14, 2)}, id="dual-arm"),
    pytest.param(["--groups", "ARM_1:3,EXT_AXIS:2"],
                 {"ALL": (0, 5), "ARM_1": (0, 3), "EXT_AXIS": (3, 2)}, id="arm-and-axes"),
]


def run_record(serial: str, out: Path, *extra: str,
               example: bool = False) -> subprocess.CompletedProcess[str]:
    """korvantyr-record SERIAL, or with ``example`` examples/record_and_plot.py --serial SERIAL."""
    if example:
        cmd = [sys.executable, str(EXAMPLES / "record_and_plot.py"), "--serial", serial]
    else:
        cmd = [str(installed_command("korvantyr-record")), serial]
    return subprocess.run(
        cmd + ["--csv", str(out / "rec.csv"), "--png", str(out / "rec.png"), "--quiet", *extra],
        capture_output=True, text=True, timeout=60, encoding="utf-8")


@pytest.mark.network
@pytest.mark.parametrize(("sim_args", "groups"), ROBOTS)
def test_record_and_plot_writes_one_row_per_sample_and_group_and_a_png(
        sim, tmp_path: Path, sim_args: list[str], groups: dict[str, tuple[int, int]]) -> None:
    robot = sim(args=sim_args)
    result = run_record(robot.serial, tmp_path, "--seconds", "1", "--rate", "20")
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr

    with open(tmp_path / "rec.csv", newline="", encoding="utf-8") as f:
        header, *rows = list(csv.reader(f))
    width = max(dof for _, dof in groups.values())
    assert header == ["time", "group", *(f"q{i}" for i in range(1, width + 1)), *WRENCH,
                      "robot_sec", "robot_nsec"]
    samples = [list(rs) for _, rs in itertools.groupby(rows, key=lambda r: r[0])]
    assert 1 <= len(samples) <= 20  # 1 s at 20 Hz
    assert [float(s[0][0]) for s in samples] == sorted({float(s[0][0]) for s in samples})
    for sample in samples:
        assert [r[1] for r in sample] == list(groups)
        assert len({tuple(r[-2:]) for r in sample}) == 1, sample  # all from one stream message
        assert int(sample[0][-2]) > 0
        q = {}
        for row in sample:
            assert len(row) == len(header)
            start, dof = groups[row[1]]
            cells = row[2:2 + width]
            assert all(c == "" for c in cells[dof:]), row
            q[row[1]] = [float(c) for c in cells[:dof]]
            assert all(math.isfinite(float(c)) for c in row[2 + width:2 + width + 6]), row
        for name, (start, dof) in groups.items():  # every group's columns line up with ALL's
            assert q[name] == q["ALL"][start:start + dof], name

    png = (tmp_path / "rec.png").read_bytes()
    assert png.startswith(PNG_SIGNATURE)
    from matplotlib.image import imread

    image = imread(tmp_path / "rec.png")
    assert image.ndim == 3 and min(image.shape[:2]) > 100


@pytest.mark.network
def test_record_and_plot_without_stream_data_fails_instead_of_writing_nothing(
        controlled_sim, tmp_path: Path) -> None:
    robot = controlled_sim()
    robot.command("pause basic")
    result = run_record(robot.serial, tmp_path, "--seconds", "0.3", example=True)
    assert result.returncode == 1
    assert f"no joint states arrived from {robot.serial}" in result.stderr
    assert "Traceback" not in result.stderr
    assert not (tmp_path / "rec.png").exists()


@pytest.mark.network
@pytest.mark.parametrize("example", ["monitor", "record", "cpp"])
@pytest.mark.parametrize(("serial", "message"), [
    (MISSING_SERIAL, f"Failed to connect to [{MISSING_SERIAL}]"),
    ("BAD_SERIAL-1", "Format of the provided robot serial number is invalid"),
])
def test_examples_report_a_robot_they_cannot_use_in_one_line(
        request: pytest.FixtureRequest, tmp_path: Path, example: str, serial: str,
        message: str) -> None:
    if example == "monitor":
        result = run_monitor(serial)
        assert "korvantyr monitor:" not in result.stdout
    elif example == "record":
        result = run_record(serial, tmp_path, "--seconds", "1")
        assert not (tmp_path / "rec.csv").exists()
    else:
        result = run_print_states(request.getfixturevalue("print_states"), serial)
    assert result.returncode == 1, result.stdout + result.stderr
    assert message in result.stderr
    assert "Traceback" not in result.stderr and "terminate called" not in result.stderr


def cmake_build_dir() -> Path:
    """The CMake build tree of the tests: the one holding KORVANTYR_BRIDGE_TOOL (tools/ below it),
    else build/cmake."""
    tool = os.environ.get("KORVANTYR_BRIDGE_TOOL")
    if tool and (Path(tool).resolve().parents[1] / "cmake_install.cmake").is_file():
        return Path(tool).resolve().parents[1]
    return REPO / "build" / "cmake"


def checked(cmd: list[str]) -> None:
    result = subprocess.run(cmd, capture_output=True, text=True, timeout=600)
    if result.returncode != 0:
        pytest.fail(f"{' '.join(cmd)} failed ({result.returncode}):\n{result.stdout}"
                    f"{result.stderr}", pytrace=False)


@pytest.fixture(scope="module")
def print_states(tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The C++ example, built as a user builds it: against the installed package."""
    build = cmake_build_dir()
    missing = [what for what, ok in (
        (f"a CMake build tree at {build}", (build / "cmake_install.cmake").is_file()),
        ("cmake", shutil.which("cmake")), ("ninja", shutil.which("ninja"))) if not ok]
    if missing:
        message = "the C++ example needs " + ", ".join(missing)
        if running_under_ci():
            pytest.fail(message, pytrace=False)
        pytest.skip(message)
    work = tmp_path_factory.mktemp("example_cpp")
    checked(["cmake", "--install", str(build), "--prefix", str(work / "prefix")])
    checked(["cmake", "-S", str(EXAMPLE_CPP), "-B", str(work / "build"), "-G", "Ninja",
             f"-DCMAKE_PREFIX_PATH={work / 'prefix'}", "-DCMAKE_CXX_FLAGS=-Werror"])
    checked(["cmake", "--build", str(work / "build")])
    return work / "build" / "print_states"


def run_print_states(program: Path, serial: str, *extra: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(program), "--serial", serial, "--quiet", *extra],
                          capture_output=True, text=True, timeout=60)


@pytest.mark.network
@pytest.mark.parametrize(("sim_args", "groups"), ROBOTS)
def test_cpp_example_prints_groups_states_and_io_for_each_sample(
        sim, print_states: Path, sim_args: list[str], groups: dict[str, tuple[int, int]]) -> None:
    robot = sim(args=sim_args)
    result = run_print_states(print_states, robot.serial, "--count", "3", "--interval", "0.1")
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert f"joint groups: {', '.join(groups)}\n" in out
    blocks = out.split("\nsample ")[1:]
    assert [b.split("\n", 1)[0] for b in blocks] == ["1 of 3", "2 of 3", "3 of 3"]
    for block in blocks:
        for name, (_, dof) in groups.items():
            match = re.search(rf"^{name}\n  q +\[(.*)\]\n  tcp_pose +\[(.*)\]$", block, re.M)
            assert match, (name, block)
            assert len(match[1].split(", ")) == dof and len(match[2].split(", ")) == 7
        assert re.search(r"^e-stop released: (yes|no) +enabling device on: (yes|no)$", block, re.M)
        assert len(re.findall(r"^digital (inputs|outputs) +[01]{20}$", block, re.M)) == 2, block
