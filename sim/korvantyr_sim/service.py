"""The robot's data service: two streams and the remote procedures, on one Zenoh session.

Threads: the main thread publishes the streams (``run``); Zenoh's threads call ``_on_query``; the
control channel (``control``) is called from whatever thread reads the commands. The state they
share (RPC rules, stream faults, paused streams, queries held back, query and sample counts, the
random sources of the mutations) is guarded by ``_lock``; the publisher also holds it while it puts a sample, so that once a command is acknowledged no sample
made under the previous state goes out.

Faults given on the command line (``--fault``, ``FAULTS``) apply to the request ids of
``fault_on`` (all when empty); ``reply_delay`` delays every reply. The behaviours themselves are
described in ``faults.RPC_BEHAVIOURS``, the stream faults in ``faults``. The control channel
(``control``, commands listed in ``__main__``) changes all of this while the service runs.
"""

from __future__ import annotations

import json
import random
import sys
import threading
import time
from collections import Counter
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from functools import partial
from typing import TextIO

import zenoh

from .faults import STREAM_FAULTS, Rule, faulty_payload, replies
from .messages import (AllBasicStreamData, AllExtraStreamData, DecodeError, RPCReply, RPCRequest,
                       decode, encode)
from .mutate import SampleSource, mutate_reply, mutate_sample
from .replay import Recording
from .robot import Robot, custom_preset

FAULTS = (
    "none",
    "no-reply",
    "hang",
    "error-reply",
    "trailing-byte",
    "truncated",
    "wrong-id",
    "flip-success",
)

REQ_PING = 0
REQ_SERVER_VERSION = 1
REQ_PRIMITIVE_STATES = 3
REQ_PLAN_INFO = 4
REQ_MANIPULABILITY = 9
REQ_START_ID_AND_DOF = 10

# A mutated stream is spoilt from a good message made at most this often (seconds), so that a
# hostile robot reaches thousands of samples a second; what it sends is garbage all the same.
MUTATION_SOURCE_AGE = 0.1

KEY_PREFIX = "korvan/robot/"
STREAMS = ("basic", "extra")
_ENCODING = zenoh.Encoding.ZENOH_SERIALIZED


def keys(serial: str) -> dict[str, str]:
    base = KEY_PREFIX + serial
    return {
        "basic": base + "/basic_stream_data",
        "extra": base + "/extra_stream_data",
        "rpc": base + "/rpc",
    }


@dataclass
class Options:
    serial: str
    preset: str = "dual-arm"
    rate: float = 100.0
    duration: float | None = None
    server_version: str = "v2.1"
    fault: str = "none"
    fault_on: frozenset[int] = field(default_factory=frozenset)
    reply_delay: float = 0.0
    groups: str | None = None  # "ARM_1:7,EXT_AXIS:2": a custom robot instead of the preset
    seed: int = 0  # of the random mutations ("stream STREAM mutate", "rpc IDS mutate")
    streams: bool = True  # False: answer the remote procedures only, publish nothing
    # Zenoh endpoints to listen on ("tcp/0.0.0.0:7447"), as a robot with a fixed port does; empty:
    # Zenoh's default (a random port, found by scouting only).
    listen: tuple[str, ...] = ()
    replay: str | None = None  # a recording to play back instead of the simulated robot
    speed: float = 1.0  # of the replay
    loop: bool = False  # replay the recording again and again


class SessionError(RuntimeError):
    """The robot's Zenoh session could not be opened (an endpoint it cannot listen on)."""


def zenoh_config(listen: Iterable[str]) -> zenoh.Config:
    """Zenoh's default configuration, listening on ``listen`` when it names endpoints; raises
    ValueError for an endpoint Zenoh does not accept."""
    config = zenoh.Config()
    endpoints = list(listen)
    if endpoints:
        try:
            config.insert_json5("listen/endpoints", json.dumps(endpoints))
        except zenoh.ZError as exc:
            raise ValueError(" ".join(str(exc).split())) from exc
    return config


def answer(robot: Robot, request: RPCRequest, server_version: str, t: float = 0.0) -> RPCReply:
    """The correct reply of ``robot`` to ``request``, ``t`` seconds after the robot started; an
    unknown procedure is answered with success false."""
    reply = RPCReply(request_id=request.request_id)
    if request.request_id == REQ_PING:
        reply.success = False  # a probe is answered with false: the robot is there
    elif request.request_id == REQ_SERVER_VERSION:
        reply.success = True
        reply.string_container = [server_version.encode()]
    elif request.request_id == REQ_PRIMITIVE_STATES:
        reply.success = True
        reply.string_container = [e.encode() for e in robot.primitive_states(t)]
    elif request.request_id == REQ_PLAN_INFO:
        reply.success = True
        reply.string_container = [e.encode() for e in robot.plan_info(t)]
    elif request.request_id == REQ_MANIPULABILITY:
        reply.success = True
        reply.joint_groups, reply.float2d_container = robot.manipulability(t)
    elif request.request_id == REQ_START_ID_AND_DOF:
        reply.success = True
        for number in request.joint_groups:
            group = robot.preset.group(number)
            if group is not None:
                reply.joint_groups.append(group.number)
                reply.int_container.append(group.start)
                reply.float_container.append(float(group.dof))
    return reply


def _nothing() -> None:
    return None


def _stream_names(word: str) -> tuple[str, ...]:
    if word == "all":
        return STREAMS
    if word in STREAMS:
        return (word,)
    raise ValueError("STREAM must be basic, extra or all")


def _request_ids(word: str) -> tuple[int, ...] | None:
    """None for "all", else the ids of a comma-separated list."""
    if word == "all":
        return None
    try:
        ids = tuple(int(part) for part in word.split(","))
    except ValueError:
        ids = ()
    if not ids or any(not 0 <= i <= 0xFFFF for i in ids):
        raise ValueError("IDS must be 'all' or comma-separated request ids (0 to 65535)")
    return ids


class Service:
    def __init__(self, options: Options, recording: Recording | None = None) -> None:
        self.options = options
        self.robot = Robot(custom_preset(options.groups) if options.groups else options.preset)
        self.keys = keys(options.serial)
        # A recording played back in place of the robot (Recording raises ReplayError).
        if recording is None and options.replay:
            recording = Recording(options.replay)
        self.recording = recording
        self._replay_position = 0  # log time of the recording being played, ns
        self._stop = threading.Event()
        self._started = time.monotonic()  # the robot's clock starts here (again in run)
        self._lock = threading.Lock()
        # Guarded by _lock:
        self._held: list[zenoh.Query] = []  # queries kept unanswered ("hang")
        self._rules: dict[int, Rule] = {}  # per request id, before _default_rule
        self._default_rule = Rule()
        # Rules given with "times N", checked before the two above: per id (rule, queries left),
        # and for every id (rule, N) with the queries each id has used of it.
        self._counted: dict[int, tuple[Rule, int]] = {}
        self._counted_all: tuple[Rule, int] | None = None
        self._counted_all_used: dict[int, int] = {}
        self._queries: dict[int, int] = {}  # decoded queries per request id since start or reset
        self._stream_faults: dict[str, tuple[str, int | None]] = {}  # fault, samples left
        self._paused: set[str] = set()
        self._published: dict[str, int] = {}  # samples put per stream since start or reset
        self._mutations: Counter[str] = Counter()  # "basic:cut"...: mutated samples and replies
        # One random source per stream and one for the replies, so that the mutations of each
        # follow from the seed whatever the order of queries and samples.
        self._rng = {name: random.Random(f"{options.seed}/{name}") for name in (*STREAMS, "rpc")}
        # Used by the publishing thread only: per stream (made at, good message to mutate).
        self._sources: dict[str, tuple[float, SampleSource]] = {}
        self._reset()

    def stop(self) -> None:
        self._stop.set()

    def _reset(self) -> None:
        """Back to the command-line state; the caller holds _lock (or nothing runs yet)."""
        fault = Rule() if self.options.fault == "none" else Rule(self.options.fault)
        if self.options.fault_on:
            self._rules = {i: fault for i in self.options.fault_on}
            self._default_rule = Rule()
        else:
            self._rules = {}
            self._default_rule = fault
        self._counted.clear()
        self._counted_all = None
        self._counted_all_used.clear()
        self._queries.clear()
        self._stream_faults.clear()
        self._paused.clear()
        self._published = {stream: 0 for stream in STREAMS}
        self._mutations.clear()

    # -- control channel ---------------------------------------------------------------------

    def control(self, line: str) -> str:
        """Carry out one control command; returns the acknowledgement line."""
        command = " ".join(line.split())
        try:
            extra = self._command(command.split())
        except ValueError as exc:
            return f"ERR {command}: {exc}"
        return f"OK {command}" if extra is None else f"OK {command} {extra}"

    def _command(self, words: list[str]) -> str | None:
        """Carries out the command; returns what a report adds to "OK <command>" (else None)."""
        verb, args = (words[0], words[1:]) if words else ("", [])
        if verb == "ping" and not args:
            return None
        if verb == "reset" and not args:
            with self._lock:
                self._reset()
            return None
        if verb in ("pause", "resume") and len(args) == 1:
            streams = _stream_names(args[0])
            with self._lock:
                if verb == "pause":
                    self._paused.update(streams)
                else:
                    self._paused.difference_update(streams)
            return None
        if verb == "stream" and len(args) in (2, 3):
            streams = _stream_names(args[0])
            fault = args[1]
            if fault not in (*STREAM_FAULTS, "mutate", "none") or (
                    fault == "none" and len(args) == 3):
                raise ValueError(
                    f"FAULT must be one of {', '.join(STREAM_FAULTS)}, mutate [N], or none")
            count = None
            if len(args) == 3:
                count = int(args[2]) if args[2].isdigit() else 0
                if count < 1:
                    raise ValueError("N must be a whole number >= 1")
            with self._lock:
                for stream in streams:
                    if fault == "none":
                        self._stream_faults.pop(stream, None)
                    else:
                        self._stream_faults[stream] = (fault, count)
            return None
        if verb == "rpc" and len(args) >= 2:
            ids = _request_ids(args[0])
            words, times = args[1:], None
            if len(words) >= 2 and words[-2] == "times":
                times = int(words[-1]) if words[-1].isdigit() else 0
                if times < 1:
                    raise ValueError("times: N must be a whole number >= 1")
                words = words[:-2]
            rule = Rule.parse(words)
            with self._lock:
                self._set_rule(ids, rule, times)
            return None
        if verb == "count" and len(args) in (1, 2):
            ids = _request_ids(args[0])
            if ids is None or len(ids) != 1:
                raise ValueError("count takes one request id")
            expected = None
            if len(args) == 2:
                expected = int(args[1]) if args[1].isdigit() else -1
                if expected < 0:
                    raise ValueError("N must be a whole number >= 0")
            with self._lock:
                received = self._queries.get(ids[0], 0)
            if expected is None:
                return str(received)
            if received != expected:
                raise ValueError(f"received {received}")
            return None
        if verb == "published" and not args:
            with self._lock:
                return " ".join(f"{stream} {self._published[stream]}" for stream in STREAMS)
        if verb == "mutations" and not args:
            with self._lock:
                counts = " ".join(f"{kind}={n}" for kind, n in sorted(self._mutations.items()))
            return counts or None
        raise ValueError("unknown command or wrong arguments (see --help)")

    def _set_rule(self, ids: tuple[int, ...] | None, rule: Rule, times: int | None) -> None:
        """A new rule for ``ids`` (None: every id) replaces what those ids had pending; a counted
        rule lies on top of the standing ones, which take over again once it is used up. The
        caller holds _lock."""
        if ids is None:
            self._counted.clear()
            self._counted_all_used.clear()
            if times is None:
                self._rules.clear()
                self._default_rule = rule
                self._counted_all = None
            else:
                self._counted_all = (rule, times)
            return
        for i in ids:
            if self._counted_all is not None:
                self._counted_all_used[i] = self._counted_all[1]  # no longer applies to i
            if times is None:
                self._counted.pop(i, None)
                self._rules[i] = rule
            else:
                self._counted[i] = (rule, times)

    def _take_rule(self, request_id: int) -> Rule:
        """The rule for one query of ``request_id``, using up a counted one; the caller holds
        _lock."""
        counted = self._counted.get(request_id)
        if counted is not None:
            rule, left = counted
            if left > 1:
                self._counted[request_id] = (rule, left - 1)
            else:
                del self._counted[request_id]
            return rule
        if self._counted_all is not None:
            rule, times = self._counted_all
            used = self._counted_all_used.get(request_id, 0)
            if used < times:
                self._counted_all_used[request_id] = used + 1
                return rule
        return self._rules.get(request_id, self._default_rule)

    def serve_control(self, lines: Iterable[str], out: TextIO) -> None:
        """Answer every command of ``lines`` on ``out`` until the input ends or either side can
        no longer be used: a terminal this process may not read (run in the background), a
        hang-up, a closed pipe. The channel then closes quietly; the robot runs on."""
        try:
            for line in lines:
                if line.strip():
                    print(self.control(line), file=out, flush=True)
        except (OSError, ValueError):  # ValueError: the file was closed under the reader
            pass

    # -- remote procedures -------------------------------------------------------------------

    def _on_query(self, query: zenoh.Query) -> None:
        # Runs on a Zenoh thread: never let an exception escape.
        try:
            self._handle(query)
        except Exception as exc:  # noqa: BLE001
            print(f"korvantyr-sim: query failed: {exc!r}", file=sys.stderr, flush=True)
            query.drop()

    def _handle(self, query: zenoh.Query) -> None:
        payload = query.payload.to_bytes() if query.payload is not None else b""
        try:
            request = decode(RPCRequest, payload)
        except DecodeError as exc:
            query.reply_err(f"malformed request: {exc}".encode())
            query.drop()
            return
        with self._lock:
            self._queries[request.request_id] = self._queries.get(request.request_id, 0) + 1
            rule = self._take_rule(request.request_id)
            if rule.behaviour == "hang":
                self._held.append(query)
                return
        if rule.behaviour == "no-reply":
            query.drop()
            return
        t = time.monotonic() - self._started
        recorded = None
        if self.recording is not None:
            recorded = self.recording.reply(request.request_id, self._replay_position)
            correct = RPCReply(request_id=request.request_id)  # success false: not recorded
            if recorded is not None:
                try:
                    correct = decode(RPCReply, recorded)
                except DecodeError:
                    pass  # sent as recorded when the rule allows; spoilt from the default else
        else:
            correct = answer(self.robot, request, self.options.server_version, t)
        if recorded is not None and rule.behaviour in ("normal", "delay"):
            out = [(True, recorded)]  # byte for byte as the robot answered
        elif rule.behaviour == "mutate":
            with self._lock:
                kind, out = mutate_reply(self._rng["rpc"], correct)
                self._mutations[f"rpc:{kind}"] += 1
        else:
            out = replies(rule, correct)
        delay = rule.delay if rule.behaviour == "delay" else self.options.reply_delay
        if delay > 0:
            timer = threading.Timer(delay, self._send, (query, out))
            timer.daemon = True
            timer.start()
        else:
            self._send(query, out)

    def _send(self, query: zenoh.Query, out: list[tuple[bool, bytes]]) -> None:
        try:
            for ok, data in out:
                if ok:
                    query.reply(self.keys["rpc"], data, encoding=_ENCODING)
                else:
                    query.reply_err(data, encoding=_ENCODING)
        finally:
            query.drop()

    # -- streams -----------------------------------------------------------------------------

    def _source(self, stream: str, make: Callable[[], object]) -> SampleSource:
        made, source = self._sources.get(stream, (-1.0, None))
        now = time.monotonic()
        if source is None or now - made > MUTATION_SOURCE_AGE:
            source = SampleSource(make())
            self._sources[stream] = (now, source)
        return source

    def _publish(self, stream: str, publisher: zenoh.Publisher, make: Callable[[], object],
                 raw: bytes | None = None) -> None:
        """Puts one sample of ``stream``; ``make`` gives the robot's message of this moment, or
        ``raw`` the payload to put as it is (a replay), which a stream fault spoils from its
        decoded message (an undecodable one goes out unchanged)."""
        if raw is not None:
            cls = AllBasicStreamData if stream == "basic" else AllExtraStreamData
            make = partial(decode, cls, raw)
        # The message is made and encoded outside the lock; the state is read again under it, and
        # if a command changed it meanwhile, whatever is missing is made there.
        with self._lock:
            fault = self._stream_faults.get(stream)
        msg = source = data = None
        if raw is not None and fault is None:
            data = raw
        elif fault is not None and fault[0] == "mutate":
            source = self._source(stream, make)
        else:
            msg = make()
            data = encode(msg)
        with self._lock:
            if stream in self._paused:
                return
            fault = self._stream_faults.get(stream)
            if fault is not None:
                name, left = fault
                if left is None:
                    pass
                elif left > 1:
                    self._stream_faults[stream] = (name, left - 1)
                else:
                    del self._stream_faults[stream]
                if name == "mutate":
                    kind, data = mutate_sample(self._rng[stream], source or SampleSource(msg))
                    self._mutations[f"{stream}:{kind}"] += 1
                else:
                    data = faulty_payload(name, msg if msg is not None else make())
            elif data is None:
                data = raw if raw is not None else encode(make())
            publisher.put(data)
            self._published[stream] += 1

    def _play(self, publishers: list[zenoh.Publisher], end: float | None) -> None:
        """Publishes the recording's samples at their recorded times, ``speed`` times faster,
        until its last sample (again and again with ``loop``), ``stop()`` or ``end``."""
        recording = self.recording
        assert recording is not None
        by_stream = dict(zip(STREAMS, publishers))
        scale = 1e-9 / self.options.speed
        offset = 0  # ns: the length of the passes played before this one
        t0 = time.monotonic()
        while not self._stop.is_set():
            for log_time, stream, payload in recording.samples_in_order():
                due = t0 + (log_time - recording.start + offset) * scale
                now = time.monotonic()
                if end is not None and due >= end:
                    return
                # No sleep is exact to a tenth of a millisecond: samples due that soon go now.
                if due - now > 1e-4 and self._stop.wait(due - now):
                    return
                if self._stop.is_set():
                    return
                self._replay_position = log_time
                publisher = by_stream.get(stream)
                if publisher is not None:
                    self._publish(stream, publisher, _nothing, raw=payload)
            if not self.options.loop:
                return
            offset += recording.duration_ns + 1_000_000  # the next pass starts 1 ms later

    def run(self, ready: Callable[[], None] = lambda: None) -> None:
        """Serve until ``stop()`` or the duration has passed; call ``ready`` once declared."""
        period = 1.0 / self.options.rate
        try:
            opened = zenoh.open(zenoh_config(self.options.listen))
        except zenoh.ZError as exc:
            where = " on " + ", ".join(self.options.listen) if self.options.listen else ""
            raise SessionError(f"cannot open a Zenoh session{where}: "
                               + " ".join(str(exc).split())) from exc
        with opened as session:
            publishers = []
            if self.options.streams:
                # A replay must put out every recorded sample: a busy moment waits, as the
                # recording's robot did not drop either (Zenoh's default would drop).
                congestion = (zenoh.CongestionControl.BLOCK if self.recording is not None
                              else zenoh.CongestionControl.DEFAULT)
                publishers = [session.declare_publisher(self.keys[stream], encoding=_ENCODING,
                                                        congestion_control=congestion)
                              for stream in STREAMS]
            queryable = session.declare_queryable(self.keys["rpc"], self._on_query)
            start = self._started = time.monotonic()
            ready()
            end = None if self.options.duration is None else start + self.options.duration
            tick = start
            try:
                if self.recording is not None:
                    # The replay ends with the recording (unless it loops), queries with it.
                    self._play(publishers, end)
                elif not publishers:
                    # Another process publishes the streams; this one only answers queries.
                    self._stop.wait(None if end is None else max(0.0, end - time.monotonic()))
                while publishers and self.recording is None and not self._stop.is_set():
                    now = time.monotonic()
                    if end is not None and now >= end:
                        break
                    t = now - start
                    basic, extra = publishers
                    self._publish("basic", basic, partial(self.robot.basic, t, time.time_ns()))
                    self._publish("extra", extra, partial(self.robot.extra, t))
                    # Keep the rate on average; after a stall, resume instead of bursting.
                    tick = max(tick + period, time.monotonic() - period)
                    self._stop.wait(max(0.0, tick - time.monotonic()))
            finally:
                with self._lock:
                    held, self._held = self._held, []
                for query in held:
                    query.drop()
                queryable.undeclare()
                for publisher in publishers:
                    publisher.undeclare()
