"""korvantyr-monitor: live terminal view of a robot through the korvantyr client.

    korvantyr-monitor DEMO-ARM-0001 --seconds 10

Streamed data (joint states, TCP pose and wrench, safety flags, digital I/O) is redrawn about ten
times a second. The remote answers (plan info, primitive states, configuration scores and whether
the robot answers) block until the robot replies or their time-out passes, so they are asked about
once a second, one call per redraw; a call that fails shows "no reply" and the client's reason
until the next attempt succeeds. A robot that sends garbage is shown, never a reason to stop.

Ctrl-C, SIGTERM and SIGHUP end the view and give the terminal its cursor back. A remote call
cannot be interrupted: the signal is seen as soon as the call in progress returns (at most its
time-out), and no further call is made.

On a terminal the view is redrawn in place; when stdout is a file or a pipe, one plain frame is
printed about once a second, frames separated by a blank line.
"""

from __future__ import annotations

import argparse
import os
import select
import signal
import sys
import time
from collections.abc import Callable
from typing import Any

import korvantyr

from ._cli import (CLIENT_ERRORS, EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, connect, failure,
                   parse_robot_command, robot_command_parser, shown)

FRAME_PERIOD_S = 0.1
REMOTE_PERIOD_S = 1.0
NO_REPLY = "no reply"
ASKING = "(asking)"  # before the first answer of a remote call
LIGHT_ON, LIGHT_OFF = "\u25cf", "\u25cb"  # ● ○
# Home, then each line cleared to its end and the rest of the screen below: no flicker.
HOME, CLEAR_EOL, CLEAR_BELOW = "\033[H", "\033[K", "\033[J"
HIDE_CURSOR, SHOW_CURSOR = "\033[?25l", "\033[?25h"


EPILOG = """\
The view is redrawn about ten times a second on a terminal; piped into a file it prints one plain
frame a second. Ctrl-C (or SIGTERM, SIGHUP) ends it early. A remote call that fails, or a
reply the client cannot read, is shown in the view as "no reply (REASON)"; the view goes on.

exit codes:
  0    watched for the whole time, or until Ctrl-C, SIGTERM or SIGHUP
  1    the robot cannot be reached or used, or the serial number is malformed (one line on
       stderr)
  2    usage error
  130  Ctrl-C while connecting
"""


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = robot_command_parser(
        "Live terminal view of everything the korvantyr client answers about a robot.", EPILOG,
        10.0, "how long to watch before exiting")
    return parse_robot_command(parser, argv)


def ask(call: Callable[[], Any]) -> tuple[bool, Any]:
    """Run one client call; whatever the client throws becomes (False, one-line reason)."""
    try:
        return True, call()
    except CLIENT_ERRORS as exc:
        return False, failure(exc)


def not_answered(result: tuple[bool, Any] | None) -> str:
    """What a remote call that has no answer to show shows instead."""
    if result is None:
        return ASKING
    return f"{NO_REPLY} ({result[1]})"


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
    """The latest answers of the remote calls. A round of calls starts once REMOTE_PERIOD_S has
    passed since the last one began; each step makes one call, so that the view is redrawn and a
    stop request seen between calls, however long each takes. The plan info and the primitive
    states are kept as the lines that show them: their texts are read (and can fail to read)
    inside the call."""

    def __init__(self, client: korvantyr.Client) -> None:
        self.client = client
        self.round_at = float("-inf")
        self.pending: list[str] = []  # the calls left in this round, by attribute name
        # (True, answer) or (False, reason); None until asked.
        self.connected: tuple[bool, Any] | None = None
        self.plan: tuple[bool, Any] | None = None
        self.primitives: tuple[bool, Any] | None = None
        self.scores: tuple[bool, Any] | None = None

    def _call(self, name: str) -> tuple[bool, Any]:
        client = self.client
        if name == "connected":
            return ask(client.connected)
        if name == "plan":
            return ask(lambda: plan_line(client.plan_info()))
        if name == "primitives":
            return ask(lambda: primitive_lines(client.primitive_states()))
        return ask(client.configuration_score)

    def step(self, now: float) -> bool:
        """Makes the next due call, if any; True once a round has been completed."""
        if not self.pending:
            if now - self.round_at < REMOTE_PERIOD_S:
                return False
            self.round_at = now
            self.pending = ["connected", "plan", "primitives", "scores"]
        name = self.pending.pop(0)
        setattr(self, name, self._call(name))
        return not self.pending


def render(client: korvantyr.Client, remote: Remote, serial: str, left_s: float) -> list[str]:
    lines = [f"korvantyr monitor: {shown(serial)}   ({left_s:4.1f} s left)"]

    answered = remote.connected
    lines.append("robot answers: " + (flag(answered[1]) if answered and answered[0]
                                      else not_answered(answered)))

    ok, groups = ask(client.groups)
    if ok:
        names = ", ".join(groups.values()) or "(none yet)"
        lines.append(f"joint groups: {names}")
    else:
        lines.append(f"joint groups: error: {groups}")

    lines.append("")
    ok, states = ask(client.states)
    if not ok:
        lines.append(f"states: error: {states}")
    elif not states:
        lines.append("states: (no data yet)")
    else:
        for group, s in states.items():
            lines.append(f"{group.name}")
            lines.append(f"  q          {fmt(s.q, 2)}")
            lines.append(f"  tcp_pose   {fmt(s.tcp_pose)}")
            lines.append(f"  tcp_wrench {fmt(s.tcp_wrench, 2)}")

    lines.append("")
    ok, io = ask(lambda: [
        f"e-stop released: {flag(client.estop_released())}   "
        f"enabling device on: {flag(client.enabling_device_on())}",
        f"digital inputs   {lights(client.digital_inputs())}",
        f"digital outputs  {lights(client.digital_outputs())}"])
    lines.extend(io if ok else [f"safety and digital I/O: error: {io}"])

    lines.append("")
    plan = remote.plan
    lines.append(plan[1] if plan and plan[0] else f"plan: {not_answered(plan)}")

    primitives = remote.primitives
    lines.extend(primitives[1] if primitives and primitives[0] else
                 [f"primitive states: {not_answered(primitives)}"])

    scores = remote.scores
    if scores and scores[0]:
        listed = "   ".join(f"{g.name} {a:.1f}/{b:.1f}" for g, (a, b) in scores[1].items())
        lines.append(f"configuration scores: {listed or '-'}")
    else:
        lines.append(f"configuration scores: {not_answered(scores)}")
    return lines


class StopRequest:
    """Ctrl-C, SIGTERM and SIGHUP while the view runs: each sets a flag that the loop reads
    between client calls. Raising from the handler instead could cut a frame or the terminal's
    restoration in half; and a remote call cannot be interrupted anyway (it returns after its
    time-out at the latest). The pause between frames is a wait on the signal wake-up pipe, so
    that a signal ends it at once. Main thread only."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

    def __init__(self) -> None:
        self.requested = False
        self.previous: dict[int, Any] = {}
        self._wake_r, self._wake_w = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        self._previous_wakeup = -1

    def __enter__(self) -> StopRequest:
        self._previous_wakeup = signal.set_wakeup_fd(self._wake_w, warn_on_full_buffer=False)
        for signum in self.SIGNALS:
            self.previous[signum] = signal.signal(signum, self._handle)
        return self

    def __exit__(self, *_exc: object) -> None:
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)
        signal.set_wakeup_fd(self._previous_wakeup)
        os.close(self._wake_r)
        os.close(self._wake_w)

    def _handle(self, _signum: int, _frame: object) -> None:
        self.requested = True

    def pause(self, seconds: float) -> None:
        """Waits ``seconds``, or less when a signal comes."""
        if seconds > 0 and not self.requested:
            select.select([self._wake_r], [], [], seconds)


def write_out(text: str) -> None:
    """Writes to the terminal or pipe; one that is gone (a hang-up, a closed pipe) is ignored so
    that the command still ends cleanly."""
    try:
        sys.stdout.write(text)
        sys.stdout.flush()
    except OSError:
        pass


def run(args: argparse.Namespace) -> int:
    client = connect(args.prog, args.serial, args.quiet)
    if client is None:
        return EXIT_FAILURE

    tty = sys.stdout.isatty()
    remote = Remote(client)
    end = time.monotonic() + args.seconds
    with StopRequest() as stop:
        if tty:
            write_out(HIDE_CURSOR + HOME + CLEAR_BELOW)
        try:
            while not stop.requested and (now := time.monotonic()) < end:
                fresh = remote.step(now)
                if stop.requested:
                    break
                frame = render(client, remote, args.serial, max(0.0, end - time.monotonic()))
                if tty:
                    write_out(HOME + "".join(line + CLEAR_EOL + "\n" for line in frame)
                              + CLEAR_BELOW)
                elif fresh:
                    write_out("\n".join(frame) + "\n\n")
                if remote.pending:
                    continue  # the next call of this round at once
                stop.pause(min(FRAME_PERIOD_S, end - time.monotonic()))
        finally:
            if tty:
                write_out(SHOW_CURSOR)
            del remote, client  # disconnects now, so the client's exit line comes last
    return EXIT_OK


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        return run(args)
    except KeyboardInterrupt:  # while connecting: nothing to show yet
        return EXIT_INTERRUPTED
