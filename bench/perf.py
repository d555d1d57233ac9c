#!/usr/bin/env python3
"""End-to-end performance of korvantyr against a raw floor and a pure-Python client; writes
BENCHMARKS.md.

    sudo .venv/bin/python bench/perf.py [--before DIR] [--quick]

Needs root and the built tools: the Python module (build/cmake/python, or --current DIR), the
floor subscriber kvn-bench-floor (``cmake --build build/cmake --target kvn-bench-floor``) and the
native publisher (``cd bench/publisher && CARGO_TARGET_DIR=../../bridge/target cargo build
--release --locked``). --before DIR adds a second korvantyr module, measured in the same run beside
the current one (``bench/build_before.sh REV`` builds one and prints its DIR). Each module is
imported from its directory, ahead of whatever the venv has installed.

Inside a private network namespace, per robot layout (16 joints: ARM_1:7, ARM_2:7, EXT_AXIS:2; 56
joints: 24, 24, 8) the driver starts the simulated robot with --no-streams (it answers the remote
procedures, as the service contract says) and kvn-bench-publisher, which publishes both streams at
the rate asked for. Then one subject process at a time, never two at once:

1. Ingest, at 1, 5 and 10 kHz per stream: CPU per received sample (the subject's own process CPU
   time, CLOCK_PROCESS_CPUTIME_ID, over a window, divided by the samples of both streams) of the
   floor (kvn-bench-floor: two subscriptions on the client's Zenoh bridge that only count), of a
   Python process holding one ``korvantyr.Client(SN, verbose=False)`` and otherwise asleep, and of
   the same process with bench/pyclient.py's client. The floor counts its samples; for the Python
   subjects the publisher's count over the window is used (Block congestion control drops nothing:
   the floor's count is checked equal to the publisher's, between two pauses). The subjects take
   turns, a fresh process and one window each per turn, so that a drift of the machine's state
   falls on all of them alike.
2. Queries from Python with the stream at 1 kHz: the median time of each call.
3. Remote calls: ``connected()`` and ``plan_info()`` against a raw eclipse-zenoh get of the same
   request bytes from a process that does nothing else.
4. Scale: 1, 10 and 20 clients of one robot in one process at 1 kHz.
Before the queries, with the publisher paused, a process holding both a korvantyr client and the
pure-Python client compares every answer; any difference fails the run (exit status 1).

Every figure is the median over repetitions (windows or rounds of calls) with their spread; every
ratio is taken between figures of this run. Progress goes to stderr, the report to stdout and to
--report (default BENCHMARKS.md at the repository root; build/perf-quick.md with --quick). Exit
status: 0 when every check passed, 1 when one failed, 2 when the run could not be set up.
"""

from __future__ import annotations

import argparse
import json
import os
import re
import statistics
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import harness
from harness import IN_FLIGHT, Floor, Publisher, SetupError, Sim

REPO = Path(__file__).resolve().parents[1]
BENCH = REPO / "bench"
DEFAULT_MODULE = REPO / "build" / "cmake" / "python"
DEFAULT_FLOOR = REPO / "build" / "cmake" / "bench" / "kvn-bench-floor"
DEFAULT_PUBLISHER = REPO / "bridge" / "target" / "release" / "kvn-bench-publisher"

STEADY_RATE = 1000  # Hz per stream while the queries, the remote calls and the scale are measured
LAYOUTS = {16: "ARM_1:7,ARM_2:7,EXT_AXIS:2", 56: "ARM_1:24,ARM_2:24,EXT_AXIS:8"}
STATE_FIELDS = ("timestamp", "q", "theta", "dq", "dtheta", "tau", "tau_dot", "tau_ext",
                "tau_interact", "temperature", "flange_pose", "tcp_pose", "tcp_twist",
                "tcp_wrench", "tcp_wrench_local", "raw_tcp_wrench", "raw_tcp_wrench_local",
                "raw_ft_sensor")
ACTION_FIELDS = ("timestamp", "q_d", "dq_d", "tau_d", "tcp_pose_d", "tcp_twist_d",
                 "tcp_wrench_d")
PLAN_FIELDS = ("pt_name", "node_name", "node_path", "node_path_time_period", "node_path_number",
               "assigned_plan_name", "velocity_scale", "waiting_for_step")
QUERIES = ("states", "states+fields", "groups", "actions", "estop_released",
           "enabling_device_on", "digital_inputs", "digital_outputs")
QUERY_GOALS = {"states": 0.1, "states+fields": 0.5}  # the others: 1.0
REMOTE = ("connected", "plan_info")
REMOTE_GOAL = 1.05
INGEST_GOAL = 1.15
# The same request bytes korvantyr sends: request_id (uint16), then an empty joint-group list.
REQUEST_BYTES = {"connected": (bytes([0, 0, 0]), 1.0), "plan_info": (bytes([4, 0, 0]), 2.0)}


@dataclass(frozen=True)
class Plan:
    rates: tuple[int, ...] = (1000, 5000, 10000)
    layouts: tuple[int, ...] = (16, 56)
    reps: int = 4
    window: float = 2.0  # seconds of one CPU window, at least
    window_samples: int = 8000  # samples of both streams in one window, at least
    warmup: float = 1.0
    query_calls: int = 3000  # calls of each query per round
    query_reps: int = 6  # rounds of the queries and remote calls, a fresh process each
    remote_calls: int = 200
    scale: tuple[int, ...] = (1, 10, 20)


QUICK = Plan(rates=(1000, 10000), layouts=(16, 56), reps=3, window=0.5, window_samples=0,
             warmup=0.5, query_calls=300, query_reps=3, remote_calls=40, scale=(1, 10))

_started = time.monotonic()


def progress(text: str) -> None:
    print(f"[perf {time.monotonic() - _started:6.1f} s] {text}", file=sys.stderr, flush=True)


# ------------------------------------------------------------------------------------------------
# The subject process (perf.py --client --kind KIND): korvantyr, pyclient, raw or check


def _rss_kib() -> int:
    figures = harness.proc_figures()
    return figures.rss_kib if figures else 0


def _import_korvantyr(directory: str):
    sys.path.insert(0, directory)
    import korvantyr

    if Path(korvantyr.__file__).resolve().parent != Path(directory).resolve():
        raise SetupError(f"korvantyr came from {korvantyr.__file__}, not from {directory}")
    return korvantyr


def _pyclient(serial: str, attempts: int = 5):
    sys.path.insert(0, str(BENCH))
    import pyclient

    for attempt in range(attempts):
        try:
            return pyclient.Client(serial)
        except RuntimeError as exc:
            if "Failed to connect to [" not in str(exc) or attempt + 1 == attempts:
                raise
    raise AssertionError("unreachable")


def _query_functions(client) -> dict:
    def states_fields() -> float:
        # Every attribute of every record, so that the conversion of each is really done.
        total = 0.0
        for s in client.states().values():
            total += s.timestamp[0]
            for v in (s.q, s.theta, s.dq, s.dtheta, s.tau, s.tau_dot, s.tau_ext, s.tau_interact,
                      s.temperature, s.flange_pose, s.tcp_pose, s.tcp_twist, s.tcp_wrench,
                      s.tcp_wrench_local, s.raw_tcp_wrench, s.raw_tcp_wrench_local,
                      s.raw_ft_sensor):
                total += len(v) + (v[0] if v else 0.0)
        return total

    return {"states": client.states, "states+fields": states_fields, "groups": client.groups,
            "actions": client.actions, "estop_released": client.estop_released,
            "enabling_device_on": client.enabling_device_on,
            "digital_inputs": client.digital_inputs, "digital_outputs": client.digital_outputs,
            "connected": client.connected, "plan_info": client.plan_info}


BATCH_US = 2.0  # a timed batch of calls lasts about this long, at least


def _median_us(call, n: int) -> float:
    """The median time of one call over ``n`` calls. Reading the clock costs about as much as the
    cheapest calls (some 80 ns here), so calls shorter than BATCH_US are timed in batches and each
    batch counts as its calls' mean; the batch size comes from a first look at the call."""
    clock = time.perf_counter_ns
    durations = []
    for _ in range(min(n, 50)):
        start = clock()
        call()
        durations.append(clock() - start)
    batch = max(1, min(50, int(BATCH_US * 1000.0 / max(1.0, statistics.median(durations)))))
    durations = []
    calls = range(batch)
    for _ in range(max(1, n // batch)):
        start = clock()
        for _ in calls:
            call()
        durations.append((clock() - start) / batch)
    return statistics.median(durations) / 1000.0


def _rounds(calls: dict, names, n: int, reps: int) -> dict[str, list[float]]:
    """Per call, the median of each of ``reps`` rounds; the rounds go through every call in turn."""
    out: dict[str, list[float]] = {name: [] for name in names}
    for _ in range(reps):
        for name in names:
            out[name].append(_median_us(calls[name], n))
    return out


def _plain(record, fields) -> dict:
    return {f: list(getattr(record, f)) if not isinstance(getattr(record, f), (str, bool, float))
            else getattr(record, f) for f in fields}


def _snapshot(client) -> dict:
    """Everything a client answers from the streams, as plain values keyed by group number."""
    return {
        "states": {int(g): _plain(s, STATE_FIELDS) for g, s in client.states().items()},
        "actions": {int(g): _plain(a, ACTION_FIELDS) for g, a in client.actions().items()},
        "groups": {int(g): name for g, name in client.groups().items()},
        "estop_released": client.estop_released(),
        "enabling_device_on": client.enabling_device_on(),
        "digital_inputs": client.digital_inputs(),
        "digital_outputs": client.digital_outputs(),
        "connected": client.connected(),
    }


def _differences(a, b, path: str = "") -> list[str]:
    if isinstance(a, dict) and isinstance(b, dict):
        out = [f"{path}/{k}: only in korvantyr" for k in a if k not in b]
        out += [f"{path}/{k}: only in pyclient" for k in b if k not in a]
        for k in a:
            if k in b:
                out += _differences(a[k], b[k], f"{path}/{k}")
        if list(a) != list(b) and not out:
            out.append(f"{path}: keys in another order")
        return out
    if isinstance(a, list) and isinstance(b, list) and len(a) == len(b):
        return [d for i, (x, y) in enumerate(zip(a, b)) for d in _differences(x, y, f"{path}[{i}]")]
    if type(a) is not type(b) or a != b:
        return [f"{path}: korvantyr {a!r}, pyclient {b!r}"]
    return []


def _compare(korvantyr_client, py_client, groups: dict[int, int]) -> dict:
    """Both clients' answers at a moment when the stream is still; ``groups`` the DoF expected."""
    kv, py = _snapshot(korvantyr_client), _snapshot(py_client)
    problems = _differences(kv, py)
    got = {g: len(s["q"]) for g, s in kv["states"].items()}
    if got != groups:
        problems.append(f"korvantyr's states() holds groups and DoF {got}, expected {groups}")
    values = sum(len(v) if isinstance(v, list) else 1 for part in ("states", "actions")
                 for rec in kv[part].values() for v in rec.values())
    # The plan's texts follow the robot's clock: the pure-Python answer must equal one of the two
    # korvantyr answers around it.
    for _ in range(20):
        before = _plain(korvantyr_client.plan_info(), PLAN_FIELDS)
        middle = _plain(py_client.plan_info(), PLAN_FIELDS)
        after = _plain(korvantyr_client.plan_info(), PLAN_FIELDS)
        if middle in (before, after):
            break
    else:
        problems += _differences(before, middle, "/plan_info")
    return {"equal": not problems, "problems": problems[:10], "values": values}


def client_main(args: argparse.Namespace) -> int:
    control = os.fdopen(args.control_fd, "w", buffering=1)

    def answer(obj: dict) -> None:
        control.write(json.dumps(obj) + "\n")

    rss_start = _rss_kib()
    module = ""
    clients: list = []
    session = None
    if args.kind in ("korvantyr", "check"):
        korvantyr = _import_korvantyr(args.module)
        module = korvantyr.__file__
    rss_import = _rss_kib()
    if args.kind == "korvantyr":
        clients = [harness.connect(korvantyr, args.serial) for _ in range(args.clients)]
    elif args.kind == "pyclient":
        clients = [_pyclient(args.serial)]
    elif args.kind == "check":
        clients = [harness.connect(korvantyr, args.serial), _pyclient(args.serial)]
    elif args.kind == "raw":
        import zenoh

        session = zenoh.open(zenoh.Config())
        key = f"korvan/robot/{args.serial}/rpc"
        deadline = time.monotonic() + 30.0
        while not any(r.ok is not None for r in session.get(
                key, payload=REQUEST_BYTES["connected"][0], timeout=1.0)):
            if time.monotonic() > deadline:
                raise SetupError("the robot does not answer the raw get")

        def raw(name: str):
            payload, timeout = REQUEST_BYTES[name]

            def get() -> int:
                size = 0
                for reply in session.get(key, payload=payload, timeout=timeout):
                    if reply.ok is not None:
                        size += len(reply.ok.payload.to_bytes())
                return size
            return get
    answer({"ready": True, "module": module, "rss_start_kib": rss_start,
            "rss_import_kib": rss_import, "rss_kib": _rss_kib()})

    while True:
        line = sys.stdin.readline()  # the process sleeps here between commands
        if not line:
            break
        command = json.loads(line)
        op = command["op"]
        if op == "cpu":
            answer({"cpu_ns": time.process_time_ns(), "rss_kib": _rss_kib()})
        elif op == "queries":
            calls = _query_functions(clients[0])
            answer(_rounds(calls, QUERIES, command["calls"], command["reps"]))
        elif op == "remote":
            calls = ({name: raw(name) for name in REMOTE} if args.kind == "raw"
                     else _query_functions(clients[0]))
            answer(_rounds(calls, REMOTE, command["calls"], command["reps"]))
        elif op == "compare":
            answer(_compare(clients[0], clients[1], {int(g): d for g, d in command["dofs"]}))
        else:
            answer({"error": f"unknown command {op}"})
    # A pure-Python client's session is closed before the interpreter ends, which it may not
    # survive otherwise.
    for client in clients:
        if hasattr(client, "close"):
            client.close()
    del clients
    if session is not None:
        session.close()
    return 0


# ------------------------------------------------------------------------------------------------
# The driver's children


class Subject:
    """A Python subject process (this script with --client)."""

    def __init__(self, kind: str, serial: str, work: Path, module: Path | None = None,
                 clients: int = 1) -> None:
        args = ["--kind", kind, "--serial", serial, "--clients", str(clients)]
        if module is not None:
            args += ["--module", str(module)]
        self.name = f"{kind}-{serial}-{clients}-{time.monotonic_ns()}"
        self.child = harness.ClientChild(Path(__file__).resolve(), args,
                                         work / f"{self.name}.stderr")
        self.ready = self.child.answer(60.0 + 5.0 * clients)
        if not self.ready or not self.ready.get("ready"):
            self.stop()
            raise SetupError(f"the {kind} subject did not start:\n{self.child.stderr_tail()}")

    def ask(self, command: dict, timeout: float = 300.0) -> dict:
        return self.child.ask(command, timeout)

    def sample(self) -> tuple[None, int]:
        return None, self.ask({"op": "cpu"})["cpu_ns"]

    def problems(self) -> list[str]:
        """Lines the library logged above info level."""
        return list(self.child.error_lines)

    def stop(self) -> int:
        return self.child.stop()


# ------------------------------------------------------------------------------------------------
# Measurements


@dataclass
class Results:
    ingest: dict = field(default_factory=dict)  # (layout, rate, subject) -> figures
    queries: dict = field(default_factory=dict)  # (layout, subject) -> {query: [rounds]}
    remote: dict = field(default_factory=dict)  # subject -> {query: [rounds]}
    scale: dict = field(default_factory=dict)  # (subject, clients) -> figures
    checks: list = field(default_factory=list)  # (what, passed, detail)
    problems: list = field(default_factory=list)


def window_seconds(plan: Plan, rate: int) -> float:
    """Long enough for ``plan.window_samples`` samples: a short window at 1 kHz holds too few
    samples for a steady figure."""
    return max(plan.window, plan.window_samples / (2 * rate))


def _windows(subject, pub: Publisher, plan: Plan, rate: int, reps: int) -> dict:
    """CPU per sample over ``reps`` windows; the floor counts its own samples, the others take the
    publisher's count of both streams."""
    cpu_us, rates, pub_us = [], [], []
    for _ in range(reps):
        p0, s0, pc0 = pub.count()
        n0, c0 = subject.sample()
        time.sleep(window_seconds(plan, rate))
        p1, s1, pc1 = pub.count()
        n1, c1 = subject.sample()
        samples = (n1 - n0) if n0 is not None else 2 * (p1 - p0)
        cpu_us.append((c1 - c0) / 1000.0 / max(1, samples))
        rates.append((p1 - p0) / (s1 - s0))
        pub_us.append((pc1 - pc0) * 1e6 / max(1, 2 * (p1 - p0)))
    return {"cpu_us": cpu_us, "rate": rates, "pub_cpu_us": pub_us}


def measure_ingest(results: Results, layout: int, rate: int, subjects: list[tuple[str, object]],
                   serial: str, pub: Publisher, plan: Plan, work: Path, floor_path: Path) -> None:
    """The subjects take turns, a fresh process and one window each per turn, so that a change
    of the machine's state during the run falls on every subject alike."""
    put = received = 0
    for turn in range(plan.reps):
        for label, module in subjects:
            progress(f"ingest, {layout} joints, {rate} Hz, turn {turn + 1} of {plan.reps}: "
                     f"{label}")
            if label == "floor":
                subject = Floor([str(floor_path), serial],
                                work / f"floor-{layout}-{rate}-{turn}.stderr")
            else:
                kind = "pyclient" if label == "pyclient" else "korvantyr"
                subject = Subject(kind, serial, work, module)
            try:
                time.sleep(plan.warmup)
                if label == "floor":
                    pub.still()
                    received0, _ = subject.sample()
                    put0 = pub.count()[0]
                    pub.command("resume")
                    time.sleep(IN_FLIGHT)
                figures = _windows(subject, pub, plan, rate, reps=1)
                if label == "floor":
                    pub.still()
                    received1, _ = subject.sample()
                    put1 = pub.count()[0]
                    pub.command("resume")
                    put, received = put + 2 * (put1 - put0), received + received1 - received0
                into = results.ingest.setdefault((layout, rate, label), {})
                for name, values in figures.items():
                    into.setdefault(name, []).extend(values)
            finally:
                status = subject.stop(terminate=False) if label == "floor" else subject.stop()
                if label != "floor":
                    results.problems += [f"{label}: logged `{p}`" for p in subject.problems()]
                if status != 0:
                    results.problems.append(f"{label} subject ({layout} joints, {rate} Hz): "
                                            f"{harness.exit_text(status)}")
    results.checks.append((f"floor received every sample ({layout} joints, {rate} Hz)",
                           put == received, f"published {put:,}, received {received:,}"))


def _dofs(layout: int) -> list[tuple[int, int]]:
    a1, a2, ext = (int(part.split(":")[1]) for part in LAYOUTS[layout].split(","))
    return [(0, a1 + a2 + ext), (2, a1 + a2), (3, a1), (4, a2), (5, ext)]


def measure_queries(results: Results, layout: int, modules: list[tuple[str, Path]], serial: str,
                    pub: Publisher, plan: Plan, work: Path, remote: bool) -> None:
    for label, module in modules:
        progress(f"answers of korvantyr ({label}) and pyclient compared, {layout} joints")
        check = Subject("check", serial, work, module)
        try:
            time.sleep(plan.warmup)
            pub.still()
            outcome = check.ask({"op": "compare", "dofs": _dofs(layout)})
            pub.command("resume")
            detail = (f"{outcome['values']:,} values of states() and actions(), groups, flags, "
                      f"I/O, connected, plan_info" if outcome["equal"]
                      else "; ".join(outcome["problems"]))
            results.checks.append((f"pyclient's answers equal module `{label}`'s ({layout} "
                                   "joints)", outcome["equal"], detail))
        finally:
            check.stop()
    subjects = [(label, "korvantyr", module) for label, module in modules]
    subjects.append(("pyclient", "pyclient", None))
    if remote:
        subjects.append(("raw get", "raw", None))
    # One round per process and repetition, the subjects taking turns: a change of the machine's
    # load during the run shows as spread instead of favouring one subject.
    for rep in range(plan.query_reps):
        for label, kind, module in subjects:
            progress(f"queries, {layout} joints, round {rep + 1} of {plan.query_reps}: {label}")
            subject = Subject(kind, serial, work, module)
            try:
                time.sleep(plan.warmup / 2)
                rounds = []
                if kind != "raw":
                    rounds.append((results.queries.setdefault((layout, label), {}), subject.ask(
                        {"op": "queries", "calls": plan.query_calls, "reps": 1})))
                if remote:
                    rounds.append((results.remote.setdefault(label, {}), subject.ask(
                        {"op": "remote", "calls": plan.remote_calls, "reps": 1})))
                for into, got in rounds:
                    for name, values in got.items():
                        into.setdefault(name, []).extend(values)
            finally:
                subject.stop()
                results.problems += [f"{label}: logged `{p}`" for p in subject.problems()]


def measure_scale(results: Results, modules: list[tuple[str, Path]], serial: str,
                  pub: Publisher, plan: Plan, work: Path) -> None:
    for label, module in modules:
        for n in plan.scale:
            progress(f"scale: {n} clients of {label}")
            subject = Subject("korvantyr", serial, work, module, clients=n)
            try:
                time.sleep(plan.warmup)
                figures = _windows(subject, pub, plan, STEADY_RATE, plan.reps)
                rss = subject.ask({"op": "cpu"})["rss_kib"]
                figures["cpu_delivered_us"] = [v / n for v in figures["cpu_us"]]
                figures["rss_kib"] = rss
                figures["rss_per_client_kib"] = (rss - subject.ready["rss_import_kib"]) / n
                results.scale[(label, n)] = figures
            finally:
                subject.stop()
                results.problems += [f"{label} x{n}: logged `{p}`" for p in subject.problems()]


# ------------------------------------------------------------------------------------------------
# The report


def med(values) -> float:
    return statistics.median(values)


def num(x: float) -> str:
    if x >= 100:
        return f"{x:,.0f}"
    if x >= 10:
        return f"{x:.1f}"
    return f"{x:.2f}"


def cell(values) -> str:
    """Median, with the spread of the repetitions."""
    return f"{num(med(values))} ({num(min(values))}–{num(max(values))})"


def ratio(a, b) -> str:
    return f"{med(a) / med(b):.2f}x" if med(b) > 0 else "n/a"


def goal(a, b, limit: float) -> str:
    value = med(a) / med(b)
    return f"{'met' if value <= limit else 'not met'} (<= {limit:g}x)"


def module_origin(directory: Path) -> str:
    """Which revision a module directory holds, where the path tells (build_before.sh's)."""
    match = re.search(r"build/before/([0-9a-f]{7,40})/", str(directory.resolve()) + "/")
    if match:
        return f"revision {match.group(1)} (bench/build_before.sh)"
    built = max(directory.glob("korvantyr*.so"), key=lambda p: p.stat().st_mtime)
    when = time.strftime("%Y-%m-%d %H:%M %Z", time.localtime(built.stat().st_mtime))
    if directory.resolve() == DEFAULT_MODULE.resolve():
        return f"this checkout's build/cmake, module built {when}"
    return f"a module built {when}"


def report(info: harness.RunInfo, plan: Plan, args: argparse.Namespace, results: Results,
           modules: list[tuple[str, Path]], elapsed: float) -> list[str]:
    labels = [label for label, _ in modules]
    before = "before" in labels
    passed = all(ok for _, ok, _ in results.checks) and not results.problems
    rows = [("Result", "PASS: every check below passed" if passed else
             "FAIL: see the checks and problems below")]
    rows += info.rows(harness.loadavg())
    rows += [(f"Module `{label}`", f"`{path}`: {module_origin(path)}") for label, path in modules]
    rows += [
        ("Robot", "kvn-bench-publisher (Rust, zenoh 1.10.2, CongestionControl::Block, a ring of "
                  "pre-encoded samples) for both streams; korvantyr-sim --no-streams for the "
                  "remote procedures"),
        ("Repetitions", f"{plan.reps} CPU windows per figure, of "
                        + ", ".join(f"{window_seconds(plan, r):g} s at {r:,} Hz"
                                    for r in plan.rates)
                        + f" after {plan.warmup:g} s of warm-up; {plan.query_reps} rounds of "
                        f"{plan.query_calls:,} calls per query, {plan.remote_calls:,} per remote "
                        "call"),
        ("Duration", f"{elapsed:.0f} s"),
    ]
    out = ["# Benchmarks", "",
           "Generated by `bench/perf.py`; do not edit by hand. Each figure is the median over the "
           "repetitions, with their range in parentheses; each ratio is taken between medians of "
           "this one run.", ""]
    out += harness.key_value_table(rows) + [""]

    # 1. Ingest
    out += ["## Ingest: CPU per received sample", "",
            "Process CPU time of all threads (CLOCK_PROCESS_CPUTIME_ID) over a window, divided by "
            "the samples of both streams received in it, in µs. The floor counts its own samples; "
            "for the Python subjects the publisher's count is taken (Block congestion control "
            "drops nothing, see the checks). `korvantyr` is a Python process holding one "
            "`korvantyr.Client(SN, verbose=False)` and otherwise asleep; `pyclient` the same "
            "process with bench/pyclient.py. The subjects take turns: each repetition is one "
            "window of a fresh process, after every other subject's window of the turn before.",
            ""]
    header = ["Joints", "Rate per stream", "floor µs", "korvantyr µs"]
    header += ["before µs"] if before else []
    header += ["pyclient µs", "korvantyr / floor", f"goal"]
    header += ["before / floor", "korvantyr / before"] if before else []
    header += ["pyclient / floor"]
    ingest_rows, rate_rows = [], []
    for layout in plan.layouts:
        for rate in plan.rates:
            f = results.ingest.get((layout, rate, "floor"))
            k = results.ingest.get((layout, rate, "korvantyr"))
            p = results.ingest.get((layout, rate, "pyclient"))
            b = results.ingest.get((layout, rate, "before"))
            if not (f and k and p) or (before and not b):
                continue
            row = [layout, f"{rate:,} Hz", cell(f["cpu_us"]), cell(k["cpu_us"])]
            row += [cell(b["cpu_us"])] if before else []
            row += [cell(p["cpu_us"]), ratio(k["cpu_us"], f["cpu_us"]),
                    goal(k["cpu_us"], f["cpu_us"], INGEST_GOAL)]
            row += [ratio(b["cpu_us"], f["cpu_us"]), ratio(k["cpu_us"], b["cpu_us"])] if before else []
            row += [ratio(p["cpu_us"], f["cpu_us"])]
            ingest_rows.append(row)
            subjects = [("floor", f), ("korvantyr", k)] + ([("before", b)] if before else [])
            subjects.append(("pyclient", p))
            rate_rows.append([layout, f"{rate:,} Hz"] + [
                f"{med(fig['rate']):,.0f}" for _, fig in subjects] + [
                cell([v for _, fig in subjects for v in fig["pub_cpu_us"]])])
    out += harness.table(header, ingest_rows) + [""]
    out += ["Achieved publishing rate per stream (median of the windows) while each subject "
            "received, and the publisher's own CPU per sample put (µs, all windows):", ""]
    out += harness.table(["Joints", "Asked", "floor", "korvantyr"] + (["before"] if before else [])
                         + ["pyclient", "publisher µs"], rate_rows) + [""]

    # 2. Queries
    out += ["## Queries from Python, stream at 1 kHz", "",
            "Median time of one call from Python in µs (median of the rounds, range of the "
            f"rounds); calls under {BATCH_US:g} µs are timed in batches of up to 50, each batch "
            "counting as its mean, since reading the clock costs about as much as the cheapest "
            "calls. `states+fields` is `states()` followed by reading every attribute of every "
            "record.", ""]
    header = ["Joints", "Query", "korvantyr µs"] + (["before µs"] if before else []) + [
        "pyclient µs", "korvantyr / pyclient", "goal"] + (
        ["before / pyclient", "korvantyr / before"] if before else [])
    query_rows = []
    for layout in plan.layouts:
        k = results.queries.get((layout, "korvantyr"))
        p = results.queries.get((layout, "pyclient"))
        b = results.queries.get((layout, "before"))
        if not (k and p) or (before and not b):
            continue
        for q in QUERIES:
            row = [layout, f"`{q}`", cell(k[q])] + ([cell(b[q])] if before else [])
            row += [cell(p[q]), ratio(k[q], p[q]), goal(k[q], p[q], QUERY_GOALS.get(q, 1.0))]
            row += [ratio(b[q], p[q]), ratio(k[q], b[q])] if before else []
            query_rows.append(row)
    out += harness.table(header, query_rows) + [""]

    # 3. Remote calls
    out += ["## Remote calls", "",
            "Round trip of one call from Python in µs against the simulated robot, stream at "
            "1 kHz; `raw get` is an eclipse-zenoh `get` of the same request bytes with the same "
            "time-out from a process that does nothing else.", ""]
    r = results.remote
    header = ["Call", "korvantyr µs"] + (["before µs"] if before else []) + [
        "pyclient µs", "raw get µs", "korvantyr / raw get", "goal"] + (
        ["before / raw get", "korvantyr / before"] if before else [])
    remote_rows = []
    if all(label in r for label in ("korvantyr", "pyclient", "raw get")) and (
            not before or "before" in r):
        for q in REMOTE:
            k, p, raw = r["korvantyr"][q], r["pyclient"][q], r["raw get"][q]
            row = [f"`{q}()`", cell(k)] + ([cell(r["before"][q])] if before else [])
            row += [cell(p), cell(raw), ratio(k, raw), goal(k, raw, REMOTE_GOAL)]
            row += [ratio(r["before"][q], raw), ratio(k, r["before"][q])] if before else []
            remote_rows.append(row)
    out += harness.table(header, remote_rows) + [""]

    # 4. Scale
    out += ["## Scale: clients of one robot in one process, 1 kHz", "",
            "Process CPU per published sample (both streams) and per delivered sample (published "
            "x clients), in µs; resident memory of the process, and per client above the "
            "process's memory after importing the module (the first client opens the Zenoh "
            "session).", ""]
    scale_rows = []
    for label in labels:
        for n in plan.scale:
            s = results.scale.get((label, n))
            if not s:
                continue
            scale_rows.append([label, n, cell(s["cpu_us"]), cell(s["cpu_delivered_us"]),
                               f"{s['rss_kib'] / 1024:.1f}",
                               f"{s['rss_per_client_kib'] / 1024:.2f}"])
    out += harness.table(["Module", "Clients", "µs per published", "µs per delivered",
                          "RSS MiB", "RSS per client MiB"], scale_rows) + [""]

    # Checks
    out += ["## Checks", ""]
    out += harness.table(["Check", "Result", "Detail"],
                         [(what, "pass" if ok else "FAIL", detail)
                          for what, ok, detail in results.checks]) + [""]
    if results.problems:
        out += ["Problems:", ""] + [f"- {p}" for p in results.problems] + [""]
    return out


# ------------------------------------------------------------------------------------------------


def run(args: argparse.Namespace, info: harness.RunInfo, work: Path) -> tuple[list[str], bool]:
    plan = QUICK if args.quick else Plan()
    modules = [("korvantyr", args.current)] + ([("before", args.before)] if args.before else [])
    results = Results()
    started = time.monotonic()
    progress(f"plan: {plan}")
    for layout in plan.layouts:
        serial = f"PERF-J{layout}-0001"
        groups = LAYOUTS[layout]
        sim = Sim(serial, ["--no-streams", "--groups", groups], work / f"sim-{layout}.stderr")
        pub = None
        try:
            pub = Publisher(args.publisher, serial, groups, plan.rates[0],
                            work / f"publisher-{layout}.stderr")
            subjects = [("floor", None)] + [(label, m) for label, m in modules] + [
                ("pyclient", None)]
            for rate in plan.rates:
                pub.command(f"rate {rate}")
                measure_ingest(results, layout, rate, subjects, serial, pub, plan, work,
                               args.floor)
            pub.command(f"rate {STEADY_RATE}")
            first = layout == plan.layouts[0]
            measure_queries(results, layout, modules, serial, pub, plan, work, remote=first)
            if first:
                measure_scale(results, modules, serial, pub, plan, work)
        finally:
            if pub is not None:
                pub.stop()
            sim.stop()
        if sim.complaints():
            results.problems.append(f"simulated robot ({layout} joints):\n```\n"
                                    f"{sim.complaints()[-2000:]}\n```")
    lines = report(info, plan, args, results, modules, time.monotonic() - started)
    passed = all(ok for _, ok, _ in results.checks) and not results.problems
    progress("done: " + ("every check passed" if passed else "a check FAILED"))
    return lines, passed


def _module_dir(text: str) -> Path:
    path = Path(text).resolve()
    if not any(path.glob("korvantyr*.so")):
        raise argparse.ArgumentTypeError(f"no korvantyr*.so in {path}")
    return path


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.split("\n")[2:]))
    parser.add_argument("--before", type=_module_dir, metavar="DIR",
                        help="directory of another korvantyr module to measure beside this one")
    parser.add_argument("--current", type=str, default=str(DEFAULT_MODULE), metavar="DIR",
                        help="directory of the korvantyr module measured (default: build/cmake/"
                             "python)")
    parser.add_argument("--quick", action="store_true", help="a smoke run of a minute or two")
    parser.add_argument("--publisher", type=Path, default=DEFAULT_PUBLISHER,
                        help="kvn-bench-publisher executable")
    parser.add_argument("--floor", type=Path, default=DEFAULT_FLOOR,
                        help="kvn-bench-floor executable")
    # The subject processes' own options.
    parser.add_argument("--kind", choices=("korvantyr", "pyclient", "raw", "check"),
                        help=argparse.SUPPRESS)
    parser.add_argument("--serial", help=argparse.SUPPRESS)
    parser.add_argument("--module", help=argparse.SUPPRESS)
    parser.add_argument("--clients", type=int, default=1, help=argparse.SUPPRESS)
    harness.add_driver_arguments(parser)
    args = parser.parse_args(argv)
    if not args.client:
        missing = [
            (args.publisher, "cd bench/publisher && CARGO_TARGET_DIR=../../bridge/target "
                             "cargo build --release --locked"),
            (args.floor, "cmake --build build/cmake -j2 --target kvn-bench-floor"),
        ]
        for path, command in missing:
            if not (path.is_file() and os.access(path, os.X_OK)):
                print(f"perf.py: {path} not found; build it with: {command}", file=sys.stderr)
                return 2
        try:
            args.current = _module_dir(args.current)
        except argparse.ArgumentTypeError as exc:
            print(f"perf.py: {exc}; build it with: cmake --build build/cmake -j2 "
                  "--target korvantyr_python", file=sys.stderr)
            return 2
        if args.report is None:
            args.report = REPO / ("build/perf-quick.md" if args.quick else "BENCHMARKS.md")
    return harness.run_driver(args, client_main, lambda info, work: run(args, info, work))


if __name__ == "__main__":
    sys.exit(main())
