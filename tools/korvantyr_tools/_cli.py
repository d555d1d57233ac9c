"""What the Python commands share: one-line usage errors, the robot's serial number as a
positional argument (``--serial`` still accepted) and the connection to the robot."""

from __future__ import annotations

import argparse
import math
import sys
from typing import NoReturn

import korvantyr

EXIT_OK = 0
EXIT_FAILURE = 1  # the robot cannot be reached or used, or the command's work failed
EXIT_USAGE = 2  # a malformed command line, or a missing optional dependency
EXIT_INTERRUPTED = 130  # Ctrl-C: while connecting, or before the command's work was done

# What the client's constructor and queries throw, as Python sees the C++ exceptions: a malformed
# serial number or reply text (ValueError), no robot or no valid reply (RuntimeError), a group
# number without a name (IndexError). A robot that sends garbage can provoke each of them.
CLIENT_ERRORS = (ValueError, RuntimeError, IndexError)

SERIAL_HELP = ("the robot's serial number, for example DEMO-ARM-0001 (korvantyr-scan lists the "
               "robots on the network); --serial SERIAL is accepted as well")


class ArgumentParser(argparse.ArgumentParser):
    """argparse, with a usage error reported in one line: "PROG: error: ... (see --help)"."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see --help)\n")


def positive(text: str) -> float:
    """argparse type: a positive finite number."""
    value = float(text)
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text!r}")
    return value


def shown(text: str) -> str:
    """Text from the robot made safe for a terminal: characters that are not printable (escape
    sequences among them) are written as Python escapes."""
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode("ascii")
                   for c in text)


def robot_command_parser(description: str, epilog: str, seconds_default: float,
                         seconds_help: str) -> ArgumentParser:
    """The parser of a command that works on one robot: SERIAL (or --serial) and --seconds;
    --quiet is added last by parse_robot_command."""
    parser = ArgumentParser(description=description, epilog=epilog,
                            formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("serial", nargs="?", metavar="SERIAL", help=SERIAL_HELP)
    # The examples took the serial number as an option; scripts written for them keep working.
    parser.add_argument("--serial", dest="serial_option", metavar="SERIAL", help=argparse.SUPPRESS)
    parser.add_argument("--seconds", type=positive, default=seconds_default,
                        help=f"{seconds_help} (default: {seconds_default:g})")
    return parser


def parse_robot_command(parser: argparse.ArgumentParser,
                        argv: list[str] | None) -> argparse.Namespace:
    """Adds --quiet, parses, and settles the serial number; ``args.prog`` names the command."""
    parser.add_argument("--quiet", action="store_true",
                        help="leave out the client's informational start-up lines")
    args = parser.parse_args(argv)
    args.serial = serial_argument(parser, args)
    args.prog = parser.prog
    return args


def serial_argument(parser: argparse.ArgumentParser, args: argparse.Namespace) -> str:
    """The serial number given either way; a usage error if it is missing or given twice."""
    positional: str | None = args.serial
    option: str | None = args.serial_option
    if positional is not None and option is not None and positional != option:
        parser.error(f"two serial numbers given: {positional!r} and --serial {option!r}")
    serial = positional if positional is not None else option
    if serial is None:
        parser.error("the robot's serial number is missing (korvantyr-scan lists the robots "
                     "on the network)")
    return serial


def say_error(prog: str, message: object) -> None:
    print(f"{prog}: {message}", file=sys.stderr, flush=True)


def connect(prog: str, serial: str, quiet: bool) -> korvantyr.Client | None:
    """A connected client, or None after one line on stderr saying why there is none."""
    try:
        return korvantyr.Client(serial, verbose=not quiet)
    except CLIENT_ERRORS as exc:
        say_error(prog, failure(exc))
        return None


def failure(exc: BaseException) -> str:
    """What a failed client call says, in one line and safe for a terminal."""
    message = " ".join(str(exc).split()) or type(exc).__name__
    return shown(message)
