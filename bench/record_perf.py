#!/usr/bin/env python3
"""Figures of korvantyr-record: lossless recording at 1, 5 and 10 kHz, its CPU per sample against
the floor subscriber, file size, memory over a long recording, and the replay's rate and timing.

    sudo .venv/bin/python bench/record_perf.py [--quick] [--report FILE]

Needs root and the built tools: korvantyr-record-native and kvn-bench-floor (build/cmake), the
native publisher (``cd bench/publisher && CARGO_TARGET_DIR=../../bridge/target cargo build
--release --locked``) and the mcap package (the test extra).

Inside a private network namespace, per robot layout (16 joints: ARM_1:7, ARM_2:7, EXT_AXIS:2; 56
joints: 24, 24, 8) the simulated robot answers the remote procedures (--no-streams) and
kvn-bench-publisher publishes both streams. For each rate, one subject at a time: the floor
(kvn-bench-floor: two counting subscriptions on the same Zenoh bridge), the recorder with its
decoded channels, and the recorder with --raw-only. Each recorder run is framed by pauses of the
publisher, so that what it recorded can be held against what was published in between: lossless
means equal, with no sample lost in the queue. CPU per sample is the subject's process CPU time
over its window divided by the samples of both streams. Then a long recording at 1 kHz (16 joints)
samples the recorder's resident memory every few seconds, and the recording of the 1 kHz run is
replayed by korvantyr-sim --replay and recorded again: the replay's rate against the recording's,
and its timing error (each replayed sample's delay against the median delay).
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import harness
from harness import IN_FLIGHT, Floor, Publisher, SetupError, Sim

REPO = Path(__file__).resolve().parents[1]
DEFAULT_RECORDER = REPO / "build" / "cmake" / "tools" / "korvantyr-record-native"
DEFAULT_FLOOR = REPO / "build" / "cmake" / "bench" / "kvn-bench-floor"
DEFAULT_PUBLISHER = REPO / "bridge" / "target" / "release" / "kvn-bench-publisher"
SUBSCRIBED = 1.0  # seconds after its start by which a recorder's subscriptions are known
LAYOUTS = {16: "ARM_1:7,ARM_2:7,EXT_AXIS:2", 56: "ARM_1:24,ARM_2:24,EXT_AXIS:8"}


@dataclass
class Plan:
    rates: tuple[int, ...] = (1000, 5000, 10000)
    layouts: tuple[int, ...] = (16, 56)
    window: float = 60.0
    memory_seconds: float = 600.0
    replay_seconds: float = 20.0


QUICK = Plan(rates=(1000, 10000), layouts=(16,), window=8.0, memory_seconds=20.0,
             replay_seconds=5.0)
# The publisher: kvn-bench-publisher with Block congestion control, so that a sample the network
# or the subscriber cannot take at once is waited for, never dropped: what was put is what the
# recorder must have.


def progress(text: str) -> None:
    print(f"record_perf: {text}", file=sys.stderr, flush=True)


@dataclass
class Recorded:
    samples: int  # both streams
    lost: int
    undecodable: int
    cpu_s: float
    size: int
    path: Path
    rss_kib: list[int] = field(default_factory=list)


SUMMARY = re.compile(r"(basic|extra) stream: (\d+) samples.*?(\d+) undecodable, (\d+) lost")
CPU = re.compile(r"recorder CPU: ([0-9.]+) s")


def record(recorder: Path, serial: str, out: Path, pub: Publisher | None, seconds: float,
           work: Path, *extra: str, rss_every: float = 0.0) -> tuple[Recorded, int]:
    """One recording framed by pauses of the publisher; returns it and the samples published
    while it ran (both streams; 0 without a publisher)."""
    if pub is not None:
        pub.command("pause")
        time.sleep(IN_FLIGHT)
    err_path = work / f"{out.stem}.stderr"
    with open(err_path, "w") as err:
        proc = subprocess.Popen([str(recorder), serial, "-o", str(out), *extra],
                                stdout=subprocess.PIPE, stderr=err, text=True)
    # The recorder subscribes first and learns the joint groups from the first sample it gets:
    # the publisher resumes once the subscriptions are surely known to it.
    time.sleep(SUBSCRIBED)
    put0 = pub.count()[0] if pub is not None else 0
    if pub is not None:
        pub.command("resume")
    deadline = time.monotonic() + 30
    while "recording" not in err_path.read_text():
        if proc.poll() is not None or time.monotonic() > deadline:
            raise SetupError(f"the recorder did not start:\n{err_path.read_text()}")
        time.sleep(0.05)
    rss: list[int] = []
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(min(rss_every or 1.0, max(0.0, end - time.monotonic())))
        if rss_every:
            figures = harness.proc_figures(proc.pid)
            if figures is not None:
                rss.append(figures.rss_kib)
    put1 = put0
    if pub is not None:
        pub.command("pause")
        time.sleep(IN_FLIGHT)
        put1 = pub.count()[0]
    proc.send_signal(signal.SIGTERM)
    stdout, _ = proc.communicate(timeout=120)
    if pub is not None:
        pub.command("resume")
    if proc.returncode != 0:
        raise SetupError(f"the recorder failed ({proc.returncode}):\n{err_path.read_text()}")
    streams = SUMMARY.findall(stdout)
    cpu = CPU.search(stdout)
    if len(streams) != 2 or cpu is None:
        raise SetupError(f"unexpected summary:\n{stdout}")
    return Recorded(samples=sum(int(s[1]) for s in streams), lost=sum(int(s[3]) for s in streams),
                    undecodable=sum(int(s[2]) for s in streams), cpu_s=float(cpu.group(1)),
                    size=out.stat().st_size, path=out, rss_kib=rss), 2 * (put1 - put0)


def floor_cpu_us(floor_path: Path, serial: str, seconds: float, work: Path, name: str) -> float:
    floor = Floor([str(floor_path), serial], work / f"{name}.stderr")
    try:
        time.sleep(1.0)
        n0, c0 = floor.sample()
        time.sleep(seconds)
        n1, c1 = floor.sample()
    finally:
        floor.stop(terminate=False)
    return (c1 - c0) / 1000.0 / max(1, n1 - n0)


def replay_figures(recording: Path, recorder: Path, seconds: float, work: Path) -> dict:
    """Replays ``recording`` and records the replay; rate held and timing error."""
    from mcap.reader import make_reader

    def basic_times(path: Path) -> tuple[list[int], list[bytes]]:
        with open(path, "rb") as f:
            times, payloads = [], []
            for _s, _c, m in make_reader(f).iter_messages(topics=["raw/basic_stream_data"]):
                times.append(m.log_time)
                payloads.append(bytes(m.data))
        return times, payloads

    serial = "REPLAY-0001"
    again = work / "replayed.mcap"
    sim = Sim(serial, ["--replay", str(recording)], work / "replay.stderr")
    try:
        with open(work / "replayed.stderr", "w") as err:
            proc = subprocess.Popen([str(recorder), serial, "-o", str(again), "--rpc-rate", "0",
                                     "--seconds", format(seconds, "g")],
                                    stdout=subprocess.PIPE, stderr=err, text=True)
        proc.communicate(timeout=seconds + 120)
    finally:
        sim.stop()
    if proc.returncode != 0:
        raise SetupError(f"the replay's recorder failed:\n{(work / 'replayed.stderr').read_text()}")
    t1, p1 = basic_times(recording)
    t2, p2 = basic_times(again)
    # Where the second recording begins in the first: the first place where a run of its samples
    # matches (the publisher's payloads come from a ring, so a run is asked for). From there each
    # replayed sample is looked for in order; recorded samples passed over were not replayed.
    m = min(50, len(p2))
    start = next((k for k in range(len(p1) - m + 1) if p1[k:k + m] == p2[:m]), None)
    if m < 10 or start is None:
        raise SetupError("the replay's recording does not match the original's samples")
    pairs, skipped, j = [], 0, start
    for t, payload in zip(t2, p2):
        k = j
        while k < len(p1) and k - j < 1000 and p1[k] != payload:
            k += 1
        if k == len(p1) or p1[k] != payload:
            break  # past the recording's end (a later pass, or another sample)
        skipped += k - j
        pairs.append((t, t1[k]))
        j = k + 1
    # Timing error: each sample's delay (replayed time minus recorded time) against the median
    # delay, so that the constant offset between the two clocks' starts does not count.
    r0, o0 = pairs[0]
    delays = [(r - r0) - (o - o0) for r, o in pairs]
    typical = statistics.median(delays)
    errors = sorted(abs(d - typical) / 1e6 for d in delays)
    span_replayed = (pairs[-1][0] - r0) / 1e9
    span_recorded = (pairs[-1][1] - o0) / 1e9
    return {"samples": len(pairs), "skipped": skipped, "rate_replayed": (len(pairs) - 1) / span_replayed,
            "rate_recorded": (len(pairs) - 1) / span_recorded,
            "p50_ms": errors[len(errors) // 2], "p99_ms": errors[int(len(errors) * 0.99)],
            "max_ms": errors[-1]}


def run(args: argparse.Namespace, info: harness.RunInfo, work: Path) -> tuple[list[str], bool]:
    plan = QUICK if args.quick else Plan()
    if args.window is not None:
        plan.window = args.window
    if args.memory_seconds is not None:
        plan.memory_seconds = args.memory_seconds
    rows, checks = [], []
    size_row = None
    memory = None
    replay = None
    started = time.monotonic()
    for layout in plan.layouts:
        serial = f"RECPERF-J{layout}-0001"
        groups = LAYOUTS[layout]
        sim = Sim(serial, ["--no-streams", "--groups", groups], work / f"sim-{layout}.stderr")
        pub = Publisher(args.publisher, serial, groups, plan.rates[0],
                        work / f"publisher-{layout}.stderr")
        try:
            for rate in plan.rates:
                pub.command(f"rate {rate}")
                progress(f"{layout} joints, {rate} Hz: floor")
                floor = floor_cpu_us(args.floor, serial, plan.window, work, f"floor-{layout}-{rate}")
                figures = {}
                for label, extra in (("decoded", ()), ("raw only", ("--raw-only",))):
                    progress(f"{layout} joints, {rate} Hz: recorder, {label}")
                    out = work / f"rec-{layout}-{rate}-{label.replace(' ', '-')}.mcap"
                    rec, published = record(args.recorder, serial, out, pub, plan.window, work,
                                            *extra)
                    figures[label] = rec
                    lossless = rec.samples == published and rec.lost == 0
                    checks.append((f"lossless, {layout} joints, {rate} Hz, {label}", lossless,
                                   f"published {published:,}, recorded {rec.samples:,}, "
                                   f"lost in the queue {rec.lost}"))
                    if layout == 16 and rate == 1000 and label == "decoded":
                        size_row = rec
                        if os.environ.get("KVN_KEEP_RECORDING"):
                            (REPO / "build").mkdir(exist_ok=True)
                            os.replace(out, REPO / "build" / "record-perf-1khz.mcap")
                            rec.path = REPO / "build" / "record-perf-1khz.mcap"
                cpu = {k: v.cpu_s * 1e6 / max(1, v.samples) for k, v in figures.items()}
                rows.append((layout, rate, floor, cpu["decoded"], cpu["raw only"],
                             figures["decoded"].samples, figures["decoded"].lost,
                             figures["raw only"].lost))
            if layout == 16:
                pub.command("rate 1000")
                progress(f"memory over {plan.memory_seconds:g} s at 1 kHz")
                memory, _ = record(args.recorder, serial, work / "memory.mcap", pub,
                                   plan.memory_seconds, work, rss_every=5.0)
                memory_file = memory.path
                progress("replay")
                replay = replay_figures(size_row.path if size_row else memory_file, args.recorder,
                                        plan.replay_seconds, work)
        finally:
            pub.stop()
            sim.stop()

    lines = ["# Recording benchmark", "", *harness.key_value_table(info.rows(harness.loadavg())),
             "", f"Plan: {plan}; {time.monotonic() - started:.0f} s.", "",
             "## Lossless recording and CPU per sample", "",
             "CPU per sample: the subject's process CPU time over its window divided by the samples "
             "of both streams, in microseconds; the goal is at most 1.5x the floor with the decoded "
             "channels and 1.2x raw only.", ""]
    table_rows = []
    for layout, rate, floor, dec, raw, samples, lost_dec, lost_raw in rows:
        table_rows.append((layout, f"{rate:,}", f"{floor:.2f}", f"{dec:.2f}",
                           f"{dec / floor:.2f}x", f"{raw:.2f}", f"{raw / floor:.2f}x",
                           f"{samples:,}", lost_dec + lost_raw))
    lines += harness.table(["joints", "Hz per stream", "floor µs", "decoded µs", "decoded/floor",
                            "raw only µs", "raw/floor", "samples (decoded run)",
                            "queue losses"], table_rows)
    lines += ["", "## Checks", ""]
    lines += harness.table(["check", "result", "detail"],
                           [(what, "pass" if ok else "FAIL", detail) for what, ok, detail in checks])
    if size_row is not None:
        per_minute = size_row.size / (size_row.samples / 2 / 1000.0) * 60.0 / 2**20
        lines += ["", "## File size", "",
                  f"16 joints at 1 kHz with the decoded channels, zstd: {size_row.size / 2**20:.1f} "
                  f"MiB for {size_row.samples:,} samples, {per_minute:.1f} MiB per minute."]
    if memory is not None and memory.rss_kib:
        rss = memory.rss_kib
        lines += ["", "## Memory", "",
                  f"Resident memory of the recorder at 1 kHz (16 joints) over "
                  f"{plan.memory_seconds:g} s, every 5 s: first {rss[0] / 1024:.1f} MiB, "
                  f"median {statistics.median(rss) / 1024:.1f} MiB, last {rss[-1] / 1024:.1f} MiB, "
                  f"max {max(rss) / 1024:.1f} MiB; {memory.samples:,} samples, "
                  f"{memory.lost} lost."]
    if replay is not None:
        lines += ["", "## Replay", "",
                  f"The 1 kHz recording replayed by korvantyr-sim --replay and recorded again: "
                  f"{replay['samples']:,} basic samples matched in order, {replay['skipped']} "
                  f"recorded samples not replayed; rate "
                  f"{replay['rate_replayed']:.1f} Hz replayed against "
                  f"{replay['rate_recorded']:.1f} Hz recorded; timing error (each sample's delay "
                  f"against the median delay) p50 {replay['p50_ms']:.2f} ms, "
                  f"p99 {replay['p99_ms']:.2f} ms, max {replay['max_ms']:.2f} ms."]
    passed = all(ok for _, ok, _ in checks)
    return lines, passed


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.split("\n")[2:]))
    parser.add_argument("--quick", action="store_true", help="a smoke run of a minute or two")
    parser.add_argument("--window", type=float, default=None,
                        help="seconds per subject and rate (default: 60; --quick: 8)")
    parser.add_argument("--memory-seconds", type=float, default=None,
                        help="length of the memory run at 1 kHz (default: 600; --quick: 20)")
    parser.add_argument("--recorder", type=Path, default=DEFAULT_RECORDER)
    parser.add_argument("--floor", type=Path, default=DEFAULT_FLOOR)
    parser.add_argument("--publisher", type=Path, default=DEFAULT_PUBLISHER)
    harness.add_driver_arguments(parser)
    args = parser.parse_args(argv)
    for path in (args.recorder, args.floor, args.publisher):
        if not (path.is_file() and os.access(path, os.X_OK)):
            print(f"record_perf.py: {path} not found (see --help)", file=sys.stderr)
            return 2
    return harness.run_driver(args, lambda _args: 2, lambda info, work: run(args, info, work))


if __name__ == "__main__":
    sys.exit(main())
