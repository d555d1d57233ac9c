"""The robot's data service: two streams and the remote procedures, on one Zenoh session.

Threads: the main thread publishes the streams (``run``); Zenoh's threads call ``_on_query``. The
only state they share is the list of queries held back (``_held``, under ``_lock``) and the stop
event.

Faults make the service misbehave on purpose for tests; each applies to the request ids given with
``fault_on`` (all when empty):

* ``no-reply``: drop the query without answering (the caller's get completes at once, empty);
* ``hang``: keep the query unanswered until the service stops (the caller runs into its time-out);
* ``error-reply``: answer with an error reply carrying the normal reply's bytes;
* ``trailing-byte``: the normal reply followed by one extra byte;
* ``truncated``: the normal reply without its last byte;
* ``wrong-id``: the normal reply with ``request_id`` + 1;
* ``flip-success``: the normal reply with ``success`` inverted.
"""

from __future__ import annotations

import sys
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field

import zenoh

from .messages import DecodeError, RPCReply, RPCRequest, decode, encode
from .robot import Robot

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
REQ_START_ID_AND_DOF = 10

KEY_PREFIX = "korvan/robot/"
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


def answer(robot: Robot, request: RPCRequest, server_version: str) -> RPCReply:
    """The correct reply of ``robot`` to ``request``."""
    reply = RPCReply(request_id=request.request_id)
    if request.request_id == REQ_PING:
        reply.success = False  # a probe is answered with false: the robot is there
    elif request.request_id == REQ_SERVER_VERSION:
        reply.success = True
        reply.string_container = [server_version.encode()]
    elif request.request_id == REQ_START_ID_AND_DOF:
        reply.success = True
        for number in request.joint_groups:
            group = robot.preset.group(number)
            if group is not None:
                reply.joint_groups.append(group.number)
                reply.int_container.append(group.start)
                reply.float_container.append(float(group.dof))
    return reply


class Service:
    def __init__(self, options: Options) -> None:
        self.options = options
        self.robot = Robot(options.preset)
        self.keys = keys(options.serial)
        self._stop = threading.Event()
        self._lock = threading.Lock()
        self._held: list[zenoh.Query] = []  # queries kept unanswered ("hang"), guarded by _lock

    def stop(self) -> None:
        self._stop.set()

    def _faulty(self, request_id: int | None) -> bool:
        if self.options.fault == "none":
            return False
        return not self.options.fault_on or request_id in self.options.fault_on

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
        fault = self.options.fault if self._faulty(request.request_id) else "none"
        if fault == "no-reply":
            query.drop()
            return
        if fault == "hang":
            with self._lock:
                self._held.append(query)
            return
        reply = answer(self.robot, request, self.options.server_version)
        if fault == "wrong-id":
            reply.request_id = (reply.request_id + 1) & 0xFFFF
        elif fault == "flip-success":
            reply.success = not reply.success
        data = encode(reply)
        if fault == "trailing-byte":
            data += b"\x00"
        elif fault == "truncated":
            data = data[:-1]
        if self.options.reply_delay > 0:
            timer = threading.Timer(self.options.reply_delay, self._send, (query, data, fault))
            timer.daemon = True
            timer.start()
        else:
            self._send(query, data, fault)

    def _send(self, query: zenoh.Query, data: bytes, fault: str) -> None:
        try:
            if fault == "error-reply":
                query.reply_err(data, encoding=_ENCODING)
            else:
                query.reply(self.keys["rpc"], data, encoding=_ENCODING)
        finally:
            query.drop()

    def run(self, ready: Callable[[], None] = lambda: None) -> None:
        """Serve until ``stop()`` or the duration has passed; call ``ready`` once declared."""
        period = 1.0 / self.options.rate
        with zenoh.open(zenoh.Config()) as session:
            basic = session.declare_publisher(self.keys["basic"], encoding=_ENCODING)
            extra = session.declare_publisher(self.keys["extra"], encoding=_ENCODING)
            queryable = session.declare_queryable(self.keys["rpc"], self._on_query)
            ready()
            start = time.monotonic()
            end = None if self.options.duration is None else start + self.options.duration
            tick = start
            try:
                while not self._stop.is_set():
                    now = time.monotonic()
                    if end is not None and now >= end:
                        break
                    t = now - start
                    basic.put(encode(self.robot.basic(t, time.time_ns())))
                    extra.put(encode(self.robot.extra(t)))
                    # Keep the rate on average; after a stall, resume instead of bursting.
                    tick = max(tick + period, time.monotonic() - period)
                    self._stop.wait(max(0.0, tick - time.monotonic()))
            finally:
                with self._lock:
                    held, self._held = self._held, []
                for query in held:
                    query.drop()
                queryable.undeclare()
                basic.undeclare()
                extra.undeclare()
