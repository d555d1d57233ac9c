#!/usr/bin/env python3
"""Fault outcomes: what a Python client does when its robot dies, comes back, or turns hostile.

    sudo .venv/bin/python bench/faults.py                            # every scenario, 60 s hostile
    sudo .venv/bin/python bench/faults.py --hostile-seconds 300 --only hostile

Needs root and a built checkout (./scripts/test.sh). Inside a private network namespace that it
creates and removes, the driver runs each scenario against the simulated robot (dual-arm, both
streams at --rate Hz) with the client in a process of its own, so that a crash shows as one:

* killed: for each remote query, the robot is told to hold that query unanswered, the client
  calls it, and once the robot has the query the robot is killed (SIGKILL). Measured: how long
  after the kill the call ended, and how (the documented error, or False from ``connected()``);
* restarted: after each kill a new robot with the same serial number starts. Measured: from its
  READY line until ``connected()`` is true and until ``states()`` holds a newer message than the
  last one before the kill;
* clients: N clients (default 200) created and destroyed one after another in a fresh process
  (each one opens and closes the Zenoh session). Measured: threads (/proc/self/task), open
  descriptors (/proc/self/fd) and resident memory before the first, after the first and after all;
  construction times;
* hostile: the robot publishes both streams at --hostile-rate Hz with every sample mutated at
  random (bit flips, insertions, cuts, counts of 2^32-1 / 2^60 / 2^64-1, over-long counts, random
  bytes, and messages that decode but do not fit) and answers every query with a mutated reply,
  while the client runs all eleven queries in tight loops on two threads (streamed ones on one,
  remote ones on the other). Counted: samples and replies sent by kind of mutation, what the
  client answered (a result, a documented exception, anything else), and afterwards, with the
  robot well again, whether every query answers correctly.

The report goes to stdout as markdown, ready for RELIABILITY.md (``--report FILE`` too). Exit
status 0 when every outcome is the documented one (no crash, no undocumented exception, every
query correct after the faults); 1 otherwise; 2 when a scenario could not be set up.
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import statistics
import sys
import threading
import time
from collections import Counter as Tally
from pathlib import Path

import harness
from harness import DEFAULT_COUNTER, IN_FLIGHT, ClientChild, Counter, SetupError, Sim

SCRIPT = Path(__file__).resolve()
REMOTE = ("plan_info", "primitive_states", "configuration_score", "connected")
STREAMED = ("states", "actions", "groups", "estop_released", "enabling_device_on",
            "digital_inputs", "digital_outputs")
REQUEST_IDS = {"connected": 0, "primitive_states": 3, "plan_info": 4, "configuration_score": 9}
# The exceptions each query is documented to raise for a robot that answers badly (seen from
# Python: std::invalid_argument is ValueError, std::out_of_range IndexError, the rest RuntimeError).
NO_REPLY = {
    "plan_info": "RuntimeError: [korvan::tyr::Client] plan_info: No reply from the robot",
    "primitive_states": "RuntimeError: [korvan::tyr::Client::primitive_states] No reply from the "
                        "robot",
    "configuration_score": "RuntimeError: [korvan::tyr::Model::configuration_score] No reply from "
                           "the robot",
}
_PRIMITIVE_TEXT_ERRORS = (
    "RuntimeError: [korvan::tyr::Client::primitive_states] ",  # the text protocol's own errors
    "ValueError: invalid stoi argument",  # a marker or a word that is no number
    "IndexError: stoi argument out of range",  # a number beyond 32 bits
    "RuntimeError: std::get: wrong index for variant",  # jointGroup or primitiveName mistyped
    "RuntimeError: bad variant access",
)


# What a construction is documented to raise when the robot answers its start-up badly.
_START_UP_ERRORS = tuple("RuntimeError: [korvan::tyr::Client] " + text for text in (
    "Failed to connect to [", "Failed to sync TYR server version",
    "Version of this client is incompatible with robot [",
    "Failed to obtain robot start ID and DoF information", "Number of all joint groups is wrong"))


def documented(query: str, outcome: str) -> bool:
    """Whether ``outcome`` ("ok", or "Type: message") is one the query documents."""
    if outcome == "ok":
        return True
    if query == "groups" or (query == "Client" and outcome.startswith("IndexError: ")):
        # The latest basic message names a joint group in range without a name (at start-up,
        # the client reads its groups from it).
        return outcome.startswith("IndexError: ")
    if query == "Client":
        return outcome.startswith(_START_UP_ERRORS)
    if query == "primitive_states":
        return outcome.startswith(_PRIMITIVE_TEXT_ERRORS)
    return outcome == NO_REPLY.get(query)
EXAMPLES = 3


# ------------------------------------------------------------------------------------------------
# The client process (``faults.py --client``): one command per line on stdin, one answer each


def _read_all(value) -> None:
    """Reads every field of an answer, so that each of its texts is converted to Python."""
    if isinstance(value, dict):
        for key, item in value.items():
            _read_all(key)
            _read_all(item)
    elif isinstance(value, (list, tuple)):
        for item in value:
            _read_all(item)
    elif type(value).__name__ in ("RobotStates", "RobotActions", "PrimitiveStates", "PlanInfo"):
        for name in dir(value):
            if not name.startswith("_"):
                _read_all(getattr(value, name))


def _outcome(call) -> tuple[str, object]:
    """("ok", the answer with every field read) or ("Type: message", None)."""
    try:
        result = call()
        _read_all(result)
        return "ok", result
    except Exception as exc:  # noqa: BLE001 - the outcome is what is measured
        return f"{type(exc).__name__}: {exc}", None


SETTLE_SECONDS = 15.0


def _grew(first: dict, later: dict) -> bool:
    """Whether the process holds more threads or descriptors than it did."""
    return later["threads"] > first["threads"] or later["fds"] > first["fds"]


def _figures() -> dict:
    f = harness.proc_figures()
    return {"threads": f.threads, "fds": f.fds, "rss_kib": f.rss_kib}


class ClientSide:
    def __init__(self, korvantyr, answer) -> None:
        self.k = korvantyr
        self.answer = answer
        self.client = None
        self.checks: dict = {}
        self.stamp = None

    def connect(self, serial: str) -> dict:
        self.client = harness.connect(self.k, serial)
        dofs = {g: len(s.q) for g, s in self.client.states().items()}
        self.checks = harness.answer_checks(self.k, dofs)
        return {"groups": len(dofs)}

    def remember_stamp(self) -> dict:
        self.stamp = self.client.states()[self.k.JointGroup.ALL].timestamp
        return {"stamp": self.stamp}

    def call(self, method: str) -> dict:
        """Answers "started" at once, then the outcome of the call."""
        self.answer({"started": time.monotonic()})
        outcome, result = _outcome(getattr(self.client, method))
        return {"ended": time.monotonic(), "outcome": outcome,
                "result": result if isinstance(result, bool) else None}

    def recover(self, timeout: float) -> dict:
        """Waits for connected() true, then for states() newer than the remembered message."""
        deadline = time.monotonic() + timeout
        probes = 0
        while True:
            probes += 1
            if self.client.connected() is True:
                connected_at = time.monotonic()
                break
            if time.monotonic() > deadline:
                return {"connected_at": None, "moving_at": None, "probes": probes}
        while time.monotonic() < deadline:
            result = self.client.states()
            all_group = result.get(self.k.JointGroup.ALL)
            if all_group is not None and all_group.timestamp > self.stamp:
                return {"connected_at": connected_at, "moving_at": time.monotonic(),
                        "probes": probes}
            time.sleep(0.0005)
        return {"connected_at": connected_at, "moving_at": None, "probes": probes}

    def churn(self, serial: str, count: int) -> dict:
        """``count`` clients created and destroyed one after another; no client exists before."""
        before = _figures()
        durations, failures = [], Tally()
        after_first = None
        for i in range(count):
            started = time.monotonic()
            try:
                client = self.k.Client(serial, verbose=False)
            except Exception as exc:  # noqa: BLE001 - counted
                failures[f"{type(exc).__name__}: {exc}"] += 1
            else:
                durations.append(time.monotonic() - started)
                del client
            if i == 0:
                after_first = _figures()
        # A leak grows with the clients and stays; a thread that Zenoh's runtime started for the
        # last teardown ends within its keep-alive (10 s), so the figures get that long to settle.
        after = _figures()
        deadline = time.monotonic() + SETTLE_SECONDS
        while (after_first is not None and _grew(after_first, after)
               and time.monotonic() < deadline):
            time.sleep(0.1)
            after = _figures()
        return {"before": before, "after_first": after_first, "after": after,
                "durations": durations, "failures": dict(failures)}

    def storm(self, seconds: float) -> dict:
        """Every query in tight loops on two threads; outcomes counted per query."""
        outcomes = {name: Tally() for name in (*STREAMED, *REMOTE)}
        shapes = Tally()
        end = time.monotonic() + seconds
        errors: list[str] = []

        def shape_of(name: str, result) -> str:
            """What is wrong with the form of a stream answer (values are the robot's)."""
            if name in ("states", "actions", "groups"):
                if not isinstance(result, dict):
                    return f"{name}: not a dict"
                if name == "states" and not all(
                        len(s.tcp_pose) == 7 and len(s.tcp_wrench) == 6 for s in result.values()):
                    return "states: fixed-size fields of another size"
                return ""
            return self.checks[name](result)

        def loop(names) -> None:
            try:
                while time.monotonic() < end:
                    for name in names:
                        outcome, result = _outcome(getattr(self.client, name))
                        outcomes[name][outcome] += 1
                        if outcome == "ok" and name in STREAMED:
                            problem = shape_of(name, result)
                            if problem:
                                shapes[problem] += 1
            except BaseException as exc:  # noqa: BLE001 - reported
                errors.append(repr(exc))

        before = _figures()
        threads = [threading.Thread(target=loop, args=(names,)) for names in (STREAMED, REMOTE)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return {"outcomes": {n: dict(t) for n, t in outcomes.items()}, "shapes": dict(shapes),
                "errors": errors, "before": before, "after": _figures()}

    def start_ups(self, serial: str, count: int) -> dict:
        """``count`` constructions against the robot as it is; each client that comes up runs
        every query once before it is destroyed."""
        outcomes = {name: Tally() for name in ("Client", *STREAMED, *REMOTE)}
        for _ in range(count):
            outcome, client = _outcome(lambda: self.k.Client(serial, verbose=False))
            outcomes["Client"][outcome] += 1
            if client is not None:
                for name in (*STREAMED, *REMOTE):
                    outcomes[name][_outcome(getattr(client, name))[0]] += 1
                del client
        return {"outcomes": {n: dict(t) for n, t in outcomes.items()}}

    def check_all(self, timeout: float) -> dict:
        """Every query once with the checks of a well robot; the stream queries are repeated until
        they pass (samples sent before the robot was reset may still arrive) or ``timeout``."""
        deadline = time.monotonic() + timeout
        results = {}
        for name in (*STREAMED, *REMOTE):
            while True:
                outcome, result = _outcome(getattr(self.client, name))
                problem = outcome if outcome != "ok" else self.checks[name](result)
                if not problem or name in REMOTE or time.monotonic() > deadline:
                    break
                time.sleep(0.01)
            results[name] = problem
        return {"problems": results}


def client_main(args: argparse.Namespace) -> int:
    import korvantyr

    control = os.fdopen(args.control_fd, "w", buffering=1)

    def answer(obj: dict) -> None:
        control.write(json.dumps(obj) + "\n")

    side = ClientSide(korvantyr, answer)
    for line in sys.stdin:
        command = json.loads(line)
        op = command.pop("op")
        if op == "drop":
            side.client = None
            answer({})
            continue
        answer(getattr(side, op)(**command))
    return 0


# ------------------------------------------------------------------------------------------------
# The scenarios


def _ms(seconds: float | None) -> str:
    return "n/a" if seconds is None else f"{seconds * 1e3:.1f}"


def _range_ms(values: list[float]) -> str:
    if not values:
        return "n/a"
    return (f"{_ms(statistics.median(values))} (min {_ms(min(values))}, max {_ms(max(values))})")


class Run:
    def __init__(self, args: argparse.Namespace, workdir: Path) -> None:
        self.args = args
        self.workdir = workdir  # the children's stderr, quoted in the report
        self.problems: list[str] = []
        self.sims = 0

    def sim(self, serial: str, extra: tuple[str, ...] = ()) -> Sim:
        self.sims += 1
        return Sim(serial, ["--preset", "dual-arm", "--rate", str(self.args.rate), *extra],
                   self.workdir / f"sim-{self.sims}.stderr")

    def client(self, name: str) -> ClientChild:
        return ClientChild(SCRIPT, [], self.workdir / f"{name}.stderr")

    def finish_client(self, client: ClientChild, name: str) -> None:
        status = client.stop()
        if status != 0:
            self.problems.append(f"{name} client process: {harness.exit_text(status)}\n```\n"
                                 f"{client.stderr_tail().rstrip()}\n```")
        if client.log_problems() and name != "hostile":
            self.problems += [f"{name}: logged `{line}`" for line in client.error_lines]

    def check_sim(self, sim: Sim) -> None:
        if sim.complaints():
            self.problems.append("simulated robot:\n```\n" + sim.complaints()[-2000:] + "\n```")

    # ---- killed mid-call, then restarted ------------------------------------------------------

    def killed_and_restarted(self) -> list[str]:
        serial = "FAULT-KILL-0001"
        repeats = self.args.repeats
        sim = self.sim(serial)
        client = self.client("killed")
        kill_rows, restart = [], {"connected": [], "moving": [], "failed": 0}
        try:
            client.ask({"op": "connect", "serial": serial}, 120.0)
            for method in REMOTE:
                delays, outcomes = [], Tally()
                for _ in range(repeats):
                    request_id = REQUEST_IDS[method]
                    client.ask({"op": "remember_stamp"}, 30.0)
                    held = sim.queries(request_id)
                    sim.command(f"rpc {request_id} hang")
                    client.ask({"op": "call", "method": method}, 30.0)  # "started"
                    deadline = time.monotonic() + 10.0
                    while sim.queries(request_id) == held:  # the robot holds the query now
                        if time.monotonic() > deadline:
                            raise SetupError(f"the {method} query never reached the robot")
                        time.sleep(0.001)
                    sim.proc.send_signal(signal.SIGKILL)
                    killed = time.monotonic()
                    result = client.answer(30.0)
                    if result is None:
                        raise SetupError(f"the client gave no answer after the kill:\n"
                                         f"{client.stderr_tail()}")
                    delays.append(result["ended"] - killed)
                    outcome = result["outcome"]
                    if outcome == "ok":
                        outcome = f"returned {result['result']}"
                    outcomes[outcome] += 1
                    if outcome != NO_REPLY.get(method, "returned False"):
                        self.problems.append(f"killed during `{method}()`: {outcome}")
                    sim.stop()
                    self.check_sim(sim)
                    sim = self.sim(serial)
                    got = client.ask({"op": "recover", "timeout": 30.0}, 60.0)
                    if got["moving_at"] is None:
                        restart["failed"] += 1
                        self.problems.append(f"restarted robot: not served again ({got})")
                    else:
                        restart["connected"].append(got["connected_at"] - sim.ready_at)
                        restart["moving"].append(got["moving_at"] - sim.ready_at)
                kill_rows.append((f"`{method}()`", repeats, _range_ms(delays),
                                  "; ".join(f"{n} x {o}" for o, n in outcomes.items())))
        finally:
            sim.stop()
            self.check_sim(sim)
            self.finish_client(client, "killed")
        out = [f"#### Robot killed mid-call (SIGKILL while it holds the query), {repeats} times "
               "per query", ""]
        out += harness.table(("Query", "Kills", "Call ended after the kill, ms: median", "Outcome"),
                             kill_rows)
        n = len(REMOTE) * repeats
        out += ["", f"#### Robot restarted (same serial number, new process), {n} times", ""]
        out += harness.table(
            ("From the new robot's READY line until", "ms: median (min, max)"),
            [("`connected()` is true", _range_ms(restart["connected"])),
             ("`states()` holds a message newer than the last one before the kill",
              _range_ms(restart["moving"])),
             ("restarts after which the client was not served again", restart["failed"])])
        return out

    # ---- clients created and destroyed --------------------------------------------------------

    def clients(self) -> list[str]:
        serial = "FAULT-CHURN-0001"
        count = self.args.clients
        sim = self.sim(serial)
        client = self.client("clients")
        try:
            got = client.ask({"op": "churn", "serial": serial, "count": count}, 60.0 * count)
        finally:
            sim.stop()
            self.check_sim(sim)
            self.finish_client(client, "clients")
        failures = got["failures"]
        if failures:
            self.problems += [f"client construction: {n} x {text}" for text, n in failures.items()]
        b, first, after = got["before"], got["after_first"], got["after"]
        if _grew(first, after):
            self.problems.append(f"{count} clients: threads or descriptors grew after the "
                                 f"first ({first} -> {after})")
        d = got["durations"]
        rows = [(label, f["threads"], f["fds"], f"{f['rss_kib'] / 1024:.1f}")
                for label, f in (("before the first client (module imported)", b),
                                 ("after the first client was destroyed", first),
                                 (f"after all {count} were destroyed", after))]
        out = [f"#### {count} clients created and destroyed one after another", ""]
        out += harness.table(("In the client process", "Threads", "Open fds", "RSS MiB"), rows)
        out += ["", f"Constructions: {len(d)} succeeded, {sum(failures.values())} failed; "
                    f"construction time median {_ms(statistics.median(d) if d else None)} ms, "
                    f"max {_ms(max(d) if d else None)} ms."]
        return out

    # ---- a hostile robot ----------------------------------------------------------------------

    def hostile(self) -> list[str]:
        serial = "FAULT-HOSTILE-0001"
        a = self.args
        sim = Sim(serial, ["--preset", "dual-arm", "--rate", str(a.hostile_rate), "--seed",
                           str(a.seed)], self.workdir / "sim-hostile.stderr")
        counter = Counter(a.counter, serial, self.workdir / "counter-hostile.stderr")
        client = self.client("hostile")
        try:
            client.ask({"op": "connect", "serial": serial}, 120.0)
            # Counted from here: the robot's counts start again at the reset, which also resumes
            # the streams, and nothing is on its way when the counter is read.
            sim.command("pause all")
            time.sleep(IN_FLIGHT)
            counted0 = counter.count()
            sim.command("reset")
            lines_before = client.log_lines()
            sim.command("stream all mutate")
            sim.command("rpc all mutate")
            started = time.monotonic()
            storm = client.ask({"op": "storm", "seconds": a.hostile_seconds},
                               a.hostile_seconds + 300.0)
            replies = {rid: sim.queries(rid) for rid in sorted(REQUEST_IDS.values())}
            # Start-ups while the streams stay hostile: first with every reply correct, so that
            # the clients come up on what the mutated basic stream says, then with the version
            # and start ID replies mutated too. The probe is answered correctly in both, or nearly
            # every construction would end in its time-outs.
            starts = {}
            for phase, rule in (("streams", "rpc all normal"), ("replies", "rpc 1,10 mutate")):
                sim.command(rule)
                starts[phase] = client.ask(
                    {"op": "start_ups", "serial": serial, "count": a.hostile_starts},
                    60.0 * a.hostile_starts)
            sim.command("pause all")
            elapsed = time.monotonic() - started
            time.sleep(IN_FLIGHT)
            published, counted1 = sim.published(), counter.count()
            mutations = dict(word.split("=") for word in sim.command("mutations").split())
            during_lines = client.log_lines() - lines_before
            sim.command("reset")
            after = client.ask({"op": "check_all", "timeout": 30.0}, 120.0)
        finally:
            counter_status = counter.stop(terminate=False)
            sim.stop()
            self.check_sim(sim)
            self.finish_client(client, "hostile")
        if counter_status != 0:
            self.problems.append(f"kvn-stream-counter: {harness.exit_text(counter_status)}")
        for error in storm["errors"]:
            self.problems.append(f"hostile: client thread ended: {error}")

        sample_kinds = Tally()
        reply_kinds = Tally()
        for where_kind, n in mutations.items():
            where, kind = where_kind.split(":", 1)
            (reply_kinds if where == "rpc" else sample_kinds)[kind] += int(n)
        sent = sum(published.values())
        received = sum(counted1[s][0] - counted0[s][0] for s in ("basic", "extra"))
        decoded = sum(counted1[s][1] - counted0[s][1] for s in ("basic", "extra"))
        out = [f"#### A hostile robot at rate, {a.hostile_seconds:g} s of queries and "
               f"{2 * a.hostile_starts} start-ups, {elapsed:.0f} s in all (seed {a.seed})", ""]
        out += harness.key_value_table([
            ("Stream samples", f"{sent:,} published ({sent / elapsed:,.0f} per second, both "
                               f"streams at {a.hostile_rate:g} Hz asked), every one mutated; "
                               f"{received:,} received by kvn-stream-counter, {decoded:,} of "
                               f"them decode (misfits and harmless bit flips)"),
            ("RPC replies", f"{sum(replies.values()):,} queries of the storm answered with a "
                            "mutated reply ("
                            + ", ".join(f"request {rid}: {n:,}" for rid, n in replies.items())
                            + ")"),
            ("Sample mutations", ", ".join(f"{k} {n:,}" for k, n in sorted(sample_kinds.items()))),
            ("Reply mutations", ", ".join(f"{k} {n:,}" for k, n in sorted(reply_kinds.items()))),
            ("Log lines of the client", f"{during_lines:,} during the storm; all of its run: "
                                        + ", ".join(f"{lv} {n:,}" for lv, n in
                                                    sorted(client.levels.items()))),
            ("Client process", f"threads {storm['before']['threads']} -> "
                               f"{storm['after']['threads']}, open fds {storm['before']['fds']} "
                               f"-> {storm['after']['fds']}, RSS "
                               f"{storm['before']['rss_kib'] / 1024:.1f} -> "
                               f"{storm['after']['rss_kib'] / 1024:.1f} MiB"),
        ])
        rows = []
        for name in (*STREAMED, *REMOTE):
            outcomes = storm["outcomes"][name]
            ok = outcomes.get("ok", 0)
            known = sum(n for o, n in outcomes.items() if o != "ok" and documented(name, o))
            other = {o: n for o, n in outcomes.items() if not documented(name, o)}
            for o, n in sorted(other.items(), key=lambda item: -item[1])[:EXAMPLES]:
                self.problems.append(f"hostile: `{name}()` {n} x {o}")
            rows.append((f"`{name}()`", f"{sum(outcomes.values()):,}", f"{ok:,}",
                         f"{known:,}", f"{sum(other.values()):,}",
                         after["problems"][name] or "correct"))
        for problem, n in storm["shapes"].items():
            self.problems.append(f"hostile: {n} x {problem}")
        for name, problem in after["problems"].items():
            if problem:
                self.problems.append(f"after the hostile robot: `{name}()` {problem}")
        out += [""] + harness.table(
            ("Query", "Calls", "Answered", "Documented exception", "Other exception",
             "After the robot was reset"), rows)
        start_rows = []
        for phase, label in (("streams", "streams mutated, replies correct"),
                             ("replies", "streams, version and start ID replies mutated")):
            for name, outcomes in starts[phase]["outcomes"].items():
                if not outcomes:
                    continue
                other = {o: n for o, n in outcomes.items() if not documented(name, o)}
                for o, n in sorted(other.items(), key=lambda item: -item[1])[:EXAMPLES]:
                    self.problems.append(f"hostile start-up: `{name}` {n} x {o}")
                calls, ok = sum(outcomes.values()), outcomes.get("ok", 0)
                raised = "; ".join(f"{n} x {o}" for o, n in sorted(
                    outcomes.items(), key=lambda item: -item[1]) if o != "ok" and name == "Client")
                start_rows.append((label, "`Client(...)`" if name == "Client" else f"`{name}()`",
                                   f"{calls:,}", f"{ok:,}", f"{calls - ok - sum(other.values()):,}",
                                   f"{sum(other.values()):,}", raised))
        out += ["", f"{a.hostile_starts} clients constructed against the hostile robot in each of "
                    "two phases (the probe answered correctly), each client that came up running "
                    "every query once:", ""]
        out += harness.table(("Phase", "Call", "Calls", "Answered", "Documented exception",
                              "Other exception", "Constructions that raised"), start_rows)
        out += ["", "Documented exceptions: `RuntimeError` \"... No reply from the robot\" from the "
                    "remote queries; from `primitive_states()` also the errors of its text "
                    "protocol (`RuntimeError` \"[korvan::tyr::Client::primitive_states] ...\", "
                    "`ValueError` \"invalid stoi argument\", `IndexError` \"stoi argument out of "
                    "range\"); `IndexError` from `groups()` for a joint group without a name. "
                    "`connected()` answers False to a reply it does not take; a construction raises "
                    "`RuntimeError` with one of its start-up messages, or `IndexError` when the "
                    "basic message it reads its joint groups from names a group without a name."]
        return out


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--only", action="append", choices=("killed", "clients", "hostile"),
                        help="run only this scenario (repeatable; default: all)")
    parser.add_argument("--rate", type=float, default=1000.0, help="stream rate of the robot, Hz")
    parser.add_argument("--repeats", type=int, default=5, help="kills per remote query")
    parser.add_argument("--clients", type=int, default=200, help="clients created and destroyed")
    parser.add_argument("--hostile-seconds", type=float, default=60.0)
    parser.add_argument("--hostile-rate", type=float, default=2000.0,
                        help="stream rate of the hostile robot (each stream), Hz")
    parser.add_argument("--seed", type=int, default=1, help="seed of the hostile robot")
    parser.add_argument("--hostile-starts", type=int, default=20,
                        help="clients constructed against the hostile robot")
    parser.add_argument("--counter", type=Path, default=DEFAULT_COUNTER,
                        help="kvn-stream-counter executable")
    harness.add_driver_arguments(parser)
    args = parser.parse_args(argv)
    return harness.run_driver(args, client_main, lambda info, work: report(args, info, work))


def report(args: argparse.Namespace, info: harness.RunInfo,
           workdir: Path) -> tuple[list[str], bool]:
    scenarios = args.only or ["killed", "clients", "hostile"]
    run = Run(args, workdir)
    sections: list[str] = []
    for name in ("killed", "clients", "hostile"):
        if name in scenarios:
            sections += [""] + {"killed": run.killed_and_restarted,
                                "clients": run.clients, "hostile": run.hostile}[name]()
    passed = not run.problems
    verdict = ("PASS: every outcome the documented one, no crash, every query correct afterwards"
               if passed else "FAIL: see the problems below")
    lines = ["### Fault outcomes", ""]
    lines += harness.key_value_table([("Result", verdict)] + info.rows(harness.loadavg()) + [
        ("Layer", "Python: `korvantyr.Client` in a process of its own per scenario"),
        ("Robot", f"korvantyr-sim, dual-arm, both streams at {args.rate:g} Hz (hostile: "
                  f"{args.hostile_rate:g} Hz)")])
    lines += sections
    if run.problems:
        lines += ["", "Problems:", ""] + [f"- {p}" for p in run.problems]
    return lines, passed


if __name__ == "__main__":
    sys.exit(main())
