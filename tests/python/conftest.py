"""Fixtures shared by the Python tests.

Tests marked ``network`` run inside one private network namespace that the session enters before
the first of them starts (``netns``): every Zenoh session, thread and subprocess created afterwards
lives in it, and nothing can leave the machine. Tests without the mark may not open Zenoh sessions.
"""

from __future__ import annotations

import contextlib
import itertools
import os
import selectors
import subprocess
import sys
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SIM_DIR = REPO / "sim"
DEFAULT_TOOL = REPO / "build" / "cmake" / "tools" / "kvn-bridge-tool"

sys.path.insert(0, str(REPO / "tests" / "support"))
import netns as netns_harness  # noqa: E402

# The simulator of this checkout wins over an installed copy (which may be older); without a
# checkout the installed package is used.
_SIM_FROM_SOURCE = (SIM_DIR / "korvantyr_sim" / "__init__.py").is_file()
if _SIM_FROM_SOURCE:
    sys.path.insert(0, str(SIM_DIR))

import zenoh  # noqa: E402


def running_under_ci() -> bool:
    return os.environ.get("CI", "").strip().lower() not in ("", "0", "false", "no")


# ------------------------------------------------------------------------------------------------
# Network namespace


@pytest.fixture(scope="session")
def netns() -> Iterator[netns_harness.Namespace]:
    """The private namespace this test process runs in from the first network test on."""
    if os.geteuid() != 0:
        pytest.fail(
            "network tests need root: they create a private network namespace "
            "(CAP_SYS_ADMIN, CAP_NET_ADMIN); run them as root or deselect with -m 'not network'",
            pytrace=False,
        )
    try:
        with netns_harness.entered() as ns:
            yield ns
    except netns_harness.NamespaceError as exc:
        pytest.fail(str(exc), pytrace=False)


def _refuse_open(*_args: object, **_kwargs: object) -> None:
    raise RuntimeError("this test opens a Zenoh session: mark it with @pytest.mark.network")


@pytest.fixture(autouse=True)
def _network_isolation(request: pytest.FixtureRequest, monkeypatch: pytest.MonkeyPatch) -> None:
    """Network tests always run in the namespace; the others may not open a Zenoh session."""
    if request.node.get_closest_marker("network") is not None:
        request.getfixturevalue("netns")
    else:
        monkeypatch.setattr(zenoh, "open", _refuse_open)


@pytest.fixture(scope="session")
def zsession(netns: netns_harness.Namespace) -> Iterator[zenoh.Session]:
    """An eclipse-zenoh session of the test process, default configuration, in the namespace."""
    session = zenoh.open(zenoh.Config())
    try:
        yield session
    finally:
        session.close()


# ------------------------------------------------------------------------------------------------
# Simulated robot


def sim_env() -> dict[str, str]:
    env = dict(os.environ)
    if _SIM_FROM_SOURCE:
        env["PYTHONPATH"] = os.pathsep.join(
            p for p in (str(SIM_DIR), env.get("PYTHONPATH", "")) if p
        )
    return env


@dataclass
class SimRobot:
    serial: str
    proc: subprocess.Popen[str]
    stderr_path: Path
    drain: threading.Thread | None = None

    def key(self, endpoint: str) -> str:
        suffix = {"basic": "/basic_stream_data", "extra": "/extra_stream_data", "rpc": "/rpc"}
        return "korvan/robot/" + self.serial + suffix[endpoint]

    def stderr(self) -> str:
        return self.stderr_path.read_text(errors="replace")

    def wait(self, timeout: float) -> int:
        return self.proc.wait(timeout)

    def stop(self, timeout: float = 10.0) -> int:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout)
        if self.drain is not None:
            self.drain.join(timeout)  # ends at EOF, now that the simulator has exited
        if self.proc.stdout is not None and (self.drain is None or not self.drain.is_alive()):
            self.proc.stdout.close()
        return self.proc.returncode


def _wait_for_ready(proc: subprocess.Popen[str], deadline: float) -> bool:
    assert proc.stdout is not None
    with selectors.DefaultSelector() as sel:
        sel.register(proc.stdout, selectors.EVENT_READ)
        while (left := deadline - time.monotonic()) > 0:
            if not sel.select(left):
                continue
            line = proc.stdout.readline()
            if not line:  # the simulator ended before it was ready
                return False
            if line.strip() == "READY":
                return True
    return False


_serials = itertools.count(1)


@pytest.fixture
def sim(netns: netns_harness.Namespace, tmp_path: Path) -> Iterator[Callable[..., SimRobot]]:
    """Factory: ``sim(serial=None, preset=..., rate=..., args=[...])`` starts a simulated robot in
    the namespace and returns once it has printed READY; every robot is stopped at teardown."""
    started: list[SimRobot] = []

    def start(
        serial: str | None = None,
        *,
        preset: str = "dual-arm",
        rate: float = 100.0,
        args: list[str] | tuple[str, ...] = (),
        ready_timeout: float = 30.0,
    ) -> SimRobot:
        serial = serial or f"SIM-{os.getpid()}-{next(_serials)}"
        stderr_path = tmp_path / f"sim-{serial}.stderr"
        cmd = [sys.executable, "-m", "korvantyr_sim", "--serial", serial, "--preset", preset,
               "--rate", str(rate), *args]
        with open(stderr_path, "w") as err:
            proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                    stderr=err, text=True, env=sim_env())
        robot = SimRobot(serial, proc, stderr_path)
        started.append(robot)
        if not _wait_for_ready(proc, time.monotonic() + ready_timeout):
            robot.stop()
            pytest.fail(
                f"simulated robot not ready within {ready_timeout} s (exit {proc.returncode}):\n"
                + robot.stderr(),
                pytrace=False,
            )
        # Nothing more is expected on stdout; keep the pipe drained all the same.
        robot.drain = threading.Thread(target=proc.stdout.read, daemon=True)
        robot.drain.start()
        return robot

    yield start
    problems = []
    for robot in reversed(started):
        with contextlib.suppress(Exception):
            robot.stop()
        err = robot.stderr()
        if "Traceback" in err or "korvantyr-sim:" in err:
            problems.append(f"simulated robot {robot.serial} reported:\n{err}")
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


# ------------------------------------------------------------------------------------------------
# The C++ peer


@pytest.fixture(scope="session")
def bridge_tool() -> Path:
    """Path of the C++ ``kvn-bridge-tool`` (KORVANTYR_BRIDGE_TOOL, else the development build)."""
    path = Path(os.environ.get("KORVANTYR_BRIDGE_TOOL") or DEFAULT_TOOL)
    if path.is_file() and os.access(path, os.X_OK):
        return path
    message = f"kvn-bridge-tool not found at {path} (build it, or set KORVANTYR_BRIDGE_TOOL)"
    if running_under_ci():
        pytest.fail(message, pytrace=False)
    pytest.skip(message)


# ------------------------------------------------------------------------------------------------
# Simulated robot with its control channel (stdin commands, one acknowledgement line each)

import queue  # noqa: E402
from collections.abc import Sequence  # noqa: E402


@dataclass
class ControlledSim(SimRobot):
    answers: queue.Queue[str] | None = None

    def control(self, command: str, timeout: float = 10.0) -> str:
        """Send one control command and return the simulator's answer line."""
        assert self.proc.stdin is not None and self.answers is not None
        self.proc.stdin.write(command + "\n")
        self.proc.stdin.flush()
        try:
            return self.answers.get(timeout=timeout)
        except queue.Empty:
            pytest.fail(f"no answer to {command!r} within {timeout} s", pytrace=False)

    def command(self, command: str) -> None:
        """Send a command that must be acknowledged with "OK <command>"."""
        answer = self.control(command)
        assert answer == "OK " + " ".join(command.split()), answer

    def stop(self, timeout: float = 10.0) -> int:
        if self.proc.stdin is not None and not self.proc.stdin.closed:
            with contextlib.suppress(OSError):
                self.proc.stdin.close()
        return super().stop(timeout)


def start_controlled_sim(directory: Path, serial: str | None = None, *, args: Sequence[str] = (),
                         ready_timeout: float = 30.0) -> ControlledSim:
    """Start a simulated robot whose stdin and stdout are the control channel; the caller must be
    inside the namespace and stop the robot."""
    serial = serial or f"SIMC-{os.getpid()}-{next(_serials)}"
    stderr_path = directory / f"sim-{serial}.stderr"
    cmd = [sys.executable, "-m", "korvantyr_sim", "--serial", serial, *args]
    with open(stderr_path, "w") as err:
        proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err,
                                text=True, env=sim_env())
    robot = ControlledSim(serial, proc, stderr_path, answers=queue.Queue())
    if not _wait_for_ready(proc, time.monotonic() + ready_timeout):
        robot.stop()
        pytest.fail(f"simulated robot not ready within {ready_timeout} s:\n{robot.stderr()}",
                    pytrace=False)

    def read_answers() -> None:
        assert proc.stdout is not None
        for line in proc.stdout:
            robot.answers.put(line.rstrip("\n"))

    robot.drain = threading.Thread(target=read_answers, daemon=True)
    robot.drain.start()
    return robot


def check_sim_stderr(robots: Sequence[SimRobot]) -> None:
    problems = [f"simulated robot {r.serial} reported:\n{r.stderr()}" for r in robots
                if "Traceback" in r.stderr() or "korvantyr-sim:" in r.stderr()]
    if problems:
        pytest.fail("\n".join(problems), pytrace=False)


@pytest.fixture
def controlled_sim(netns: netns_harness.Namespace,
                   tmp_path: Path) -> Iterator[Callable[..., ControlledSim]]:
    """Factory: ``controlled_sim(serial=None, args=[...])`` starts a simulated robot that takes
    control commands (``robot.command("stream basic empty 3")``); stopped at teardown."""
    started: list[ControlledSim] = []

    def start(serial: str | None = None, *, args: Sequence[str] = ()) -> ControlledSim:
        started.append(start_controlled_sim(tmp_path, serial, args=args))
        return started[-1]

    yield start
    for robot in reversed(started):
        with contextlib.suppress(Exception):
            robot.stop()
    check_sim_stderr(started)
