"""korvantyr-monitor: live terminal view of a robot through the korvantyr client.

    korvantyr-monitor DEMO-ARM-0001 --seconds 10

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

from ._cli import (EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, connect, parse_robot_command,
                   robot_command_parser, shown)

FRAME_PERIOD_S = 0.1
REMOTE_PERIOD_S = 1.0
NO_REPLY = "no reply"
LIGHT_ON, LIGHT_OFF = "\u25cf", "\u25cb"  # ● ○
# Home, then each line cleared to its end and the rest of the screen below: no flicker.
HOME, CLEAR_EOL, CLEAR_BELOW = "\033[H", "\033[K", "\033[J"
HIDE_CURSOR, SHOW_CURSOR = "\033[?25l", "\033[?25h"


EPILOG = """\
The view is redrawn about ten times a second on a terminal; piped into a file it prints one plain
frame a second. Ctrl-C ends it early.

exit codes:
  0    watched for the whole time, or until Ctrl-C
  1    the robot cannot be reached or the serial number is malformed (one line on stderr)
  2    usage error
  130  Ctrl-C while connecting
"""


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = robot_command_parser(
        "Live terminal view of everything the korvantyr client answers about a robot.", EPILOG,
        10.0, "how long to watch before exiting")
    return parse_robot_command(parser, argv)


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
    return f"{value:.3f}" if isinstance(value, float) else shown(str(value))


def text(value: str) -> str:
    """A text field of the robot's answers, "-" when empty."""
    return shown(value) or "-"


def plan_line(plan: korvantyr.PlanInfo) -> str:
    return (f"plan: {text(plan.assigned_plan_name)}   node: {text(plan.node_name)}   "
            f"primitive: {text(plan.pt_name)}   velocity scale: {plan.velocity_scale:.2f}"
            f"   waiting for step: {flag(plan.waiting_for_step)}")


def primitive_lines(primitives: dict[korvantyr.JointGroup, korvantyr.PrimitiveStates]) -> list[str]:
    lines = ["primitive states:"]
    for group, p in primitives.items():
        values = list(p.names_and_values.items())[:3]
        listed = ", ".join(f"{shown(k)}={fmt_value(v)}" for k, v in values)
        lines.append(f"  {group.name:<9} {text(p.pt_name)}  {listed}")
    return lines


class Remote:
    """The latest answers of the remote calls, asked again once REMOTE_PERIOD_S has passed. The
    plan info and the primitive states are kept as the lines that show them: their texts are
    read (and can fail to read) inside the call."""

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
        self.plan = ask(lambda: plan_line(self.client.plan_info()))
        self.primitives = ask(lambda: primitive_lines(self.client.primitive_states()))
        self.scores = ask(self.client.configuration_score)
        return True


def render(client: korvantyr.Client, remote: Remote, serial: str, left_s: float) -> list[str]:
    lines = [f"korvantyr monitor: {shown(serial)}   ({left_s:4.1f} s left)"]

    ok, answered = remote.connected
    lines.append("robot answers: " + (flag(answered) if ok else NO_REPLY))

    ok, groups = ask(client.groups)
    if ok:
        names = ", ".join(groups.values()) or "(none yet)"
        lines.append(f"joint groups: {names}")
    else:
        lines.append(f"joint groups: error: {shown(groups)}")

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
    lines.append(plan if ok else f"plan: {NO_REPLY}")

    ok, primitives = remote.primitives
    lines.extend(primitives if ok else [f"primitive states: {NO_REPLY}"])

    ok, scores = remote.scores
    if ok:
        listed = "   ".join(f"{g.name} {a:.1f}/{b:.1f}" for g, (a, b) in scores.items())
        lines.append(f"configuration scores: {listed or '-'}")
    else:
        lines.append(f"configuration scores: {NO_REPLY}")
    return lines


def run(args: argparse.Namespace) -> int:
    client = connect(args.prog, args.serial, args.quiet)
    if client is None:
        return EXIT_FAILURE

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
    return EXIT_OK


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        return run(args)
    except KeyboardInterrupt:  # while connecting: nothing to show yet
        return EXIT_INTERRUPTED
