"""korvantyr-sim: run a simulated robot until interrupted or for --duration seconds.

Prints "READY" on stdout once its publishers and its queryable are declared; from then on it reads
control commands on stdin (the control channel below) and prints nothing else on stdout but their answers.

The robot is a preset (--preset) or made from joint groups (--groups "ARM_1:7,ARM_2:7,EXT_AXIS:2":
ARM_1, ARM_2 and EXT_AXIS with their DoF, in the order of their joints; ALL always spans every
joint, ARMS is added when ARM_2 directly follows ARM_1). --groups overrides --preset.
With --no-streams nothing is published: another process publishes the streams (the benchmark's
native publisher) and this one answers the remote procedures of the same robot.

The control channel: one command per line on stdin, answered with one line on stdout once it has taken
effect: "OK <command>", or "ERR <command>: <reason>" (nothing changed). End of input closes the
channel; the robot keeps running. So does an input that cannot be read: a closed stdin, or a
terminal when the robot runs in the background of a shell ("korvantyr-sim --serial S &": the
robot neither stops for its terminal nor reads from it). STREAM is basic, extra or all; ID a request id, IDS a
comma-separated list of them or "all".
  ping                         answers OK, changes nothing
  reset                        back to the state at start-up (command-line options): no stream
                               fault, nothing paused, the command-line RPC behaviour, no query,
                               sample or mutation counted
  pause STREAM | resume STREAM stop / restart publishing (acknowledged after the last put)
  stream STREAM FAULT [N]      spoil the next N samples (default: until cleared); FAULT is one of
                               trailing-byte (one byte 0x00 appended), cut (payload ends inside the
                               first joint vector, after its length and n//2 floats), wrong-array
                               (basic: digital_inputs with 16; extra: first tcp_pose_d with 6),
                               empty (no bytes), huge-count (first joint vector announces 2^40);
                               these do not decode. The next ones decode but do not fit the
                               robot's groups: unnamed-group (last joint_group_indices entry 1),
                               unknown-group (last joint_group_indices entry 7), short-joints
                               (every vector of joint_data / desired_joint_data one element
                               short), short-cartesian (last cartesian_data record left out)
  stream STREAM mutate [N]     a hostile robot: every sample spoilt by a random mutation (bit
                               flips, inserted bytes, cuts, counts of 2^32-1, 2^60 or 2^64-1,
                               over-long counts, random bytes, or a message that decodes but
                               does not fit), drawn from --seed
  stream STREAM none           clear the stream fault
  rpc IDS BEHAVIOUR [ARGS]     answer queries of those ids so; "rpc all ..." also replaces every
                               per-id rule. BEHAVIOUR: normal, no-reply (drop unanswered), hang
                               (hold until the robot stops), error-reply [HEX], trailing-byte,
                               truncated (last byte missing), undecodable (cut after
                               string_container), wrong-id (request_id+1), flip-success,
                               payload HEX [HEX...] (one OK reply per HEX, as given), twice (the
                               correct reply twice), delay MS (the correct reply MS ms late),
                               mutate (the correct reply spoilt at random, as for the streams,
                               or with wrong ids, flags, strings, sizes or numbers)
  rpc IDS BEHAVIOUR [ARGS] times N
                               the same for the next N queries of each of those ids only; then
                               each id answers as it did before this command. A later rpc
                               command for an id replaces what it has pending.
  count ID                     answers "OK count ID N": the queries of request id ID received
                               since start-up or the last reset (counted whatever the answer)
  count ID N                   answers "OK count ID N" if exactly N were received, else
                               "ERR count ID N: received M"
  published                    answers "OK published basic N extra M": the samples put on each
                               stream since start-up or the last reset (spoilt ones included)
  mutations                    answers "OK mutations WHERE:KIND=N ...": the mutated samples and
                               replies sent since start-up or the last reset, by stream (basic,
                               extra) or rpc and kind of mutation, e.g. "basic:cut=12"
Two OK replies on the rpc key: a get with Zenoh's default consolidation (the client's) receives
only the last one, and only when the query ends; with consolidation NONE it receives both, in
order, as they are sent. Error replies are never merged. So "twice" shows a default get one reply,
and "payload A B" shows it B alone.

With --listen the robot also listens on a fixed endpoint, as a real robot does, so that it can be
reached without multicast (through korvantyr-relay, for one).

With --replay FILE the robot is a recording of korvantyr-record played back: the recorded samples
on the robot's keys at their recorded times (--speed, --loop), the recorded answers to the remote
procedures (the probe, the server version and the joint-group table as at start-up; plan info,
primitive states and configuration scores as last recorded before the moment being played). The
control channel's faults apply to the replay as to the simulated robot.

Exit codes: 0 once stopped (Ctrl-C, SIGTERM, the end of --duration or of the replayed recording);
1 when its Zenoh session cannot open (an endpoint it cannot listen on) or for a recording that
cannot be replayed; 2 for a usage error, or when eclipse-zenoh is missing:
pip install 'korvantyr[sim]'.
"""

from __future__ import annotations

import argparse
import io
import signal
import sys
import threading

from .robot import PRESETS, custom_preset
from .replay import Recording, ReplayError
from .service import FAULTS, Options, Service, SessionError, zenoh_config


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


def _endpoint(text: str) -> str:
    try:
        zenoh_config([text])
    except ValueError as exc:
        raise argparse.ArgumentTypeError(
            f"not a Zenoh endpoint: {text!r} (write it as tcp/ADDRESS:PORT)") from exc
    return text


def _groups(text: str) -> str:
    try:
        custom_preset(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from exc
    return text


def parse_args(argv: list[str] | None = None) -> Options:
    parser = argparse.ArgumentParser(
        prog="korvantyr-sim", description=__doc__,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--serial", default=None,
                        help="serial number, used as given in the keys (required unless --replay "
                             "gives the recording's)")
    parser.add_argument("--preset", choices=sorted(PRESETS), default="dual-arm")
    parser.add_argument(
        "--groups", type=_groups, default=None, metavar="NAME:DOF,...",
        help='a custom robot, e.g. "ARM_1:7,EXT_AXIS:2" (overrides --preset)',
    )
    parser.add_argument("--rate", type=_positive, default=100.0, help="stream rate in Hz")
    parser.add_argument("--duration", type=_positive, default=None, help="seconds to run")
    parser.add_argument("--server-version", default="v2.1", help="answer to request 1")
    parser.add_argument("--fault", choices=FAULTS, default="none", help="misbehave on purpose")
    parser.add_argument(
        "--fault-on", type=_request_ids, default=frozenset(),
        help="comma-separated request ids the fault applies to (default: all)",
    )
    parser.add_argument("--reply-delay", type=float, default=0.0, help="seconds before replying")
    parser.add_argument("--seed", type=int, default=0, help="seed of the random mutations")
    parser.add_argument(
        "--no-streams", action="store_true",
        help="publish no stream, answer the remote procedures only (beside another publisher)",
    )
    parser.add_argument(
        "--listen", type=_endpoint, action="append", default=[], metavar="ENDPOINT",
        help="also listen on this Zenoh endpoint, e.g. tcp/0.0.0.0:7447 (repeatable)",
    )
    parser.add_argument(
        "--replay", metavar="FILE", default=None,
        help="play a recording of korvantyr-record back as the robot: its samples at their "
             "recorded times, its recorded answers to the remote procedures; faults still apply",
    )
    parser.add_argument("--speed", type=_positive, default=1.0,
                        help="replay speed (default: 1.0, as recorded)")
    parser.add_argument("--loop", action="store_true",
                        help="replay again from the start at the end (default: stop there)")
    a = parser.parse_args(argv)
    if a.serial is None and a.replay is None:
        parser.error("--serial is required (unless --replay names a recording)")
    if (a.speed != 1.0 or a.loop) and a.replay is None:
        parser.error("--speed and --loop apply to --replay only")
    return Options(
        serial=a.serial, preset=a.preset, rate=a.rate, duration=a.duration,
        server_version=a.server_version, fault=a.fault, fault_on=a.fault_on,
        reply_delay=a.reply_delay, groups=a.groups, seed=a.seed, streams=not a.no_streams,
        listen=tuple(a.listen),
        replay=a.replay, speed=a.speed, loop=a.loop,
    )


def main(argv: list[str] | None = None) -> int:
    options = parse_args(argv)
    recording = None
    try:
        if options.replay is not None:
            recording = Recording(options.replay)
            options.serial = options.serial or recording.serial or ""
            if not options.serial:
                raise ReplayError(f"{options.replay} names no robot: give --serial")
        service = Service(options, recording)
    except ReplayError as exc:
        print(f"korvantyr-sim: {exc}", file=sys.stderr)
        return 1

    def on_signal(_signum: int, _frame: object) -> None:
        service.stop()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    # Run in the background of an interactive shell, reading the terminal would stop the whole
    # robot (SIGTTIN), and so would writing to it under "stty tostop" (SIGTTOU). Ignored, the read
    # fails instead (EIO), which closes the control channel, and the writes go through.
    signal.signal(signal.SIGTTIN, signal.SIG_IGN)
    signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    if isinstance(sys.stdin, io.TextIOWrapper):
        # A line that is not UTF-8 is answered as an unknown command, not fatal to the channel.
        sys.stdin.reconfigure(errors="replace")

    def ready() -> None:
        try:
            print("READY", flush=True)
        except OSError:  # nobody reads stdout: the robot serves all the same
            pass
        if sys.stdin is None:  # started with its standard input closed: no control channel
            return
        control = threading.Thread(
            target=service.serve_control, args=(sys.stdin, sys.stdout), daemon=True
        )
        control.start()

    try:
        service.run(ready=ready)
    except SessionError as exc:
        print(f"korvantyr-sim: {exc}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
