"""korvantyr-record: record a robot's joint positions and TCP wrench for a while, then write a
CSV file and a plot.

    korvantyr-record DEMO-ARM-0001 --seconds 5

The measured states are sampled at a fixed rate (--rate, default 100 Hz) from the latest data the
robot streamed; a rate above the robot's stream rate repeats samples, which the robot's time stamp
columns show. The CSV file has one row per sample and joint group:

    time,group,q1,...,qN,fx,fy,fz,tx,ty,tz,robot_sec,robot_nsec

``time`` is seconds since the recording started (this computer's clock), ``q1``..``qN`` the group's
joint positions (N is the largest DoF of the robot's groups; a smaller group leaves its extra
columns empty), ``fx``..``tz`` the TCP wrench in the world frame and ``robot_sec``/``robot_nsec``
the time stamp of the stream message the sample comes from. Values are written with nine
significant digits, which keeps every single-precision value the robot sends exactly.

The plot (PNG) shows one joint group (--group, default ALL): its joint positions, the force and the
moment of its TCP wrench over time. Plotting needs matplotlib (``pip install 'korvantyr[plot]'``);
without it the command stops before recording, unless --no-plot asks for the CSV file only. The
plot's extension picks its format (png, svg, pdf...); a name matplotlib cannot write is refused
before recording. Ctrl-C ends the recording early; what was recorded is still written and plotted.
The plot is written under a temporary name and renamed when complete: a failed or interrupted plot
leaves no half-written file, and the CSV file is kept whatever happens to the plot.
"""

from __future__ import annotations

import argparse
import csv
import math
import os
import time
from array import array
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, TextIO

import korvantyr

from ._cli import (CLIENT_ERRORS, EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, connect,
                   failure, parse_robot_command, positive, robot_command_parser, say_error)

if TYPE_CHECKING:
    from matplotlib.figure import Figure

WRENCH_COLUMNS = ("fx", "fy", "fz", "tx", "ty", "tz")
GROUP_NAMES = [name for name in korvantyr.JointGroup.__members__ if name != "UNKNOWN"]


class RecordError(Exception):
    """A failure to report in one line, without a traceback."""


EPILOG = """\
The CSV file has one row per sample and joint group: time (s since the start), group, q1..qN,
fx, fy, fz, tx, ty, tz (TCP wrench, world frame), robot_sec, robot_nsec (the stream message's
time stamp). Ctrl-C ends the recording early; what was recorded is still written and plotted.
Whatever happens to the plot, the CSV file is kept and the summary line printed.

exit codes:
  0    recorded, and plotted unless --no-plot
  1    the robot cannot be reached or used, the serial number is malformed, no joint states
       arrived, or a file cannot be written; after a failed plot the CSV file is kept (one line
       on stderr)
  2    usage error: among them a plot name whose format matplotlib cannot write, or matplotlib
       missing for the plot: pip install 'korvantyr[plot]'
  130  Ctrl-C while connecting (nothing written), or while plotting (the CSV file is kept, the
       plot is not written)
"""
PLOT_EXTRA = "pip install 'korvantyr[plot]'"


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    parser = robot_command_parser(
        "Record a robot's joint positions and TCP wrench into a CSV file and a plot.", EPILOG,
        5.0, "how long to record")
    parser.add_argument("--rate", type=positive, default=100.0,
                        help="samples per second (default: 100)")
    parser.add_argument("--csv", type=Path, default=Path("korvantyr_record.csv"),
                        help="CSV file to write (default: korvantyr_record.csv)")
    plot_choice = parser.add_mutually_exclusive_group()
    plot_choice.add_argument("--png", type=Path, default=Path("korvantyr_record.png"),
                             help="plot to write; its extension picks the format (png, svg, "
                                  "pdf...; default: korvantyr_record.png)")
    plot_choice.add_argument("--no-plot", action="store_true",
                             help="write the CSV file only (needs no matplotlib)")
    parser.add_argument("--group", choices=GROUP_NAMES, default=None,
                        help="joint group to plot (default: ALL, or the robot's first group)")
    return parse_robot_command(parser, argv)


def fmt(value: float) -> str:
    return format(value, ".9g")


@dataclass
class Series:
    """The samples of one joint group, column by column (compact, for plotting)."""

    dof: int
    time: array[float] = field(default_factory=lambda: array("d"))
    q: list[array[float]] = field(init=False)
    wrench: list[array[float]] = field(default_factory=lambda: [array("d") for _ in range(6)])

    def __post_init__(self) -> None:
        self.q = [array("d") for _ in range(self.dof)]

    def add(self, t: float, q: list[float], wrench: list[float]) -> None:
        self.time.append(t)
        for column, value in zip(self.q, q):
            column.append(value)
        for column, value in zip(self.wrench, wrench):
            column.append(value)


class Recording:
    """Writes each sample to the CSV file as it comes and keeps the series for the plot.

    The header is written with the first sample, which fixes the groups and their DoF: states()
    always answers the groups the client learnt at start-up."""

    def __init__(self, out: TextIO) -> None:
        self.writer = csv.writer(out, lineterminator="\n")
        self.width = 0
        self.series: dict[korvantyr.JointGroup, Series] = {}
        self.samples = 0

    def add(self, t: float, states: dict[korvantyr.JointGroup, korvantyr.RobotStates]) -> None:
        if not states:  # no stream data yet, or data that does not fit the robot's groups
            return
        if self.samples == 0:
            self.width = max(len(s.q) for s in states.values())
            self.writer.writerow(["time", "group", *(f"q{i}" for i in range(1, self.width + 1)),
                                  *WRENCH_COLUMNS, "robot_sec", "robot_nsec"])
        self.samples += 1
        for group, s in states.items():
            q, wrench = s.q, s.tcp_wrench  # each read makes a new list: read once
            if len(q) > self.width:
                raise RecordError(f"group {group.name} reported {len(q)} joints after "
                                  f"{self.width} at the start of the recording")
            series = self.series.setdefault(group, Series(len(q)))
            series.add(t, q, wrench)
            self.writer.writerow([f"{t:.4f}", group.name, *map(fmt, q),
                                  *([""] * (self.width - len(q))), *map(fmt, wrench),
                                  *s.timestamp])


def record(client: korvantyr.Client, recording: Recording, seconds: float, rate: float) -> None:
    """Samples client.states() every 1/rate s for `seconds`; a late sample skips the ticks it
    missed instead of catching up in a burst."""
    period = 1.0 / rate
    start = time.monotonic()
    tick = 0
    while (t := time.monotonic() - start) < seconds:
        recording.add(t, client.states())
        tick = max(tick + 1, math.floor((time.monotonic() - start) / period) + 1)
        if tick * period >= seconds:
            break
        time.sleep(max(0.0, start + tick * period - time.monotonic()))


def choose_group(requested: str | None,
                 recorded: list[korvantyr.JointGroup]) -> korvantyr.JointGroup:
    if requested is None:
        return korvantyr.JointGroup.ALL if korvantyr.JointGroup.ALL in recorded else recorded[0]
    group = korvantyr.JointGroup.__members__[requested]
    if group not in recorded:
        names = ", ".join(g.name for g in recorded)
        raise RecordError(f"the robot has no joint group {requested} (it has {names})")
    return group


def plot(path: Path, series: Series, group: korvantyr.JointGroup, title: str,
         image_format: str) -> None:
    # A bare Figure renders with the Agg canvas: no display and no global pyplot state needed.
    from matplotlib.figure import Figure

    fig = Figure(figsize=(11, 9), layout="constrained")
    axes = fig.subplots(3, 1, sharex=True)
    fig.suptitle(title)
    t = series.time
    if len(series.q) > 10:  # the default ten colours would repeat
        from matplotlib import colormaps

        axes[0].set_prop_cycle(color=[colormaps["tab20"](i) for i in range(20)])
    for i, column in enumerate(series.q, start=1):
        axes[0].plot(t, column, label=f"q{i}", linewidth=1)
    axes[0].set_ylabel("joint position [rad or m]")
    axes[0].set_title(f"{group.name}: joint positions")
    for ax, part, what, unit in ((axes[1], slice(0, 3), "force", "N"),
                                 (axes[2], slice(3, 6), "moment", "N·m")):
        for name, column in zip(WRENCH_COLUMNS[part], series.wrench[part]):
            ax.plot(t, column, label=name, linewidth=1)
        ax.set_ylabel(f"{what} [{unit}]")
        ax.set_title(f"{group.name}: TCP {what} (world frame)")
    axes[2].set_xlabel("time since the start of the recording [s]")
    for ax in axes:
        ax.grid(True, alpha=0.3)
        if ax.lines:
            ax.legend(loc="center left", bbox_to_anchor=(1.0, 0.5), fontsize="small",
                      ncols=2 if len(ax.lines) > 8 else 1)
    save(fig, path, image_format)


def save(fig: Figure, path: Path, image_format: str) -> None:
    """Writes the figure under a temporary name beside ``path``, then renames it: an error or
    Ctrl-C while writing leaves no half-written image (and an older one at ``path`` as it was)."""
    part = path.with_name(f".{path.name}.{os.getpid()}.part")
    try:
        fig.savefig(part, format=image_format, dpi=100)
        os.replace(part, path)
    except BaseException:
        part.unlink(missing_ok=True)
        raise


def image_format(path: Path) -> str:
    """The image format matplotlib writes for ``path``: its extension, PNG without one. A
    RecordError if matplotlib writes no such format."""
    from matplotlib.backend_bases import FigureCanvasBase

    extension = path.suffix[1:].lower()
    if not extension:
        return "png"
    supported = FigureCanvasBase.get_supported_filetypes()
    if extension not in supported:
        raise RecordError(f"--png {path}: matplotlib writes no .{extension} images (it writes "
                          f"{', '.join(sorted(supported))})")
    return extension


def run(args: argparse.Namespace) -> int:
    plot_format = ""
    if not args.no_plot:  # checked before a long recording, not after it
        try:
            import matplotlib  # noqa: F401
        except ImportError:
            say_error(args.prog, f"plotting needs matplotlib: {PLOT_EXTRA} "
                                 "(or --no-plot for the CSV file only)")
            return EXIT_USAGE
        try:
            plot_format = image_format(args.png)
        except RecordError as exc:
            say_error(args.prog, f"error: {exc} (see --help)")
            return EXIT_USAGE
    client = connect(args.prog, args.serial, args.quiet)
    if client is None:
        return EXIT_FAILURE

    try:
        if args.group is not None:  # a group the robot lacks is better known before recording
            try:
                present = list(client.groups())
            except CLIENT_ERRORS:
                present = []
            if present:
                choose_group(args.group, present)
        with open(args.csv, "w", newline="", encoding="utf-8") as out:
            recording = Recording(out)
            try:
                record(client, recording, args.seconds, args.rate)
            except KeyboardInterrupt:
                pass
        if recording.samples == 0:
            raise RecordError(f"no joint states arrived from {args.serial} in {args.seconds:g} s; "
                              f"{args.csv} is empty")
        group = choose_group(args.group, list(recording.series))
    except (RecordError, OSError) as exc:
        say_error(args.prog, exc)
        return EXIT_FAILURE
    except CLIENT_ERRORS as exc:
        say_error(args.prog, failure(exc))
        return EXIT_FAILURE
    finally:
        del client  # disconnects now, so the client's exit line comes before the summary

    # The CSV file is complete: whatever happens to the plot, it is kept and reported.
    kept = f"{recording.samples} samples of {len(recording.series)} joint groups: {args.csv}"
    if args.no_plot:
        print(kept)
        return EXIT_OK
    title = (f"{args.serial}: {recording.samples} samples at {args.rate:g} Hz "
             f"over {args.seconds:g} s")
    try:
        plot(args.png, recording.series[group], group, title, plot_format)
    except KeyboardInterrupt:
        print(f"{kept}, no plot (interrupted)", flush=True)
        return EXIT_INTERRUPTED
    except Exception as exc:  # noqa: BLE001  (matplotlib's errors are many; the CSV is safe)
        print(f"{kept}, no plot", flush=True)
        say_error(args.prog, f"the plot could not be written to {args.png}: {failure(exc)}")
        return EXIT_FAILURE
    print(f"{kept}, plot of {group.name}: {args.png}")
    return EXIT_OK


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    try:
        return run(args)
    except KeyboardInterrupt:  # while connecting: nothing recorded yet
        return EXIT_INTERRUPTED
