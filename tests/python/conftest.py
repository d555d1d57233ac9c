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
from children import end_child  # noqa: E402

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


# Under pytest-xdist, a worker talks to the controller through a thread of its own that exists
# before any test runs and only reads and writes pipes: it may stay outside the namespace.
_runner_threads: set[int] = set()


def pytest_configure(config: pytest.Config) -> None:
    if os.environ.get("PYTEST_XDIST_WORKER"):
        _runner_threads.update(int(tid) for tid in os.listdir("/proc/self/task")
                               if int(tid) != threading.get_native_id())


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
        with netns_harness.entered(_runner_threads) as ns:
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
    return executable_or_skip(
        path, f"kvn-bridge-tool not found at {path} (build it, or set KORVANTYR_BRIDGE_TOOL)")


# ------------------------------------------------------------------------------------------------
# The installed commands


def installed_command(name: str) -> Path:
    """Path of an installed command (korvantyr-scan, korvantyr-monitor...): beside the interpreter
    running the tests, where pip put the project's scripts."""
    return executable_or_skip(
        Path(sys.executable).parent / name,
        f"{name} not found beside {sys.executable}: install the project (pip install .)")


def executable_or_skip(path: Path, message: str) -> Path:
    """``path`` if it is an executable file; otherwise the test is skipped with ``message``, or
    fails under CI, where every tool must have been built."""
    if path.is_file() and os.access(path, os.X_OK):
        return path
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

    def count(self, request_id: int) -> int:
        """Queries of ``request_id`` the robot received since it started or was last reset."""
        answer = self.control(f"count {request_id}")
        prefix = f"OK count {request_id} "
        assert answer.startswith(prefix), answer
        return int(answer[len(prefix):])

    def stop(self, timeout: float = 10.0) -> int:
        if self.proc.stdin is not None and not self.proc.stdin.closed:
            with contextlib.suppress(OSError):
                self.proc.stdin.close()
        return super().stop(timeout)


def start_controlled_sim(directory: Path, serial: str | None = None, *, args: Sequence[str] = (),
                         ready_timeout: float = 30.0, prefix: Sequence[str] = ()) -> ControlledSim:
    """Start a simulated robot whose stdin and stdout are the control channel; the caller must be
    inside the namespace (or give ``prefix``, the command that runs it in another host) and stop
    the robot."""
    serial = serial or f"SIMC-{os.getpid()}-{next(_serials)}"
    stderr_path = directory / f"sim-{serial}.stderr"
    cmd = [*prefix, sys.executable, "-m", "korvantyr_sim", "--serial", serial, *args]
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


@contextlib.contextmanager
def module_sim(directory: Path, serial: str) -> Iterator[ControlledSim]:
    """A controlled robot for a whole test module (its fixtures reset it around each test)."""
    robot = start_controlled_sim(directory, serial, args=["--rate", "200"])
    try:
        yield robot
    finally:
        robot.stop()
    check_sim_stderr([robot])


@contextlib.contextmanager
def connected_child(directory: Path, name: str, serial: str) -> Iterator["ClientProcess"]:
    """A client child process holding one connected client ``name`` (quiet) for a whole module."""
    child = ClientProcess(directory / "client.stderr")
    try:
        outcome = child.connect(name, serial, verbose=False, attempts=5)
        assert outcome.raised is None, outcome
        yield child
    finally:
        child.stop()


def reset_around(robot: ControlledSim) -> Iterator[ControlledSim]:
    """Body of a fixture: the robot with its command-line behaviour and no query counted, before
    and after the test."""
    robot.command("reset")
    yield robot
    robot.command("reset")


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


# ------------------------------------------------------------------------------------------------
# Clients in a child process: commands on stdin, the library's log lines and the answers on stdout

import json  # noqa: E402
import re  # noqa: E402
from typing import Any  # noqa: E402

# The child runs one JSON command per line and answers each with one line "@@ <json>" once it is
# done, so every log line the library wrote meanwhile comes before that answer.
_CLIENT_CHILD = r'''
import json
import sys

import korvantyr

RECORDS = (korvantyr.RobotStates, korvantyr.RobotActions, korvantyr.PrimitiveStates,
           korvantyr.PlanInfo)
clients = {}


def plain(value):
    if isinstance(value, korvantyr.JointGroup):
        return int(value)
    if isinstance(value, dict):
        return [[plain(k), plain(v)] for k, v in value.items()]
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, RECORDS):
        return {n: plain(getattr(value, n)) for n in dir(value) if not n.startswith("_")}
    return value


def run(command):
    op, name = command["op"], command.get("name")
    if op == "connect":
        attempts = command["attempts"]
        for attempt in range(attempts):
            try:
                clients[name] = korvantyr.Client(command["serial"], command["verbose"])
                return None
            except RuntimeError as exc:
                if "Failed to connect to [" not in str(exc) or attempt + 1 == attempts:
                    raise
    if op == "call":
        return plain(getattr(clients[name], command["method"])())
    if op == "drop":
        del clients[name]
        return None
    raise ValueError("unknown command " + op)


for line in sys.stdin:
    command = json.loads(line)
    try:
        answer = {"value": run(command)}
    except Exception as exc:
        answer = {"raised": [type(exc).__name__, str(exc)]}
    print("@@ " + json.dumps(answer), flush=True)
'''

# The default logger's default pattern: "[2024-05-01 12:00:00.123] [info] text".
_LOG_LINE = re.compile(r"^\[\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\] \[([a-z]+)\] (.*)$")


@dataclass
class ChildOutcome:
    """What one command of a ``ClientProcess`` produced: the log lines written meanwhile as
    (level, text), lines that are not log lines as ("?", line), and its value or exception."""

    log: list[tuple[str, str]]
    value: Any = None
    raised: tuple[str, str] | None = None

    @property
    def lines(self) -> list[str]:
        return [text for _, text in self.log]


class ClientProcess:
    """A Python process, inside the caller's namespace, that creates, queries and destroys
    korvantyr clients by name on command; the library's default logger writes to its stdout."""

    def __init__(self, stderr_path: Path, prefix: Sequence[str] = ()) -> None:
        # prefix: the command that runs the process in another host (netns.Host.argv).
        self.stderr_path = stderr_path
        with open(stderr_path, "w") as err:
            self.proc = subprocess.Popen([*prefix, sys.executable, "-c", _CLIENT_CHILD],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=err, text=True)
        self._lines: queue.Queue[str | None] = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        assert self.proc.stdout is not None
        for line in self.proc.stdout:
            self._lines.put(line.rstrip("\n"))
        self._lines.put(None)

    def send(self, command: dict[str, Any], timeout: float = 60.0) -> ChildOutcome:
        self.start(command)
        return self.outcome(command, timeout)

    def start(self, command: dict[str, Any]) -> None:
        """Send a command without waiting for it; ``outcome`` waits."""
        assert self.proc.stdin is not None
        self.proc.stdin.write(json.dumps(command) + "\n")
        self.proc.stdin.flush()

    def outcome(self, command: dict[str, Any], timeout: float = 60.0) -> ChildOutcome:
        """What the command sent last by ``start`` produced, once it is done."""
        log: list[tuple[str, str]] = []
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self._lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                pytest.fail(f"client process: no answer to {command} within {timeout} s",
                            pytrace=False)
            if line is None:
                pytest.fail(f"client process ended during {command}:\n"
                            + self.stderr_path.read_text(errors="replace"), pytrace=False)
            if line.startswith("@@ "):
                answer = json.loads(line[3:])
                raised = answer.get("raised")
                return ChildOutcome(log, answer.get("value"),
                                    tuple(raised) if raised is not None else None)
            match = _LOG_LINE.match(line)
            log.append((match[1], match[2]) if match else ("?", line))

    def connect(self, name: str, serial: str, verbose: bool, attempts: int = 1) -> ChildOutcome:
        """Construct client ``name``; with ``attempts`` > 1 a construction that found no robot is
        repeated (a fresh session may not know the robot yet)."""
        return self.send({"op": "connect", "name": name, "serial": serial, "verbose": verbose,
                          "attempts": attempts})

    def call(self, name: str, method: str) -> ChildOutcome:
        """Call a method of client ``name`` without arguments; dicts come back as [key, value]
        pairs in their order, records as dicts of their fields, JointGroup keys as numbers."""
        return self.send({"op": "call", "name": name, "method": method})

    def call_until(self, name: str, method: str, done: Callable[[ChildOutcome], bool],
                   timeout: float = 10.0) -> ChildOutcome:
        """Call ``method`` until ``done(outcome)``: samples sent before a robot's control command
        was acknowledged may still be on their way."""
        deadline = time.monotonic() + timeout
        while not done(outcome := self.call(name, method)):
            assert time.monotonic() < deadline, f"{method}() stayed {outcome}"
            time.sleep(0.01)
        return outcome

    def drop(self, name: str) -> ChildOutcome:
        """Let go of client ``name`` (its destructor runs at once)."""
        return self.send({"op": "drop", "name": name})

    def stop(self, timeout: float = 30.0) -> int:
        returncode = end_child(self.proc, timeout)
        self._reader.join(timeout)
        if self.proc.stdout is not None and not self._reader.is_alive():
            self.proc.stdout.close()
        return returncode


@pytest.fixture
def client_process(netns: netns_harness.Namespace,
                   tmp_path: Path) -> Iterator[Callable[[], ClientProcess]]:
    """Factory: ``client_process()`` starts a ``ClientProcess``; stopped at teardown."""
    started: list[ClientProcess] = []

    def start() -> ClientProcess:
        started.append(ClientProcess(tmp_path / f"client-{len(started)}.stderr"))
        return started[-1]

    yield start
    for child in reversed(started):
        with contextlib.suppress(Exception):
            child.stop()
