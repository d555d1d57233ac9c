#!/usr/bin/env python3
"""Soak: a Python client under steady load against the simulated robot, for a given time.

    sudo .venv/bin/python bench/soak.py --seconds 600     # the documented ten-minute run
    sudo .venv/bin/python bench/soak.py --seconds 60      # the CI run

Needs root and a built checkout (./scripts/test.sh builds everything, kvn-stream-counter
included). Inside a private network namespace that it creates and removes, the driver starts

* the simulated robot, dual-arm, publishing both streams at --rate Hz (default 1000);
* kvn-stream-counter (C++), which receives every sample of both streams and decodes it with the
  client's own decoder: the client drops a sample that does not decode without a trace, so this
  is where decode failures are counted;
* a client process that uses ``korvantyr.Client`` as a Python user does: ``states()`` at 500 Hz
  on its main thread, and two threads that each make a remote call every 10 ms, rotating through
  ``plan_info``, ``primitive_states``, ``configuration_score`` and ``connected`` (the second
  thread two places further on). Every answer is checked (all five joint groups with their DoF,
  the robot's plan, primitive names, scores from 0 to 100, ``connected()`` true).

The figures measured are those of the Python layer, what a Python user sees: each call timed from
Python, the GIL included. Meanwhile the driver samples the client process's resident memory,
threads and open descriptors from /proc. Streams are counted between two pauses of the robot, so
published, received and decoded samples compare exactly.

The report goes to stdout as markdown, ready for RELIABILITY.md (``--report FILE`` writes it there
too). Exit status: 0 when no sample failed to decode, no process crashed, no query failed or gave
a wrong answer and no error line was logged; 1 otherwise; 2 when the run could not be set up.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import threading
import time
from array import array
from collections import Counter as Tally
from pathlib import Path

import harness
from harness import DEFAULT_COUNTER, IN_FLIGHT, Counter, SetupError, Sim

SERIAL = "SOAK-ARM-0001"
RPC_ROTATION = ("plan_info", "primitive_states", "configuration_score", "connected")
EXAMPLES = 3  # distinct failure texts kept per query


# ------------------------------------------------------------------------------------------------
# The client process (run as ``soak.py --client``): loads one korvantyr.Client


class Recorder:
    """Latencies and outcomes of one query on one thread; the latency array is allocated up
    front, so that it does not show as growth of the resident memory."""

    def __init__(self, capacity: int) -> None:
        self.latencies = array("d", bytes(8 * capacity))
        self.calls = 0
        self.failed: Tally[str] = Tally()
        self.wrong: Tally[str] = Tally()

    def add(self, seconds: float) -> None:
        if self.calls < len(self.latencies):
            self.latencies[self.calls] = seconds
        self.calls += 1


def _timed(recorder: Recorder, call, check) -> object:
    started = time.perf_counter()
    try:
        result = call()
    except Exception as exc:  # noqa: BLE001 - every failure is counted and reported
        recorder.add(time.perf_counter() - started)
        recorder.failed[f"{type(exc).__name__}: {exc}"] += 1
        return None
    recorder.add(time.perf_counter() - started)
    problem = check(result)
    if problem:
        recorder.wrong[problem] += 1
    return result


def _paced(period: float, end: float, body) -> None:
    """Runs ``body`` every ``period`` seconds until ``end``; after a stall it skips the missed
    turns instead of catching up in a burst."""
    turn = time.perf_counter()
    while True:
        now = time.perf_counter()
        if now >= end:
            return
        if turn > now:
            time.sleep(turn - now)
        body()
        turn += period
        if turn < time.perf_counter() - period:
            turn = time.perf_counter()


def client_main(args: argparse.Namespace) -> int:
    import korvantyr

    control = os.fdopen(args.control_fd, "w", buffering=1)
    client = harness.connect(korvantyr, args.serial)
    dofs = {g: len(s.q) for g, s in client.states().items()}
    checks = harness.answer_checks(korvantyr, dofs)

    seconds = args.seconds
    per_method = int(seconds * (1.0 / args.call_period) / len(RPC_ROTATION) * 1.1) + 100
    states = Recorder(int(seconds * args.states_hz * 1.1) + 100)
    rpc = [{m: Recorder(per_method) for m in RPC_ROTATION} for _ in range(2)]
    fresh = {"distinct": 0, "longest_unchanged": 0.0}
    errors: list[str] = []
    control.write(json.dumps({"ready": True, "groups": {int(g): d for g, d in dofs.items()}})
                  + "\n")

    if sys.stdin.readline().strip() != "GO":
        return 2
    end = time.perf_counter() + seconds

    def caller(index: int) -> None:
        turn = [2 * index]
        recorders = rpc[index]

        def one_call() -> None:
            method = RPC_ROTATION[turn[0] % len(RPC_ROTATION)]
            turn[0] += 1
            _timed(recorders[method], getattr(client, method), checks[method])

        try:
            _paced(args.call_period, end, one_call)
        except BaseException as exc:  # noqa: BLE001 - reported, the run goes on
            errors.append(f"caller {index}: {exc!r}")

    threads = [threading.Thread(target=caller, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    last_stamp = None
    last_change = time.perf_counter()

    def poll_states() -> None:
        nonlocal last_stamp, last_change
        result = _timed(states, client.states, checks["states"])
        if result:
            stamp = result[korvantyr.JointGroup.ALL].timestamp
            if stamp != last_stamp:
                now = time.perf_counter()
                fresh["longest_unchanged"] = max(fresh["longest_unchanged"], now - last_change)
                fresh["distinct"] += 1
                last_stamp, last_change = stamp, now

    try:
        _paced(1.0 / args.states_hz, end, poll_states)
    except BaseException as exc:  # noqa: BLE001
        errors.append(f"states: {exc!r}")
    for thread in threads:
        thread.join()
    control.write(json.dumps({"end": True}) + "\n")

    if sys.stdin.readline().strip() != "REPORT":
        return 2
    queries = {"states": [states]}
    for method in RPC_ROTATION:
        queries[method] = [rpc[0][method], rpc[1][method]]
    report = {"errors": errors, "fresh": fresh, "queries": {}}
    for name, recorders in queries.items():
        latencies = sorted(v for r in recorders for v in r.latencies[: min(r.calls, len(r.latencies))])
        failed, wrong = Tally(), Tally()
        for r in recorders:
            failed.update(r.failed)
            wrong.update(r.wrong)
        report["queries"][name] = {
            "calls": sum(r.calls for r in recorders),
            "p50": statistics.median(latencies) if latencies else None,
            "p99": latencies[min(len(latencies) - 1, int(len(latencies) * 0.99))]
            if latencies else None,
            "max": latencies[-1] if latencies else None,
            "failed": sum(failed.values()), "wrong": sum(wrong.values()),
            "examples": [f"{n} x {text}" for text, n in (failed + wrong).most_common(EXAMPLES)],
        }
    control.write(json.dumps(report) + "\n")
    del client
    return 0


# ------------------------------------------------------------------------------------------------
# The driver


def _mark(sim: Sim, counter: Counter) -> tuple[dict[str, int], dict[str, tuple[int, int]]]:
    """Published and counted samples at a moment when nothing is on its way."""
    sim.command("pause all")
    time.sleep(IN_FLIGHT)
    published, counted = sim.published(), counter.count()
    return published, counted


def _ms(seconds: float | None) -> str:
    return "n/a" if seconds is None else f"{seconds * 1e3:.3f}"


def run(args: argparse.Namespace, info: harness.RunInfo, workdir: Path) -> tuple[list[str], bool]:
    """The run; its children's stderr goes to files in ``workdir`` (quoted in the report)."""
    problems: list[str] = []
    sim = Sim(SERIAL, ["--preset", "dual-arm", "--rate", str(args.rate)], workdir / "sim.stderr")
    counter = client = None
    try:
        counter = Counter(args.counter, SERIAL, workdir / "counter.stderr")
        client = harness.ClientChild(
            Path(__file__).resolve(),
            ["--serial", SERIAL, "--seconds", str(args.seconds), "--states-hz",
             str(args.states_hz), "--call-period", str(args.call_period)],
            workdir / "client.stderr")
        ready = client.answer(120.0)
        if not ready or not ready.get("ready"):
            raise SetupError("the client did not connect:\n" + client.stderr_path.read_text())
        published0, counted0 = _mark(sim, counter)
        sim.command("resume all")
        sim_cpu0 = harness.proc_figures(sim.proc.pid)

        client.send("GO")
        started = time.monotonic()
        for command in args.robot_command:
            sim.command(command)
        memory: list[tuple[float, harness.ProcFigures]] = []
        step = args.seconds / max(1, args.memory_points - 1)
        end_answer = None
        while True:
            # The last point is taken once the client has ended its load, below.
            figures = harness.proc_figures(client.proc.pid)
            if figures is not None and len(memory) < args.memory_points - 1:
                memory.append((time.monotonic() - started, figures))
            next_at = started + len(memory) * step
            if len(memory) >= args.memory_points - 1:
                next_at = started + args.seconds + 120.0
            end_answer = client.answer(max(0.0, next_at - time.monotonic()))
            if end_answer is not None or client.ended:
                break
            if time.monotonic() >= started + args.seconds + 120.0:
                problems.append("the client did not finish its run in time")
                break
        elapsed = time.monotonic() - started
        figures = harness.proc_figures(client.proc.pid)
        if figures is not None and end_answer is not None:
            memory.append((elapsed, figures))
        published1, counted1 = _mark(sim, counter)
        sim_cpu1 = harness.proc_figures(sim.proc.pid)

        report = None
        if end_answer is not None:
            client.send("REPORT")
            report = client.answer(300.0)
        status = client.stop()
        if status != 0:
            problems.append(f"client process: {harness.exit_text(status)}")
            tail = client.stderr_tail()
            if tail.strip():
                problems.append("client stderr (end):\n```\n" + tail.rstrip() + "\n```")
        if report is None:
            problems.append("the client process gave no report")
            report = {"errors": [], "fresh": {}, "queries": {}}
        problems += [f"client error: {e}" for e in report["errors"]]
    finally:
        if client is not None and client.proc.poll() is None:
            client.stop()
        counter_status = counter.stop(terminate=False) if counter is not None else 0
        sim.stop()
    if counter_status != 0:
        problems.append(f"kvn-stream-counter: {harness.exit_text(counter_status)}")
    if sim.complaints():
        problems.append("simulated robot stderr:\n```\n" + sim.complaints()[-2000:] + "\n```")
    counter_err = (workdir / "counter.stderr").read_text(errors="replace").strip()
    if counter_err:
        problems.append("kvn-stream-counter stderr:\n```\n" + counter_err[-2000:] + "\n```")

    # ---- figures
    stream_rows = []
    decode_failures = 0
    for stream in ("basic", "extra"):
        sent = published1[stream] - published0[stream]
        received = counted1[stream][0] - counted0[stream][0]
        decoded = counted1[stream][1] - counted0[stream][1]
        decode_failures += received - decoded
        stream_rows.append((stream, f"{sent:,}", f"{sent / elapsed:,.1f}", f"{received:,}",
                            f"{decoded:,}", f"{received - decoded:,}", f"{sent - received:,}"))
    query_rows = []
    failed_calls = wrong_answers = 0
    scheduled = {"states": args.seconds * args.states_hz}
    for method in RPC_ROTATION:
        scheduled[method] = args.seconds / args.call_period * 2 / len(RPC_ROTATION)
    for name in ("states", *RPC_ROTATION):
        q = report["queries"].get(name)
        if q is None:
            continue
        failed_calls += q["failed"]
        wrong_answers += q["wrong"]
        query_rows.append((f"`{name}()`", f"{scheduled[name]:,.0f}", f"{q['calls']:,}",
                           q["failed"], q["wrong"], _ms(q["p50"]), _ms(q["p99"]), _ms(q["max"])))
        problems += [f"`{name}()`: {e}" for e in q["examples"]]
    error_lines = client.log_problems()
    problems += [f"logged: `{line}`" for line in client.error_lines]
    if decode_failures:
        problems.insert(0, f"{decode_failures} stream samples did not decode")

    passed = (not problems and decode_failures == 0 and failed_calls == 0 and wrong_answers == 0
              and error_lines == 0)
    verdict = ("PASS: no decode failure, no crash, no failed call, no wrong answer, no error line"
               if passed else "FAIL: see the problems below")
    fresh = report.get("fresh", {})
    client_cpu = (memory[-1][1].cpu_s - memory[0][1].cpu_s) if len(memory) > 1 else 0.0
    sim_cpu = (sim_cpu1.cpu_s - sim_cpu0.cpu_s) if sim_cpu0 and sim_cpu1 else 0.0
    rows = [("Result", verdict)] + info.rows(harness.loadavg()) + [
        ("Layer", "Python: `korvantyr.Client` in a process of its own, every call timed in Python "
                  "(GIL included); stream samples counted and decoded beside it by "
                  "kvn-stream-counter (C++, the client's decoder)"),
        ("Load", f"`states()` at {args.states_hz:g} Hz; two threads, each one remote call every "
                 f"{args.call_period * 1e3:g} ms rotating `plan_info`, `primitive_states`, "
                 f"`configuration_score`, `connected`"),
        ("Robot", f"korvantyr-sim, dual-arm (16 joints, 5 groups), both streams at "
                  f"{args.rate:g} Hz"),
        ("Duration", f"{elapsed:.1f} s measured; CPU used: client {client_cpu / elapsed:.0%} of "
                     f"one core, robot {sim_cpu / elapsed:.0%}"),
        ("Freshness", f"`states()` saw {fresh.get('distinct', 0):,} distinct messages; longest "
                      f"unchanged {fresh.get('longest_unchanged', 0.0) * 1e3:.1f} ms"),
        ("Log lines", ", ".join(f"{level} {n}" for level, n in sorted(client.levels.items()))
         or "none"),
    ]
    out = [f"### Soak, {args.seconds:g} s", ""] + harness.key_value_table(rows) + [""]
    out += harness.table(("Query", "Scheduled", "Made", "Failed", "Wrong", "p50 ms", "p99 ms",
                          "max ms"), query_rows) + [""]
    out += harness.table(("Stream", "Published", "Hz", "Received", "Decoded", "Decode failures",
                          "Not received"), stream_rows) + [""]
    first = memory[0][1] if memory else None
    mem_rows = [(f"{t:.0f}", f"{f.rss_kib / 1024:.1f}", f"{(f.rss_kib - first.rss_kib) / 1024:+.1f}",
                 f.threads, f.fds) for t, f in memory] if first else []
    out += harness.table(("Time s", "RSS MiB", "Change MiB", "Threads", "Open fds"), mem_rows)
    if problems:
        out += ["", "Problems:", ""] + [f"- {p}" for p in problems]
    return out, passed


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--seconds", type=float, default=600.0, help="length of the run")
    parser.add_argument("--rate", type=float, default=1000.0, help="stream rate of the robot, Hz")
    parser.add_argument("--states-hz", type=float, default=500.0, help="states() calls per second")
    parser.add_argument("--call-period", type=float, default=0.010,
                        help="seconds between the remote calls of each of the two threads")
    parser.add_argument("--memory-points", type=int, default=11, choices=range(2, 1000),
                        metavar="N",
                        help="how many times the client's memory is sampled, start and end included")
    parser.add_argument("--counter", type=Path, default=DEFAULT_COUNTER,
                        help="kvn-stream-counter executable")
    parser.add_argument("--robot-command", action="append", default=[], metavar="COMMAND",
                        help="a control command for the robot once the load has started, to see "
                             "the driver catch a fault (e.g. 'stream basic cut 3'); repeatable")
    parser.add_argument("--serial", default=SERIAL, help=argparse.SUPPRESS)
    harness.add_driver_arguments(parser)
    args = parser.parse_args(argv)
    return harness.run_driver(args, client_main, lambda info, work: run(args, info, work))


if __name__ == "__main__":
    sys.exit(main())
