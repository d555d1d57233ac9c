#!/usr/bin/env python3
"""Network exposure: what a Python client opens, declares, sends and publishes on the network.

    sudo .venv/bin/python bench/exposure.py

Needs root. Inside a private network namespace that it creates and removes, the driver starts the
simulated robot and a client process, and watches the client from a Zenoh peer of its own (admin
space on, a queryable and a subscriber on "**") while the client starts up, runs every query once
and starts a second client on the same session:

* sockets: what the client process has open (``ss``), with Zenoh's default configuration;
* declarations: the subscribers, queryables and liveliness tokens of the client's session, as the
  routing table in the watching peer's admin space lists them;
* queries: every query the watching peer received (key, parameters, request id, joint groups);
* publications: samples on any key while the robot's streams are paused and the client runs its
  queries.

The report goes to stdout as markdown. Exit status 0 when the client declares only its two stream
subscribers, sends only the six requests it defines and publishes nothing; 1 otherwise; 2 when the
run could not be set up. tests/python/test_contract.py pins the same outcome.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import threading
import time
from collections import Counter as Tally
from pathlib import Path

import harness
from harness import IN_FLIGHT, ClientChild, SetupError, Sim

SERIAL = "EXPOSURE-ARM-0001"
QUERIES = ("connected", "groups", "states", "actions", "primitive_states", "configuration_score",
           "plan_info", "estop_released", "enabling_device_on", "digital_inputs",
           "digital_outputs")
# The requests the client defines: request id, joint groups, what for.
REQUESTS = {
    (0, ()): "probe: start-up, `connected()`",
    (1, ()): "server version: start-up",
    (3, ()): "`primitive_states()`",
    (4, ()): "`plan_info()`",
    (9, ()): "`configuration_score()`",
    (10, (0, 2, 3, 4, 5)): "start index and DoF: start-up",
}


def client_main(args: argparse.Namespace) -> int:
    import korvantyr

    control = os.fdopen(args.control_fd, "w", buffering=1)
    client = harness.connect(korvantyr, SERIAL)
    control.write(json.dumps({"connected": True}) + "\n")
    for line in sys.stdin:
        if line.strip() == "QUERIES":
            outcomes = {}
            for name in QUERIES:
                try:
                    getattr(client, name)()
                    outcomes[name] = "ok"
                except Exception as exc:  # noqa: BLE001 - reported
                    outcomes[name] = f"{type(exc).__name__}: {exc}"
            # A second client on the same session repeats the start-up requests.
            second = korvantyr.Client(SERIAL, verbose=False)
            del second
            control.write(json.dumps(outcomes) + "\n")
    del client
    return 0


def _sockets(pid: int) -> list[tuple[str, str, str, str]]:
    out = subprocess.run(["ss", "-tuanpH"], capture_output=True, text=True, check=True).stdout
    rows = []
    for line in out.splitlines():
        if f"pid={pid}," not in line:
            continue
        proto, state, _, _, local, peer = line.split()[:6]
        rows.append((proto, state, local, peer))
    return sorted(rows)


def _reader_u16s(payload: bytes) -> tuple[int, tuple[int, ...]] | None:
    """request_id and joint_groups of an RPCRequest payload, None if it is not exactly one."""
    sys.path.insert(0, str(harness.SIM_DIR))
    from korvantyr_sim.messages import DecodeError, RPCRequest, decode

    try:
        request = decode(RPCRequest, payload)
    except DecodeError:
        return None
    return request.request_id, tuple(request.joint_groups)


def run(workdir: Path) -> tuple[list[str], list[str]]:
    import zenoh

    problems: list[str] = []
    sim = Sim(SERIAL, ["--rate", "100"], workdir / "sim.stderr")
    config = zenoh.Config()
    config.insert_json5("adminspace", '{"enabled": true, "permissions": {"read": true}}')
    watcher = zenoh.open(config)
    lock = threading.Lock()
    queries: list[tuple[str, str, bytes]] = []
    samples: list[tuple[float, str]] = []

    def on_query(query: zenoh.Query) -> None:
        payload = query.payload.to_bytes() if query.payload is not None else b""
        with lock:
            queries.append((str(query.key_expr), str(query.parameters), payload))
        query.drop()

    def on_sample(sample: zenoh.Sample) -> None:
        with lock:
            samples.append((time.monotonic(), str(sample.key_expr)))

    keep = [watcher.declare_queryable("**", on_query), watcher.declare_subscriber("**", on_sample)]
    client = None
    try:
        deadline = time.monotonic() + 20.0
        while not list(watcher.get(f"korvan/robot/{SERIAL}/rpc", payload=b"\x00\x00\x00",
                                   timeout=1.0)):
            if time.monotonic() > deadline:
                raise SetupError("the watching peer never found the robot")
        with lock:
            queries.clear()  # the watcher's own probes above
        before = {str(z) for z in watcher.info.peers_zid()}
        client = ClientChild(Path(__file__).resolve(), [], workdir / "client.stderr")
        if client.answer(120.0) is None:
            raise SetupError("the client did not connect:\n" + client.stderr_tail())
        while not (zids := {str(z) for z in watcher.info.peers_zid()} - before):
            if time.monotonic() > deadline + 20.0:
                raise SetupError("the client's session never reached the watching peer")
            time.sleep(0.05)
        sockets = _sockets(client.proc.pid)
        sim.command("pause all")
        time.sleep(IN_FLIGHT)
        quiet = time.monotonic()
        client.send("QUERIES")
        outcomes = client.answer(120.0) or {}
        with lock:
            published = Tally(key for at, key in samples if at >= quiet)
            seen = list(queries)

        prefix = f"@/{watcher.zid()}/peer/"
        declared: list[tuple[str, str]] = []
        for reply in watcher.get(prefix + "**", timeout=5.0):
            if reply.ok is None:
                continue
            kind, _, key = str(reply.ok.key_expr)[len(prefix):].partition("/")
            if kind in ("subscriber", "queryable", "token") and zids & set(
                    json.loads(reply.ok.payload.to_bytes()).get("peers", [])):
                declared.append((kind, key))
    finally:
        if client is not None:
            status = client.stop()
            if status != 0:
                problems.append(f"client process: {harness.exit_text(status)}")
        for entity in keep:
            entity.undeclare()
        watcher.close()
        sim.stop()

    for name, outcome in outcomes.items():
        if outcome != "ok":
            problems.append(f"`{name}()`: {outcome}")
    expected_subscribers = {f"korvan/robot/{SERIAL}/basic_stream_data",
                            f"korvan/robot/{SERIAL}/extra_stream_data"}
    if sorted(declared) != sorted(("subscriber", k) for k in expected_subscribers):
        problems.append(f"declared: {sorted(declared)}")
    requests: Tally[tuple[str, str, object]] = Tally()
    for key, parameters, payload in seen:
        requests[(key, parameters, _reader_u16s(payload))] += 1
    for key, parameters, request in requests:
        if key != f"korvan/robot/{SERIAL}/rpc" or parameters or request not in REQUESTS:
            problems.append(f"query on {key!r} with {parameters!r}: {request}")
    missing = set(REQUESTS) - {r for _, _, r in requests}
    if missing:
        problems.append(f"requests never seen (the watcher missed them?): {sorted(missing)}")
    if published:
        problems.append(f"samples while the robot was paused: {dict(published)}")

    sections = ["#### Sockets of the client process (Zenoh's default configuration)", ""]
    sections += harness.table(("Protocol", "State", "Local address", "Peer address"), sockets)
    sections += ["", "#### Declared by the client's session", ""]
    sections += harness.table(("Kind", "Key expression"), sorted(declared)) if declared else [
        "nothing"]
    sections += ["", "Queryables: " + str(sum(k == "queryable" for k, _ in declared))
                 + ". Liveliness tokens: " + str(sum(k == "token" for k, _ in declared)) + "."]
    sections += ["", "#### Queries the client sent (start-up, every query once, a second client)",
                 ""]
    rows = []
    for (key, parameters, request), n in sorted(requests.items(),
                                                key=lambda i: (i[0][0], str(i[0][1]), i[0][2] or ())):
        what = REQUESTS.get(request, "not one of the client's requests") if request else "?"
        rid, groups = request if request else ("?", "?")
        rows.append((f"`{key}`", f"`{parameters}`" if parameters else "none", rid,
                     list(groups) if groups != "?" else groups, n, what))
    sections += harness.table(("Key", "Parameters", "request_id", "joint_groups", "Queries",
                               "Sent for"), rows)
    sections += ["", f"#### Publications: {sum(published.values())} samples on any key while the "
                     "robot's streams were paused and the client ran every query"]
    return sections, problems


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    harness.add_driver_arguments(parser)
    args = parser.parse_args(argv)
    return harness.run_driver(args, client_main, lambda info, work: report(info, work))


def report(info: harness.RunInfo, workdir: Path) -> tuple[list[str], bool]:
    sections, problems = run(workdir)
    verdict = ("PASS: two stream subscribers, no queryable, no token, only the six requests, no "
               "publication" if not problems else "FAIL: see the problems below")
    lines = ["### Network exposure", ""]
    lines += harness.key_value_table([("Result", verdict)] + info.rows(harness.loadavg()) + [
        ("Layer", "Python: `korvantyr.Client` in a process of its own, watched by an "
                  "eclipse-zenoh peer")])
    lines += [""] + sections
    if problems:
        lines += ["", "Problems:", ""] + [f"- {p}" for p in problems]
    return lines, not problems


if __name__ == "__main__":
    sys.exit(main())
