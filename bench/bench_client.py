#!/usr/bin/env python3
"""End-to-end figures of the Python client against the simulated robot streaming at 1 kHz.

    sudo .venv/bin/python bench/bench_client.py [--rate 1000] [--calls 5000]

Runs inside a private network namespace it creates and removes (needs root), starts the simulated
robot and measures:

* start-up: the time a ``Client(...)`` construction takes once the robot is known;
* per-call latency (median, 99th percentile, in microseconds) of every query;
* freshness: polling ``states()`` for a few seconds, how many distinct stream messages it sees per
  second and the largest gap between two of them;
* memory: the process's resident size before and after many calls (a leak shows as growth).

It prints figures only; nothing is asserted.
"""

from __future__ import annotations

import argparse
import gc
import os
import statistics
import subprocess
import sys
import time
from collections.abc import Callable
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(REPO / "tests" / "support"))
import netns  # noqa: E402

SERIAL = "BENCH-ARM-0001"


def rss_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def percentiles(samples_s: list[float]) -> tuple[float, float]:
    samples = sorted(samples_s)
    p99 = samples[min(len(samples) - 1, int(len(samples) * 0.99))]
    return statistics.median(samples) * 1e6, p99 * 1e6


def time_calls(call: Callable[[], object], n: int) -> list[float]:
    durations = []
    for _ in range(n):
        start = time.perf_counter()
        call()
        durations.append(time.perf_counter() - start)
    return durations


def start_sim(rate: float) -> subprocess.Popen[str]:
    proc = subprocess.Popen(
        [sys.executable, "-m", "korvantyr_sim", "--serial", SERIAL, "--preset", "dual-arm",
         "--rate", str(rate)],
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
    assert proc.stdout is not None
    if proc.stdout.readline().strip() != "READY":
        proc.kill()
        raise SystemExit("the simulated robot did not start")
    return proc


def bench(args: argparse.Namespace) -> None:
    import korvantyr

    sim = start_sim(args.rate)
    try:
        first = korvantyr.Client(SERIAL, verbose=False)  # the session finds the robot here
        print(f"robot: simulated dual-arm, {args.rate:g} Hz streams; Python {sys.version.split()[0]}")

        durations = []
        for _ in range(5):
            start = time.perf_counter()
            client = korvantyr.Client(SERIAL, verbose=False)
            durations.append(time.perf_counter() - start)
            del client
        print(f"start-up (robot known): median {statistics.median(durations) * 1e3:.1f} ms "
              f"over {len(durations)} constructions (includes the 100 ms pause)")

        client = first
        print(f"\n{'query':<22}{'calls':>7}{'median us':>12}{'p99 us':>10}")
        streamed = ["states", "actions", "groups", "estop_released", "enabling_device_on",
                    "digital_inputs", "digital_outputs"]
        remote = ["connected", "plan_info", "primitive_states", "configuration_score"]
        for name, n in [(q, args.calls) for q in streamed] + [(q, args.remote_calls) for q in remote]:
            median, p99 = percentiles(time_calls(getattr(client, name), n))
            print(f"{name + '()':<22}{n:>7}{median:>12.1f}{p99:>10.1f}")

        # What the robot really publishes, counted by an independent subscriber meanwhile.
        import zenoh

        published = [0]
        session = zenoh.open(zenoh.Config())
        counter = session.declare_subscriber(
            f"korvan/robot/{SERIAL}/basic_stream_data",
            lambda _sample: published.__setitem__(0, published[0] + 1))
        time.sleep(0.5)
        seen: list[tuple[int, int]] = []
        polls = 0
        published[0] = 0
        end = time.monotonic() + args.seconds
        while time.monotonic() < end:
            stamp = client.states()[korvantyr.JointGroup.ALL].timestamp
            polls += 1
            if not seen or seen[-1] != stamp:
                seen.append(stamp)
        sent = published[0]
        counter.undeclare()
        session.close()
        ns = [s * 1_000_000_000 + n for s, n in seen]
        gaps = [(b - a) / 1e6 for a, b in zip(ns, ns[1:])]
        print(f"\nfreshness: {polls / args.seconds:,.0f} states() polls/s saw "
              f"{len(seen) / args.seconds:,.0f} distinct messages/s; the robot published "
              f"{sent / args.seconds:,.0f}/s (asked for {args.rate:g}/s); largest gap between "
              f"two seen {max(gaps):.1f} ms")

        gc.collect()
        before = rss_kib()
        for _ in range(args.leak_calls):
            client.states()
            client.actions()
        gc.collect()
        after = rss_kib()
        print(f"memory: RSS {before} KiB before, {after} KiB after {args.leak_calls:,} "
              f"states()+actions() calls ({after - before:+d} KiB)")
    finally:
        sim.terminate()
        sim.wait(10)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--rate", type=float, default=1000.0, help="stream rate in Hz")
    parser.add_argument("--calls", type=int, default=5000, help="calls per streamed query")
    parser.add_argument("--remote-calls", type=int, default=200, help="calls per remote query")
    parser.add_argument("--seconds", type=float, default=3.0, help="freshness polling time")
    parser.add_argument("--leak-calls", type=int, default=100_000)
    args = parser.parse_args()
    if os.geteuid() != 0:
        raise SystemExit("bench_client.py opens Zenoh sessions in a private namespace: run as root")
    with netns.entered():
        bench(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
