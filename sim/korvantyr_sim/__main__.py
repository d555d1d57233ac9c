"""korvantyr-sim: run a simulated robot until interrupted or for --duration seconds.

Prints "READY" on stdout once its publishers and its queryable are declared.
"""

from __future__ import annotations

import argparse
import signal
import sys

from .robot import PRESETS
from .service import FAULTS, Options, Service


def _request_ids(text: str) -> frozenset[int]:
    try:
        ids = frozenset(int(part) for part in text.split(",") if part.strip())
    except ValueError as exc:
        raise argparse.ArgumentTypeError(f"not a list of request ids: {text!r}") from exc
    if any(not 0 <= i <= 0xFFFF for i in ids):
        raise argparse.ArgumentTypeError(f"request ids are 16-bit: {text!r}")
    return ids


def _positive(text: str) -> float:
    value = float(text)
    if not value > 0:
        raise argparse.ArgumentTypeError(f"must be positive: {text!r}")
    return value


def parse_args(argv: list[str] | None = None) -> Options:
    parser = argparse.ArgumentParser(prog="korvantyr-sim", description=__doc__)
    parser.add_argument("--serial", required=True, help="serial number, used as given in the keys")
    parser.add_argument("--preset", choices=sorted(PRESETS), default="dual-arm")
    parser.add_argument("--rate", type=_positive, default=100.0, help="stream rate in Hz")
    parser.add_argument("--duration", type=_positive, default=None, help="seconds to run")
    parser.add_argument("--server-version", default="v2.1", help="answer to request 1")
    parser.add_argument("--fault", choices=FAULTS, default="none", help="misbehave on purpose")
    parser.add_argument(
        "--fault-on", type=_request_ids, default=frozenset(),
        help="comma-separated request ids the fault applies to (default: all)",
    )
    parser.add_argument("--reply-delay", type=float, default=0.0, help="seconds before replying")
    a = parser.parse_args(argv)
    return Options(
        serial=a.serial, preset=a.preset, rate=a.rate, duration=a.duration,
        server_version=a.server_version, fault=a.fault, fault_on=a.fault_on,
        reply_delay=a.reply_delay,
    )


def main(argv: list[str] | None = None) -> int:
    service = Service(parse_args(argv))

    def on_signal(_signum: int, _frame: object) -> None:
        service.stop()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    service.run(ready=lambda: print("READY", flush=True))
    return 0


if __name__ == "__main__":
    sys.exit(main())
