"""korvantyr-record: record every sample of a robot into an MCAP file; write a CSV file and a plot
from it; plot a recording; make a cut-off recording whole again.

    korvantyr-record DEMO-ARM-0001 -o run.mcap --seconds 60
    korvantyr-record DEMO-ARM-0001 --seconds 5 --csv run.csv --png run.png
    korvantyr-record plot run.mcap --png run.png [--group ARM_1]
    korvantyr-record recover cut.mcap -o whole.mcap

The recording itself is the native recorder (korvantyr-record-native, one of the package's
native commands), which keeps every sample of both streams byte for byte, the same samples cut
into joint groups, the start-up facts and the remote-call answers; see
``korvantyr-record-native --help``.
``--csv`` and ``--png`` are written from the recording once it ends; without ``-o`` the recording
is then a temporary file, removed afterwards.

The CSV file has one row per sample and joint group:

    time,group,q1,...,qN,fx,fy,fz,tx,ty,tz,robot_sec,robot_nsec

``time`` is seconds since the first sample (this computer's receive time), ``q1``..``qN`` the
group's joint positions (N is the largest DoF of the robot's groups; a smaller group leaves its
extra columns empty), ``fx``..``tz`` the TCP wrench in the world frame and ``robot_sec``/
``robot_nsec`` the robot's time stamp of the sample. Values are written with nine significant
digits, which keeps every single-precision value the robot sends exactly. ``--rate`` thins the
CSV file and the plot to at most that many samples a second; the recording keeps every sample.
"""

from __future__ import annotations

import argparse
import csv
import math
import os
import signal
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

from ._cli import (EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, ArgumentParser, failure,
                   positive, robot_command_parser, say_error, serial_argument)
from .native import EXECUTABLE

GROUP_NAMES = ["ALL", "ARMS", "ARM_1", "ARM_2", "EXT_AXIS"]
WRENCH_COLUMNS = ("fx", "fy", "fz", "tx", "ty", "tz")
PLOT_EXTRA = "pip install 'korvantyr[plot]'"
NATIVE = "korvantyr-record-native"
PROG = "korvantyr-record"


class RecordError(Exception):
    """A failure to report in one line, without a traceback."""


EPILOG = """\
also:
  korvantyr-record plot FILE.mcap [--png F] [--group G]   plot a recording
  korvantyr-record recover FILE.mcap -o WHOLE.mcap        rewrite a recording cut off by a
                                                          killed recorder or a full disk

The recording keeps every sample of both streams as the robot sent it, the samples cut into joint
groups (/GROUP/states, /GROUP/actions, /GROUP/tcp_pose, /io), the start-up facts and the answers
to the remote calls (--rpc-rate); korvantyr-sim --replay FILE plays it back as a robot. The CSV
file has one row per sample and joint group: time (s since the first sample), group, q1..qN, fx,
fy, fz, tx, ty, tz (TCP wrench, world frame), robot_sec, robot_nsec. Ctrl-C or SIGTERM ends the
recording early; what was recorded is still written and plotted.

Whatever happens to the plot, the recording and the CSV file are kept and the summary line printed.

exit codes:
  0    recorded (and written and plotted, as asked)
  1    the robot cannot be reached, the serial number is malformed, no joint states arrived, or
       a file cannot be written or read; after a failed plot the CSV file is kept (one line on
       stderr)
  2    usage error: among them a plot name whose format matplotlib cannot write; or a missing
       optional dependency: pip install 'korvantyr[record]' to read recordings,
       'korvantyr[plot]' to plot
  130  Ctrl-C before the recording began, or while plotting (the CSV file is kept, the plot is
       not written)
"""


# ------------------------------------------------------------------------------------------------
# Command line


def parse_args(argv: list[str]) -> argparse.Namespace:
    parser = robot_command_parser(
        "Record every sample of a robot into an MCAP file, and optionally a CSV file and a plot.",
        EPILOG, 0.0, "how long to record")
    parser.set_defaults(seconds=None)
    parser.add_argument("-o", "--output", type=Path, default=None,
                        help="the MCAP file (default: korvantyr_record.mcap; with --csv or --png "
                             "and no -o, a temporary file)")
    parser.add_argument("--rpc-rate", type=float, default=1.0,
                        help="polls of plan info, primitive states and configuration scores per "
                             "second, 0 for none (default: 1)")
    parser.add_argument("--raw-only", action="store_true",
                        help="keep the raw samples and replies only, no decoded channels")
    parser.add_argument("--compression", choices=("zstd", "lz4", "none"), default="zstd",
                        help="how the file's chunks are stored (default: zstd); lz4 takes a "
                             "little less CPU for a third more file; 'none' spares the recorder "
                             "the compression's CPU at 10 kHz with the decoded channels on a "
                             "small computer: every sample kept, at about three times the file "
                             "size (16 joints at 10 kHz: 6.6 GiB a minute, against 2.3 with "
                             "zstd)")
    parser.add_argument("--csv", type=Path, default=None, help="also write this CSV file")
    plot_choice = parser.add_mutually_exclusive_group()
    plot_choice.add_argument("--png", type=Path, default=None,
                             help="also plot into this file (with --csv: korvantyr_record.png "
                                  "unless --no-plot)")
    plot_choice.add_argument("--no-plot", action="store_true", help="no plot beside --csv")
    parser.add_argument("--rate", type=positive, default=None,
                        help="at most this many samples a second in the CSV file and the plot "
                             "(default: every sample)")
    parser.add_argument("--group", choices=GROUP_NAMES, default=None,
                        help="joint group to plot (default: ALL, or the robot's first group)")
    parser.add_argument("--quiet", action="store_true", help="no progress line")
    for action in parser._actions:  # the help says "until Ctrl-C" for --seconds
        if action.dest == "seconds":
            action.help = "stop after S seconds (default: until Ctrl-C or SIGTERM)"
    args = parser.parse_args(argv)
    args.serial = serial_argument(parser, args)
    args.prog = parser.prog
    if args.rpc_rate < 0:
        parser.error("--rpc-rate takes a number >= 0")
    if args.csv is not None and args.png is None and not args.no_plot:
        args.png = Path("korvantyr_record.png")
    return args


def parse_plot_args(argv: list[str]) -> argparse.Namespace:
    parser = ArgumentParser(prog=f"{PROG} plot", description="Plot a recording of korvantyr-record.")
    parser.add_argument("recording", type=Path)
    parser.add_argument("--png", type=Path, default=Path("korvantyr_record.png"),
                        help="the plot (default: korvantyr_record.png)")
    parser.add_argument("--group", choices=GROUP_NAMES, default=None)
    parser.add_argument("--csv", type=Path, default=None, help="also write this CSV file")
    parser.add_argument("--rate", type=positive, default=None)
    return parser.parse_args(argv)


def parse_recover_args(argv: list[str]) -> argparse.Namespace:
    parser = ArgumentParser(
        prog=f"{PROG} recover",
        description="Rewrite a recording cut off by a killed recorder or a full disk as a complete "
                    "file: every message up to its last whole chunk, with summary and indexes.")
    parser.add_argument("recording", type=Path)
    parser.add_argument("-o", "--output", type=Path, required=True)
    return parser.parse_args(argv)


# ------------------------------------------------------------------------------------------------
# Recording (the native recorder)


def native_recorder() -> str:
    """The native recorder: the package's native executable, run under the recorder's name."""
    if not (EXECUTABLE.is_file() and os.access(EXECUTABLE, os.X_OK)):
        raise RecordError(f"{EXECUTABLE} not found: reinstall korvantyr")
    return str(EXECUTABLE)


def run_native(args: argparse.Namespace, output: Path) -> int:
    """Runs the recorder until it ends; Ctrl-C reaches it directly (same terminal), SIGTERM is
    passed on. Its summary and errors go straight to our stdout and stderr."""
    command = [native_recorder(), args.serial, "-o", str(output), "--rpc-rate",
               format(args.rpc_rate, "g")]
    if args.seconds is not None:
        command += ["--seconds", format(args.seconds, "g")]
    if args.raw_only:
        command.append("--raw-only")
    if args.compression != "zstd":
        command += ["--compression", args.compression]
    if args.quiet:
        command.append("--quiet")
    child = subprocess.Popen([NATIVE, *command[1:]], executable=command[0])

    def pass_on(signum: int, _frame: Any) -> None:
        if child.poll() is None:
            child.send_signal(signum)

    previous_term = signal.signal(signal.SIGTERM, pass_on)
    previous_int = signal.signal(signal.SIGINT, signal.SIG_IGN)  # the child gets it as well
    try:
        return child.wait()
    finally:
        signal.signal(signal.SIGTERM, previous_term)
        signal.signal(signal.SIGINT, previous_int)


# ------------------------------------------------------------------------------------------------
# CSV file and plot, from a recording


def fmt(value: float) -> str:
    return format(float(value), ".9g")


def thinned(times: Any, rate: float | None, seconds: float | None = None) -> list[int]:
    """Indices of the samples kept at most ``rate`` a second (all when None): the first sample of
    each period of 1/rate s from the first one, within ``seconds`` of it if given."""
    if rate is None:
        return list(range(len(times)))
    kept, last = [], -1
    periods = None if seconds is None else math.ceil(seconds * rate - 1e-9)
    for i, t in enumerate(times):
        period = math.floor((t - times[0]) * rate)
        if period > last and (periods is None or period < periods):
            kept.append(i)
            last = period
    return kept


def load_recording(path: Path) -> Any:
    from .recording import RecordingError, load

    try:  # the CSV file and the plot need the states alone: decoding is the slow part
        return load(path, topics={f"/{group}/states" for group in GROUP_NAMES})
    except RecordingError as exc:
        raise RecordError(str(exc)) from exc


def samples_by_group(recording: Any, rate: float | None,
                     seconds: float | None = None) -> tuple[Any, dict[str, list[int]]]:
    """The groups recorded, in the client's order, and for each the rows kept."""
    groups = [g for g in GROUP_NAMES if g in recording.states]
    if not groups:
        raise RecordError(f"no joint states arrived from "
                          f"{recording.metadata.get('korvantyr.recording', {}).get('serial_number', 'the robot')} "
                          f"in the recording {recording.path}")
    first = groups[0]
    kept_times = {recording.states[first]["log_time"][i]
                  for i in thinned(recording.states[first]["log_time"] * 1e-9, rate, seconds)}
    rows = {g: [i for i, t in enumerate(recording.states[g]["log_time"]) if t in kept_times]
            for g in groups}
    return groups, rows


def write_csv(path: Path, recording: Any, groups: list[str], rows: dict[str, list[int]]) -> int:
    states = recording.states
    width = max(len(states[g]["q"][0]) for g in groups if len(states[g]["q"]))
    t0 = min(int(states[g]["log_time"][0]) for g in groups)
    # One sample's groups share its receive time: rows are ordered by time, then group.
    events = sorted((int(states[g]["log_time"][i]), order, g, i)
                    for order, g in enumerate(groups) for i in rows[g])
    with open(path, "w", newline="", encoding="utf-8") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(["time", "group", *(f"q{i}" for i in range(1, width + 1)),
                         *WRENCH_COLUMNS, "robot_sec", "robot_nsec"])
        for log_time, _order, g, i in events:
            s = states[g]
            q = list(s["q"][i])
            writer.writerow([f"{(log_time - t0) * 1e-9:.4f}", g, *map(fmt, q),
                             *([""] * (width - len(q))), *map(fmt, s["tcp_wrench"][i]),
                             int(s["stamp_sec"][i]), int(s["stamp_nanosec"][i])])
    return len({e[0] for e in events})


def choose_group(requested: str | None, recorded: list[str]) -> str:
    if requested is None:
        return "ALL" if "ALL" in recorded else recorded[0]
    if requested not in recorded:
        raise RecordError(f"the recording has no joint group {requested} "
                          f"(it has {', '.join(recorded)})")
    return requested


def plot(path: Path, recording: Any, group: str, rows: list[int], title: str,
         image_format: str) -> None:
    # A bare Figure renders with the Agg canvas: no display and no global pyplot state needed.
    from matplotlib.figure import Figure

    s = recording.states[group]
    t0 = min(int(v["log_time"][0]) for v in recording.states.values())
    t = [(int(s["log_time"][i]) - t0) * 1e-9 for i in rows]
    q = s["q"][rows] if len(rows) else s["q"][:0]
    wrench = s["tcp_wrench"][rows] if len(rows) else s["tcp_wrench"][:0]
    fig = Figure(figsize=(11, 9), layout="constrained")
    axes = fig.subplots(3, 1, sharex=True)
    fig.suptitle(title)
    dof = q.shape[1] if q.ndim == 2 else 0
    if dof > 10:  # the default ten colours would repeat
        from matplotlib import colormaps

        axes[0].set_prop_cycle(color=[colormaps["tab20"](i) for i in range(20)])
    for j in range(dof):
        axes[0].plot(t, q[:, j], label=f"q{j + 1}", linewidth=1)
    axes[0].set_ylabel("joint position [rad or m]")
    axes[0].set_title(f"{group}: joint positions")
    for ax, part, what, unit in ((axes[1], slice(0, 3), "force", "N"),
                                 (axes[2], slice(3, 6), "moment", "N·m")):
        for j, name in zip(range(part.start, part.stop), WRENCH_COLUMNS[part]):
            ax.plot(t, wrench[:, j] if len(rows) else [], label=name, linewidth=1)
        ax.set_ylabel(f"{what} [{unit}]")
        ax.set_title(f"{group}: TCP {what} (world frame)")
    axes[2].set_xlabel("time since the start of the recording [s]")
    for ax in axes:
        ax.grid(True, alpha=0.3)
        if ax.lines:
            ax.legend(loc="center left", bbox_to_anchor=(1.0, 0.5), fontsize="small",
                      ncols=2 if len(ax.lines) > 8 else 1)
    save(fig, path, image_format)


def save(fig: Any, path: Path, image_format: str) -> None:
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


class PlotFailed(Exception):
    """The CSV file (if asked) is written, the plot is not: ``kept`` says what was written."""

    def __init__(self, kept: str, cause: BaseException) -> None:
        super().__init__(kept)
        self.kept = kept
        self.cause = cause


def write_outputs(recording_path: Path, csv_path: Path | None, png_path: Path | None,
                  group: str | None, rate: float | None, seconds: float | None = None,
                  plot_format: str = "png") -> str:
    """Writes the CSV file, then the plot asked for; returns the line that names them. A plot
    that fails raises PlotFailed once the CSV file is complete."""
    recording = load_recording(recording_path)
    groups, rows = samples_by_group(recording, rate, seconds)
    chosen = choose_group(group, groups)
    samples = len(rows[groups[0]])
    if csv_path is not None:
        samples = write_csv(csv_path, recording, groups, rows)
    kept = f"{samples} samples of {len(groups)} joint groups"
    if csv_path is not None:
        kept += f": {csv_path}"
    if png_path is None:
        return kept
    serial = recording.metadata.get("korvantyr.recording", {}).get("serial_number", "")
    span = recording.states[chosen]["log_time"][-1] - recording.states[chosen]["log_time"][0]
    title = f"{serial}: {len(rows[chosen])} samples over {span * 1e-9:.1f} s"
    try:
        plot(png_path, recording, chosen, rows[chosen], title, plot_format)
    except BaseException as exc:  # matplotlib's errors are many; the CSV file is safe
        raise PlotFailed(kept, exc) from exc
    return f"{kept}{',' if csv_path is not None else ':'} plot of {chosen}: {png_path}"


def report_outputs(prog: str, *args: Any, **kwargs: Any) -> int:
    """write_outputs, with its line on stdout; a failed plot is one line on stderr and exit 1
    (130 for Ctrl-C), the CSV file kept."""
    try:
        print(write_outputs(*args, **kwargs), flush=True)
    except PlotFailed as exc:
        png = args[2]
        if isinstance(exc.cause, KeyboardInterrupt):
            print(f"{exc.kept}, no plot (interrupted)", flush=True)
            return EXIT_INTERRUPTED
        print(f"{exc.kept}, no plot", flush=True)
        say_error(prog, f"the plot could not be written to {png}: {failure(exc.cause)}")
        return EXIT_FAILURE
    return EXIT_OK


def checked_plot_format(prog: str, png: Path) -> str | None:
    """The plot's format, or None after a one-line usage error (checked before recording)."""
    try:
        return image_format(png)
    except RecordError as exc:
        say_error(prog, f"error: {exc} (see --help)")
        return None


def need_matplotlib() -> bool:
    try:
        import matplotlib  # noqa: F401  (checked before a long recording, not after it)
    except ImportError:
        return False
    return True


def need_reader() -> bool:
    try:
        import mcap  # noqa: F401
        import mcap_ros2  # noqa: F401
        import numpy  # noqa: F401
    except ImportError:
        return False
    return True


# ------------------------------------------------------------------------------------------------
# Subcommands


def record(args: argparse.Namespace) -> int:
    plot_format = "png"
    if args.png is not None:  # checked before a long recording, not after it
        if not need_matplotlib():
            say_error(args.prog, f"plotting needs matplotlib: {PLOT_EXTRA} (or --no-plot for the "
                                 "CSV file only)")
            return EXIT_USAGE
        plot_format = checked_plot_format(args.prog, args.png)
        if plot_format is None:
            return EXIT_USAGE
    derived = args.csv is not None or args.png is not None
    if derived and not need_reader():
        say_error(args.prog, "writing --csv or --png needs the recording's reader: "
                             "pip install 'korvantyr[record]'")
        return EXIT_USAGE
    temporary = None
    output = args.output
    if output is None:
        if derived:
            temporary = tempfile.TemporaryDirectory(prefix="korvantyr-record-")
            output = Path(temporary.name) / "recording.mcap"
        else:
            output = Path("korvantyr_record.mcap")
    try:
        status = run_native(args, output)
        if status != EXIT_OK:
            return status
        if derived:
            sys.stdout.flush()
            return report_outputs(args.prog, output, args.csv, args.png, args.group, args.rate,
                                  args.seconds, plot_format)
        return EXIT_OK
    finally:
        if temporary is not None:
            temporary.cleanup()


def plot_command(argv: list[str]) -> int:
    args = parse_plot_args(argv)
    if not need_matplotlib():
        say_error(f"{PROG} plot", f"plotting needs matplotlib: {PLOT_EXTRA}")
        return EXIT_USAGE
    if not need_reader():
        say_error(f"{PROG} plot", "reading recordings needs pip install 'korvantyr[record]'")
        return EXIT_USAGE
    plot_format = checked_plot_format(f"{PROG} plot", args.png)
    if plot_format is None:
        return EXIT_USAGE
    return report_outputs(f"{PROG} plot", args.recording, args.csv, args.png, args.group,
                          args.rate, None, plot_format)


def recover_command(argv: list[str]) -> int:
    args = parse_recover_args(argv)
    if not need_reader():
        say_error(f"{PROG} recover", "reading recordings needs pip install 'korvantyr[record]'")
        return EXIT_USAGE
    from .recording import recover

    if not args.recording.is_file():
        raise RecordError(f"{args.recording}: no such file")
    kept = recover(args.recording, args.output)
    print(f"{kept} messages of {args.recording} written to {args.output}")
    return EXIT_OK


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    try:
        if argv[:1] == ["plot"]:
            return plot_command(argv[1:])
        if argv[:1] == ["recover"]:
            return recover_command(argv[1:])
        return record(parse_args(argv))
    except (RecordError, OSError) as exc:
        say_error(PROG, exc)
        return EXIT_FAILURE
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
