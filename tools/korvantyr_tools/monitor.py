#!/usr/bin/env python3
"""Live terminal view of a robot through the korvantyr client.

    python examples/monitor.py --serial DEMO-ARM-0001 --seconds 10

Streamed data (joint states, TCP pose and wrench, safety flags, digital I/O) is redrawn about ten
times a second. The remote answers (plan info, primitive states, configuration scores and whether
the robot answers) block until the robot replies or their time-out passes, so they are asked about
once a second; a call that fails shows "no reply" until the next attempt succeeds.

On a terminal the view is redrawn in place; when stdout is a file or a pipe, one plain frame is
printed about once a second, frames separated by a blank line.
"""

from __future__ import annotations

import argparse
import sys
import time
from collections.abc import Callable
from typing import Any

import korvantyr

FRAME_PERIOD_S = 0.1
REMOTE_PERIOD_S = 1.0
NO_REPLY = "no reply"
LIGHT_ON, LIGHT_OFF = "\u25cf", "\u25cb"  # ● ○
# Home, then each line cleared to its end and the rest of the screen below: no flicker.
HOME, CLEAR_EOL, CLEAR_BELOW = "\033[H", "\033[K", "\033[J"
HIDE_CURSOR, SHOW_CURSOR = "\033[?25l", "\033[?25h"


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description="Live terminal view of a robot.")
    parser.add_argument("--serial", required=True, help="the robot's serial number")
    parser.add_argument("--seconds", type=float, default=10.0,
                        help="how long to watch before exiting (default: 10)")
    parser.add_argument("--quiet", action="store_true",
                        help="leave out the client's informational start-up lines")
    return parser.parse_args(argv)


def ask(call: Callable[[], Any]) -> tuple[bool, Any]:
    """Run one client call; a communication failure becomes (False, message)."""
    try:
        return True, call()
    except (RuntimeError, IndexError) as exc:
        return False, str(exc)


def fmt(values: Any, digits: int = 3) -> str:
    return "[" + ", ".join(f"{v:.{digits}f}" for v in values) + "]"


def lights(bits: list[bool]) -> str:
    return " ".join(LIGHT_ON if b else LIGHT_OFF for b in bits)


def flag(value: bool) -> str:
    return "yes" if value else "no"


def fmt_value(value: Any) -> str:
    return f"{value:.3f}" if isinstance(value, float) else str(value)


class Remote:
    """The latest answers of the remote calls, asked again once REMOTE_PERIOD_S has passed."""

    def __init__(self, client: korvantyr.Client) -> None:
        self.client = client
        self.asked_at = float("-inf")
        self.connected: tuple[bool, Any] = (False, None)
        self.plan: tuple[bool, Any] = (False, None)
        self.primitives: tuple[bool, Any] = (False, None)
        self.scores: tuple[bool, Any] = (False, None)

    def refresh_if_due(self, now: float) -> bool:
        if now - self.asked_at < REMOTE_PERIOD_S:
            return False
        self.asked_at = now
        self.connected = ask(self.client.connected)
        self.plan = ask(self.client.plan_info)
        self.primitives = ask(self.client.primitive_states)
        self.scores = ask(self.client.configuration_score)
        return True


def render(client: korvantyr.Client, remote: Remote, serial: str, left_s: float) -> list[str]:
    lines = [f"korvantyr monitor: {serial}   ({left_s:4.1f} s left)"]

    ok, answered = remote.connected
    lines.append("robot answers: " + (flag(answered) if ok else NO_REPLY))

    ok, groups = ask(client.groups)
    if ok:
        names = ", ".join(groups.values()) or "(none yet)"
        lines.append(f"joint groups: {names}")
    else:
        lines.append(f"joint groups: error: {groups}")

    lines.append("")
    states = client.states()
    if not states:
        lines.append("states: (no data yet)")
    for group, s in states.items():
        lines.append(f"{group.name}")
        lines.append(f"  q          {fmt(s.q, 2)}")
        lines.append(f"  tcp_pose   {fmt(s.tcp_pose)}")
        lines.append(f"  tcp_wrench {fmt(s.tcp_wrench, 2)}")

    lines.append("")
    lines.append(f"e-stop released: {flag(client.estop_released())}   "
                 f"enabling device on: {flag(client.enabling_device_on())}")
    lines.append(f"digital inputs   {lights(client.digital_inputs())}")
    lines.append(f"digital outputs  {lights(client.digital_outputs())}")

    lines.append("")
    ok, plan = remote.plan
    if ok:
        lines.append(f"plan: {plan.assigned_plan_name or '-'}   node: {plan.node_name or '-'}   "
                     f"primitive: {plan.pt_name or '-'}   velocity scale: {plan.velocity_scale:.2f}"
                     f"   waiting for step: {flag(plan.waiting_for_step)}")
    else:
        lines.append(f"plan: {NO_REPLY}")

    ok, primitives = remote.primitives
    if ok:
        lines.append("primitive states:")
        for group, p in primitives.items():
            values = list(p.names_and_values.items())[:3]
            shown = ", ".join(f"{k}={fmt_value(v)}" for k, v in values)
            lines.append(f"  {group.name:<9} {p.pt_name or '-'}  {shown}")
    else:
        lines.append(f"primitive states: {NO_REPLY}")

    ok, scores = remote.scores
    if ok:
        shown = "   ".join(f"{g.name} {a:.1f}/{b:.1f}" for g, (a, b) in scores.items())
        lines.append(f"configuration scores: {shown or '-'}")
    else:
        lines.append(f"configuration scores: {NO_REPLY}")
    return lines


def run(args: argparse.Namespace) -> int:
    try:
        client = korvantyr.Client(args.serial, verbose=not args.quiet)
    except (ValueError, RuntimeError) as exc:
        print(f"monitor: {exc}", file=sys.stderr)
        return 1

    tty = sys.stdout.isatty()
    remote = Remote(client)
    end = time.monotonic() + args.seconds
    if tty:
        sys.stdout.write(HIDE_CURSOR + HOME + CLEAR_BELOW)
    try:
        while (now := time.monotonic()) < end:
            fresh = remote.refresh_if_due(now)
            frame = render(client, remote, args.serial, max(0.0, end - time.monotonic()))
            if tty:
                body = "".join(line + CLEAR_EOL + "\n" for line in frame)
                sys.stdout.write(HOME + body + CLEAR_BELOW)
                sys.stdout.flush()
            elif fresh:
                print("\n".join(frame) + "\n", flush=True)
            time.sleep(max(0.0, min(FRAME_PERIOD_S, end - time.monotonic())))
    except KeyboardInterrupt:
        pass
    finally:
        if tty:
            sys.stdout.write(SHOW_CURSOR)
            sys.stdout.flush()
        del remote, client  # disconnects now, so the client's exit line comes last
    return 0


def main(argv: list[str] | None = None) -> int:
    return run(parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
