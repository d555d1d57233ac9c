"""What the reliability drivers (soak.py, faults.py, exposure.py) share: the simulated robot, the
stream counter and the client process as children, the checks of a client's answers, a process's
figures from /proc, and the lines that name the machine, the versions and the command in their
reports.

The drivers enter their network namespace before they start any child, so every child is inside
it. ``connect`` and ``answer_checks`` run in the client processes, which import korvantyr; the rest
runs in the driver. Standard library only; the children are found relative to this checkout.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import json
import os
import platform
import queue
import re
import select
import shlex
import subprocess
import sys
import tempfile
import threading
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from importlib import metadata
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
SIM_DIR = REPO / "sim"
DEFAULT_COUNTER = REPO / "build" / "cmake" / "bench" / "kvn-stream-counter"
sys.path.insert(0, str(REPO / "tests" / "support"))
import netns  # noqa: E402  (the drivers take it from here)
from children import end_child  # noqa: E402

# Samples put before a pause was acknowledged may still be on their way for this long.
IN_FLIGHT = 0.3


class SetupError(RuntimeError):
    """The run could not be set up (a child did not start); the drivers exit with status 2."""


def sim_env() -> dict[str, str]:
    """The environment of a child that imports this checkout's simulated robot."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(SIM_DIR), env.get("PYTHONPATH")) if p)
    return env


class LineChild:
    """A child process whose stdout is read line by line on a thread; ``line()`` waits for one."""

    def __init__(self, argv: Sequence[str], stderr_path: Path, *, env: dict[str, str] | None = None,
                 stdin: int = subprocess.PIPE) -> None:
        self.argv = list(argv)
        self.stderr_path = stderr_path
        with open(stderr_path, "w") as err:
            self.proc = subprocess.Popen(self.argv, stdin=stdin, stdout=subprocess.PIPE,
                                         stderr=err, text=True, env=env)
        self._lines: queue.Queue[str | None] = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self) -> None:
        assert self.proc.stdout is not None
        for line in self.proc.stdout:
            self._lines.put(line.rstrip("\n"))
        self._lines.put(None)

    def line(self, timeout: float) -> str | None:
        """The next line, or None at the end of the output or after ``timeout`` seconds."""
        try:
            return self._lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def send(self, text: str) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def stderr(self) -> str:
        return self.stderr_path.read_text(errors="replace")

    def stop(self, timeout: float = 15.0, terminate: bool = True) -> int:
        """Ends the child (closing its stdin, then SIGTERM if ``terminate``, SIGKILL if it does not
        end in time) and returns its exit status (negative: the signal that ended it)."""
        returncode = end_child(self.proc, timeout, terminate)
        self._reader.join(timeout)
        return returncode


class Sim(LineChild):
    """The simulated robot with its control channel (``korvantyr-sim --help``)."""

    def __init__(self, serial: str, args: Sequence[str], stderr_path: Path,
                 ready_within: float = 60.0, prefix: Sequence[str] = ()) -> None:
        # prefix: the command that runs it in another host (netns.Host.argv).
        super().__init__([*prefix, sys.executable, "-m", "korvantyr_sim", "--serial", serial,
                          *args], stderr_path, env=sim_env())
        self.serial = serial
        if self.line(ready_within) != "READY":
            self.stop()
            raise SetupError(f"the simulated robot did not start:\n{self.stderr()}")
        self.ready_at = time.monotonic()

    def command(self, command: str, timeout: float = 30.0) -> str:
        """Sends a control command; returns what its "OK <command>" answer adds (may be "")."""
        self.send(command)
        answer = self.line(timeout)
        expected = "OK " + " ".join(command.split())
        if answer is None or not answer.startswith(expected):
            raise SetupError(f"the simulated robot answered {answer!r} to {command!r}")
        return answer[len(expected):].strip()

    def published(self) -> dict[str, int]:
        words = self.command("published").split()
        return {words[i]: int(words[i + 1]) for i in range(0, len(words), 2)}

    def queries(self, request_id: int) -> int:
        return int(self.command(f"count {request_id}"))

    def complaints(self) -> str:
        """The robot's stderr if it reports a failure of its own (a traceback), else ""."""
        err = self.stderr()
        return err if "Traceback" in err or "korvantyr-sim:" in err else ""


class Counter(LineChild):
    """kvn-stream-counter: every sample of the robot's two streams, and how many decode."""

    def __init__(self, path: Path, serial: str, stderr_path: Path) -> None:
        if not (path.is_file() and os.access(path, os.X_OK)):
            raise SetupError(f"{path} not found: build it first (./scripts/test.sh builds it)")
        super().__init__([str(path), serial], stderr_path)
        if self.line(30.0) != "READY":
            self.stop()
            raise SetupError(f"kvn-stream-counter did not start:\n{self.stderr()}")

    def count(self) -> dict[str, tuple[int, int]]:
        """Per stream: (received, decoded)."""
        self.send("count")
        answer = self.line(30.0)
        if answer is None:
            raise SetupError(f"kvn-stream-counter ended:\n{self.stderr()}")
        w = answer.split()
        return {w[0]: (int(w[1]), int(w[2])), w[3]: (int(w[4]), int(w[5]))}


# ------------------------------------------------------------------------------------------------
# A client process: a Python script run again with --client, answering on a pipe of its own


class Publisher(LineChild):
    """kvn-bench-publisher and its control channel."""

    def __init__(self, path: Path, serial: str, groups: str, rate: int, stderr_path: Path) -> None:
        super().__init__([str(path), "--serial", serial, "--groups", groups, "--rate", str(rate)],
                         stderr_path)
        if self.line(30.0) != "READY":
            self.stop()
            raise SetupError(f"kvn-bench-publisher did not start:\n{self.stderr()}")

    def command(self, command: str) -> str:
        self.send(command)
        answer = self.line(30.0)
        if answer is None or not answer.startswith("OK " + command.split()[0]):
            raise SetupError(f"kvn-bench-publisher answered {answer!r} to {command!r}:\n"
                             f"{self.stderr()}")
        return answer

    def count(self) -> tuple[int, float, float]:
        """Samples put per stream, seconds since start, CPU seconds of the publisher."""
        w = self.command("count").split()
        return int(w[3]), float(w[7]), float(w[9])

    def still(self) -> None:
        """Pauses and waits until what was put has arrived."""
        self.command("pause")
        time.sleep(IN_FLIGHT)


class Floor(LineChild):
    """kvn-bench-floor, subscriptions that only count; ``argv`` runs it (its path and the serial,
    or those wrapped to run on a host of the test network)."""

    def __init__(self, argv: list[str], stderr_path: Path) -> None:
        super().__init__(argv, stderr_path)
        if self.line(30.0) != "READY":
            self.stop()
            raise SetupError(f"kvn-bench-floor did not start:\n{self.stderr()}")

    def sample(self) -> tuple[int, int]:
        """(samples received on both streams, process CPU nanoseconds)."""
        self.send("count")
        w = (self.line(30.0) or "").split()
        if len(w) != 6:
            raise SetupError(f"kvn-bench-floor ended:\n{self.stderr()}")
        return int(w[1]) + int(w[3]), int(w[5])


class ClientChild:
    """A driver script (``script``) started again as a client process. Its stdout is the library's
    log, counted by level; it answers with one JSON object per line on the pipe ``--control-fd``
    and takes its commands on stdin."""

    def __init__(self, script: Path, args: Sequence[str], stderr_path: Path) -> None:
        read_fd, write_fd = os.pipe()
        self.stderr_path = stderr_path
        with open(stderr_path, "w") as err:
            self.proc = subprocess.Popen(
                [sys.executable, str(script), "--client", "--control-fd", str(write_fd), *args],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err, text=True,
                pass_fds=(write_fd,))
        os.close(write_fd)
        self.answers = os.fdopen(read_fd, "r")
        self.ended = False  # the answer pipe reached its end: the process is gone
        self.levels: collections.Counter[str] = collections.Counter()
        self.error_lines: list[str] = []  # the first few lines above info level
        self._log = threading.Thread(target=self._read_log, daemon=True)
        self._log.start()

    def _read_log(self) -> None:
        assert self.proc.stdout is not None
        for line in self.proc.stdout:
            # The default logger's pattern: "[2024-05-01 12:00:00.123] [info] text".
            parts = line.split("] [", 1)
            level = parts[1].split("]", 1)[0] if len(parts) == 2 else "other"
            self.levels[level] += 1
            if level not in ("info", "debug", "trace") and len(self.error_lines) < 5:
                self.error_lines.append(line.rstrip())

    def log_lines(self) -> int:
        return sum(list(self.levels.values()))  # list() copies at once: the reader may add

    def log_problems(self) -> int:
        """Lines logged above info level (and lines that are not log lines)."""
        levels = dict(self.levels)
        return sum(n for level, n in levels.items() if level not in ("info", "debug", "trace"))

    def answer(self, timeout: float) -> dict | None:
        """The next answer, or None after ``timeout`` seconds or once the process has gone."""
        ready, _, _ = select.select([self.answers], [], [], timeout)
        if not ready:
            return None
        line = self.answers.readline()
        if not line:
            self.ended = True
            return None
        return json.loads(line)

    def ask(self, command: dict, timeout: float) -> dict:
        self.send(json.dumps(command))
        answer = self.answer(timeout)
        if answer is None:
            raise SetupError(f"the client process gave no answer to {command} "
                             f"({exit_text(self.proc.poll())}):\n{self.stderr_tail()}")
        return answer

    def send(self, text: str) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()

    def stderr_tail(self, size: int = 2000) -> str:
        return self.stderr_path.read_text(errors="replace")[-size:]

    def stop(self, timeout: float = 30.0) -> int:
        returncode = end_child(self.proc, timeout)
        self._log.join(timeout)
        return returncode


def connect(korvantyr, serial: str, attempts: int = 5):
    """A quiet client; a construction that found no robot is repeated (a fresh session may not
    know the robot's queryable yet)."""
    for attempt in range(attempts):
        try:
            return korvantyr.Client(serial, verbose=False)
        except RuntimeError as exc:
            if "Failed to connect to [" not in str(exc) or attempt + 1 == attempts:
                raise
    raise AssertionError("unreachable")


PRIMITIVES = ("MoveJ", "MoveL", "Contact", "Hold")  # the simulated robot's plan


def answer_checks(korvantyr, dofs: dict) -> dict:
    """Per query, a function that says what is wrong with an answer from the simulated robot
    ("" when nothing): the joint groups and DoF of ``dofs`` (group: DoF, in order), its plan,
    primitive names and scores from 0 to 100."""
    groups = list(dofs)

    def states(result) -> str:
        got = {g: len(s.q) for g, s in result.items()}
        return "" if got == dofs else f"groups and DoF {got}"

    def actions(result) -> str:
        got = {g: len(a.q_d) for g, a in result.items()}
        return "" if got == dofs else f"groups and DoF {got}"

    def plan(result) -> str:
        ok = isinstance(result, korvantyr.PlanInfo) and result.assigned_plan_name == "PickAndPlace"
        return "" if ok else f"plan {getattr(result, 'assigned_plan_name', result)!r}"

    def primitives(result) -> str:
        names = {g: p.pt_name for g, p in result.items()}
        ok = list(names) == groups and all(n in PRIMITIVES for n in names.values())
        return "" if ok else f"primitives {names}"

    def scores(result) -> str:
        ok = list(result) == groups and all(
            0.0 <= s <= 100.0 for pair in result.values() for s in pair)
        return "" if ok else f"scores {result}"

    def flag(result) -> str:
        return "" if type(result) is bool else f"not a bool: {result!r}"

    def io(result) -> str:
        ok = type(result) is list and len(result) == 20 and all(type(b) is bool for b in result)
        return "" if ok else f"not 20 bools: {result!r}"

    def named(result) -> str:
        ok = list(result) == groups and all(result[g] == g.name for g in groups)
        return "" if ok else f"groups {result}"

    return {"states": states, "actions": actions, "plan_info": plan,
            "primitive_states": primitives, "configuration_score": scores,
            "connected": lambda r: "" if r is True else "connected() false",
            "groups": named, "estop_released": flag, "enabling_device_on": flag,
            "digital_inputs": io, "digital_outputs": io}


# ------------------------------------------------------------------------------------------------
# A process's figures


@dataclass
class ProcFigures:
    rss_kib: int
    threads: int
    fds: int
    cpu_s: float  # user and system time so far


def proc_figures(pid: int | str = "self") -> ProcFigures | None:
    """Resident memory, threads, open descriptors and CPU time of a process (None once it is
    gone)."""
    base = f"/proc/{pid}"
    try:
        rss = 0
        with open(f"{base}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    rss = int(line.split()[1])
        with open(f"{base}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        tick = os.sysconf("SC_CLK_TCK")
        cpu = (int(fields[11]) + int(fields[12])) / tick
        return ProcFigures(rss, len(os.listdir(f"{base}/task")), len(os.listdir(f"{base}/fd")), cpu)
    except (FileNotFoundError, ProcessLookupError, IndexError, ValueError):
        return None


def exit_text(status: int | None) -> str:
    if status is None:
        return "still running"
    if status < 0:
        import signal

        return f"killed by {signal.Signals(-status).name}"
    return f"exit status {status}"


# ------------------------------------------------------------------------------------------------
# Report lines


def _version(dist: str) -> str:
    try:
        return metadata.version(dist)
    except metadata.PackageNotFoundError:
        return "not installed"


def _bridge_zenoh_version() -> str:
    lines = (REPO / "bridge" / "Cargo.lock").read_text().splitlines()
    for i, line in enumerate(lines[:-1]):
        if line == 'name = "zenoh"' and lines[i + 1].startswith("version = "):
            return lines[i + 1].split('"')[1]
    return "unknown"


def _commit() -> str:
    try:
        head = subprocess.run(["git", "-C", str(REPO), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        # The generated reports do not count: a run rewrites the one it reports into.
        dirty = subprocess.run(["git", "-C", str(REPO), "status", "--porcelain",
                                "--untracked-files=no", "--", ".", ":!BENCHMARKS.md",
                                ":!RELIABILITY.md"], capture_output=True, text=True,
                               check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return "unknown commit"
    return head + (" with local changes" if dirty else "")


def _cpu_model() -> str:
    with contextlib.suppress(OSError):
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    return platform.processor() or "unknown CPU"


def _memory_gib() -> float:
    with open("/proc/meminfo") as info:
        for line in info:
            if line.startswith("MemTotal:"):
                return int(line.split()[1]) / 2**20
    return 0.0


def loadavg() -> str:
    one, five, fifteen = os.getloadavg()
    return f"{one:.2f} / {five:.2f} / {fifteen:.2f}"


@dataclass
class RunInfo:
    """Who ran what where, taken at the start of a run."""

    command: str
    started: str = field(default_factory=lambda: time.strftime("%Y-%m-%d %H:%M %Z"))
    load_before: str = field(default_factory=loadavg)
    commit: str = field(default_factory=_commit)

    def rows(self, load_after: str) -> list[tuple[str, str]]:
        u = platform.uname()
        return [
            ("Command", f"`{self.command}`"),
            ("Machine", f"{u.system} {u.release} {u.machine}, {_cpu_model()}, "
                        f"{os.cpu_count()} CPUs, {_memory_gib():.1f} GiB"),
            ("Versions", f"korvantyr {_version('korvantyr')} ({self.commit}), Python "
                         f"{platform.python_version()}, Zenoh {_bridge_zenoh_version()} "
                         f"(client bridge), eclipse-zenoh {_version('eclipse-zenoh')} (robot)"),
            ("Run", f"{self.started}; load average (1 / 5 / 15 min) {self.load_before} "
                    f"before, {load_after} after"),
        ]


def command_line(argv: Sequence[str]) -> str:
    """The command as a user types it from the checkout: sudo, the venv's python, the script."""
    script = Path(argv[0]).resolve()
    with contextlib.suppress(ValueError):
        script = script.relative_to(REPO)
    python = Path(sys.executable)
    with contextlib.suppress(ValueError):
        python = python.relative_to(REPO)
    return shlex.join(["sudo", str(python), str(script), *argv[1:]])


_NUMBER = re.compile(r"[+-]?[0-9][0-9,]*(\.[0-9]+)?%?|n/a")


def run_table(info: "RunInfo", passed: bool, extra: Sequence[Sequence[object]]) -> list[str]:
    """The table that opens a generated section: the result, the run's facts, then ``extra``."""
    return table(["", ""], [["Result", "PASS: every check below passed" if passed
                             else "FAIL: a check below failed"]]
                 + [list(row) for row in info.rows(loadavg())] + [list(row) for row in extra])


def write_section(report: Path, lines: Sequence[str], begin: str, end: str) -> None:
    """Puts a generated section (``lines``, from ``begin`` to ``end``) in place of its previous
    version in ``report``, or at its end."""
    text = report.read_text() if report.exists() else ""
    section = "\n".join(lines) + "\n"
    if begin in text and end in text:
        head, rest = text.split(begin, 1)
        text = head + section + rest.split(end, 1)[1].lstrip("\n")
    else:
        text = text.rstrip("\n") + ("\n\n" if text else "") + section
    report.write_text(text)


def table(header: Sequence[str], rows: Sequence[Sequence[object]]) -> list[str]:
    """A markdown table; columns of numbers are right-aligned."""
    numeric = [i > 0 and bool(rows) and all(_NUMBER.fullmatch(str(row[i])) for row in rows)
               for i in range(len(header))]
    out = ["| " + " | ".join(header) + " |",
           "|" + "|".join("---:" if n else "---" for n in numeric) + "|"]
    out += ["| " + " | ".join(str(c) for c in row) + " |" for row in rows]
    return out


def key_value_table(rows: Sequence[tuple[str, str]]) -> list[str]:
    return ["| | |", "|---|---|"] + [f"| {k} | {v} |" for k, v in rows]


def add_driver_arguments(parser: argparse.ArgumentParser) -> None:
    """The options every driver has: its report file, and the hidden ones that start the same
    script as the driver's client process."""
    parser.add_argument("--report", type=Path, help="also write the report to this file")
    parser.add_argument("--client", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--control-fd", type=int, help=argparse.SUPPRESS)


def kept_sections(report: Path) -> str:
    """The sections that other drivers put into ``report`` (between "<!-- section NAME" and
    "<!-- end NAME -->" lines), which a driver rewriting the report keeps."""
    if not report.exists():
        return ""
    kept = re.findall(r"^(<!-- section (\S+?):.*?^<!-- end \2 -->\n)", report.read_text(),
                      re.MULTILINE | re.DOTALL)
    return "".join("\n" + block for block, _ in kept)


def run_driver(args: argparse.Namespace, client_main: Callable[[argparse.Namespace], int],
               body: Callable[[RunInfo, Path], tuple[list[str], bool]]) -> int:
    """A driver's whole run. Started as its own client process it runs ``client_main``; otherwise
    ``body(info, workdir)`` runs inside a private network namespace with a scratch folder and
    gives the report's lines and whether everything passed. The report goes to stdout (and to
    ``--report``). Exit status: 0 passed, 1 failed, 2 could not run."""
    if args.client:
        return client_main(args)
    name = Path(sys.argv[0]).name
    if os.geteuid() != 0:
        print(f"{name} runs its processes in a private network namespace: run it as root",
              file=sys.stderr)
        return 2
    info = RunInfo(command_line(sys.argv))
    try:
        with netns.entered(), tempfile.TemporaryDirectory(prefix=f"kvn-{Path(name).stem}-") as work:
            lines, passed = body(info, Path(work))
    except (SetupError, netns.NamespaceError) as exc:
        print(f"{name}: {exc}", file=sys.stderr)
        return 2
    text = "\n".join(lines) + "\n"
    sys.stdout.write(text)
    if args.report is not None:
        args.report.write_text(text + kept_sections(args.report))
    return 0 if passed else 1
