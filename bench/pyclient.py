"""A pure-Python client of one robot's data service on eclipse-zenoh: what a user who wrote their
own client with the standard library's ``struct`` would have, for the end-to-end benchmark
(bench/perf.py) to hold korvantyr against.

It subscribes to the same two keys, decodes every sample in the Zenoh callback into plain Python
values (precompiled ``struct.Struct`` objects, ``unpack_from``, the whole payload checked), learns
the start index and DoF of every joint group by the same remote calls korvantyr makes at start-up,
and answers ``states()``, ``actions()``, ``groups()``, the flags, the digital I/O, ``connected()``
and ``plan_info()`` with the same numbers: per-group slices of the robot-wide vectors widened to
Python floats, per-group Cartesian records, the local wrenches rotated into the world frame with
the same double-precision operations in the same order as korvantyr's segmentation, and the same
timestamps. perf.py checks the answers equal korvantyr's, so this client cannot quietly do less.

Threads: Zenoh's threads run the stream callbacks, each of which replaces one reference to the
latest decoded message (a single store under the interpreter lock); the queries read that
reference once, so each query sees one whole message. Remote calls block the caller until the
reply or the time-out. The decoders and ``segment_states``/``segment_actions`` are plain functions
of the decoded messages, usable without a session.
"""

from __future__ import annotations

import enum
import logging
import math
import re
import struct
import time
from collections.abc import Iterable, Sequence
from typing import NamedTuple

import zenoh

log = logging.getLogger("pyclient")

CLIENT_VERSION = "v2.1"
PING_TIMEOUT = 1.0
REQUEST_TIMEOUT = 2.0
REQ_PING, REQ_SERVER_VERSION, REQ_PLAN_INFO, REQ_START_ID_AND_DOF = 0, 1, 4, 10


class JointGroup(enum.IntEnum):
    UNKNOWN = -1
    ALL = 0
    ARMS = 2
    ARM_1 = 3
    ARM_2 = 4
    EXT_AXIS = 5


_GROUPS = {int(g): g for g in JointGroup}
_QUERIED_GROUPS = (JointGroup.ALL, JointGroup.ARMS, JointGroup.ARM_1, JointGroup.ARM_2,
                   JointGroup.EXT_AXIS)


class DecodeError(ValueError):
    """A payload does not hold the expected message."""


# ------------------------------------------------------------------------------------------------
# Records, with korvantyr's fields


class RobotStates:
    __slots__ = ("timestamp", "q", "theta", "dq", "dtheta", "tau", "tau_dot", "tau_ext",
                 "tau_interact", "temperature", "flange_pose", "tcp_pose", "tcp_twist",
                 "tcp_wrench", "tcp_wrench_local", "raw_tcp_wrench", "raw_tcp_wrench_local",
                 "raw_ft_sensor")

    def __init__(self) -> None:
        self.timestamp = (0, 0)
        self.q = []
        self.theta = []
        self.dq = []
        self.dtheta = []
        self.tau = []
        self.tau_dot = []
        self.tau_ext = []
        self.tau_interact = []
        self.temperature = []
        self.flange_pose = [0.0] * 7
        self.tcp_pose = [0.0] * 7
        self.tcp_twist = [0.0] * 6
        self.tcp_wrench = [0.0] * 6
        self.tcp_wrench_local = [0.0] * 6
        self.raw_tcp_wrench = [0.0] * 6
        self.raw_tcp_wrench_local = [0.0] * 6
        self.raw_ft_sensor = [0.0] * 6


class RobotActions:
    __slots__ = ("timestamp", "q_d", "dq_d", "tau_d", "tcp_pose_d", "tcp_twist_d", "tcp_wrench_d")

    def __init__(self) -> None:
        self.timestamp = (0, 0)
        self.q_d = []
        self.dq_d = []
        self.tau_d = []
        self.tcp_pose_d = [0.0] * 7
        self.tcp_twist_d = [0.0] * 6
        self.tcp_wrench_d = [0.0] * 6


class PlanInfo:
    __slots__ = ("pt_name", "node_name", "node_path", "node_path_time_period", "node_path_number",
                 "assigned_plan_name", "velocity_scale", "waiting_for_step")

    def __init__(self) -> None:
        self.pt_name = self.node_name = self.node_path = ""
        self.node_path_time_period = self.node_path_number = self.assigned_plan_name = ""
        self.velocity_scale = 0.0
        self.waiting_for_step = False


# ------------------------------------------------------------------------------------------------
# Decoding: little-endian primitives, LEB128 lengths, fixed arrays with their length on the wire


class Basic(NamedTuple):
    """A decoded AllBasicStreamData; Cartesian records are the raw tuples of ``_CARTESIAN``."""

    estop_released: bool
    enabling_device_on: bool
    digital_inputs: tuple[bool, ...]
    digital_outputs: tuple[bool, ...]
    joint_group_indices: tuple[int, ...]
    joints: tuple[tuple[float, ...], ...]  # q, theta, dq, dtheta, tau, tau_dot, tau_ext,
    #                                        tau_interact, temperature
    cartesian: tuple[tuple, ...]
    timestamp: tuple[int, int]  # int32, uint32 as sent


class Extra(NamedTuple):
    joint_group_indices: tuple[int, ...]
    joints: tuple[tuple[float, ...], ...]  # q_d, dq_d, tau_d
    cartesian: tuple[tuple, ...]


EMPTY_BASIC = Basic(False, False, (False,) * 20, (False,) * 20, (), ((),) * 9, (), (0, 0))
EMPTY_EXTRA = Extra((), ((),) * 3, ())

# safety_io: aux_code, aux_value, the two flags, then three fixed bool arrays with their lengths.
_SAFETY = struct.Struct("<Hh??B8?B20?B20?")
# One CartesianStateData: seven fixed arrays (7, 7, 6, 6, 6, 6, 6), each after its length byte.
_CARTESIAN = struct.Struct("<B7fB7fB6fB6fB6fB6fB6f")
_CARTESIAN_LENGTHS = ((0, 7), (8, 7), (16, 6), (23, 6), (30, 6), (37, 6), (44, 6))
# One DesiredCartesianData: tcp_pose_d (7), tcp_twist_d (6), tcp_wrench_d (6).
_DESIRED = struct.Struct("<B7fB6fB6f")
_DESIRED_LENGTHS = ((0, 7), (8, 6), (15, 6))
_TIMESTAMP = struct.Struct("<iI")
_U16 = struct.Struct("<H")
_floats: dict[int, struct.Struct] = {}
_u16s: dict[int, struct.Struct] = {}
_triples: dict[int, struct.Struct] = {}


def _struct_of(cache: dict[int, struct.Struct], n: int, code: str) -> struct.Struct:
    s = cache.get(n)
    if s is None:
        s = cache[n] = struct.Struct(f"<{n}{code}" if len(code) == 1 else "<" + code * n)
    return s


def _length(buf: bytes, pos: int) -> tuple[int, int]:
    """A sequence length (unsigned LEB128) at ``pos``: (length, position after it)."""
    try:
        byte = buf[pos]
        if byte < 0x80:
            return byte, pos + 1
        n, shift = 0, 0
        while True:
            byte = buf[pos]
            pos += 1
            n |= (byte & 0x7F) << shift
            if byte < 0x80:
                return n, pos
            shift += 7
            if shift > 63:
                raise DecodeError("sequence length longer than 64 bits")
    except IndexError:
        raise DecodeError("payload ends inside a sequence length") from None


def _vectors(buf: bytes, pos: int, count: int) -> tuple[list[tuple[float, ...]], int]:
    out = []
    for _ in range(count):
        n, pos = _length(buf, pos)
        if pos + 4 * n > len(buf):
            raise DecodeError(f"{n} floats announced at byte {pos}, {len(buf) - pos} bytes left")
        out.append(_struct_of(_floats, n, "f").unpack_from(buf, pos))
        pos += 4 * n
    return out, pos


def _indices(buf: bytes, pos: int) -> tuple[tuple[int, ...], int]:
    n, pos = _length(buf, pos)
    if pos + 2 * n > len(buf):
        raise DecodeError(f"{n} group numbers announced, {len(buf) - pos} bytes left")
    return _struct_of(_u16s, n, "H").unpack_from(buf, pos), pos + 2 * n


def _records(buf: bytes, pos: int, layout: struct.Struct,
             lengths: tuple[tuple[int, int], ...]) -> tuple[tuple[tuple, ...], int]:
    n, pos = _length(buf, pos)
    if pos + layout.size * n > len(buf):
        raise DecodeError(f"{n} Cartesian records announced, {len(buf) - pos} bytes left")
    out = []
    for _ in range(n):
        record = layout.unpack_from(buf, pos)
        for at, size in lengths:
            if record[at] != size:
                raise DecodeError(f"fixed array of {size} announces {record[at]} elements")
        out.append(record)
        pos += layout.size
    return tuple(out), pos


def decode_basic(buf: bytes) -> Basic:
    try:
        s = _SAFETY.unpack_from(buf, 0)
    except struct.error:
        raise DecodeError("payload ends inside safety_io") from None
    if s[4] != 8 or s[13] != 20 or s[34] != 20:
        raise DecodeError("a fixed bool array of safety_io has the wrong length")
    indices, pos = _indices(buf, _SAFETY.size)
    joints, pos = _vectors(buf, pos, 9)
    for _ in range(2):  # aux_triples_1 and aux_triples_2: checked and skipped
        n, pos = _length(buf, pos)
        if pos + 13 * n > len(buf):
            raise DecodeError(f"{n} triples announced, {len(buf) - pos} bytes left")
        if n and _struct_of(_triples, n, "B12x").unpack_from(buf, pos).count(3) != n:
            raise DecodeError("a triple does not announce 3 elements")
        pos += 13 * n
    cartesian, pos = _records(buf, pos, _CARTESIAN, _CARTESIAN_LENGTHS)
    if pos + _TIMESTAMP.size != len(buf):
        raise DecodeError(f"{len(buf) - pos} bytes where the timestamp's 8 should end the payload")
    return Basic(s[2], s[3], s[14:34], s[35:55], indices, tuple(joints), cartesian,
                 _TIMESTAMP.unpack_from(buf, pos))


def decode_extra(buf: bytes) -> Extra:
    indices, pos = _indices(buf, 0)
    joints, pos = _vectors(buf, pos, 3)
    cartesian, pos = _records(buf, pos, _DESIRED, _DESIRED_LENGTHS)
    if pos != len(buf):
        raise DecodeError(f"{len(buf) - pos} bytes left after the message")
    return Extra(indices, tuple(joints), cartesian)


class Reply(NamedTuple):
    request_id: int
    success: bool
    joint_groups: tuple[int, ...]
    int_container: tuple[int, ...]
    string_container: tuple[bytes, ...]
    float_container: tuple[float, ...]
    float2d_container: tuple[tuple[float, ...], ...]


_REPLY_HEAD = struct.Struct("<H?")


def encode_request(request_id: int, joint_groups: Sequence[int] = ()) -> bytes:
    return (_U16.pack(request_id) + _leb128(len(joint_groups))
            + struct.pack(f"<{len(joint_groups)}H", *joint_groups))


def _leb128(n: int) -> bytes:
    out = bytearray()
    while True:
        byte, n = n & 0x7F, n >> 7
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def decode_reply(buf: bytes) -> Reply:
    try:
        request_id, success = _REPLY_HEAD.unpack_from(buf, 0)
    except struct.error:
        raise DecodeError("payload ends inside the reply's head") from None
    groups, pos = _indices(buf, _REPLY_HEAD.size)
    n, pos = _length(buf, pos)
    if pos + 4 * n > len(buf):
        raise DecodeError("int_container runs past the payload")
    ints = struct.unpack_from(f"<{n}i", buf, pos)
    pos += 4 * n
    n, pos = _length(buf, pos)
    strings = []
    for _ in range(n):
        size, pos = _length(buf, pos)
        if pos + size > len(buf):
            raise DecodeError("a string runs past the payload")
        strings.append(bytes(buf[pos:pos + size]))
        pos += size
    (floats,), pos = _vectors(buf, pos, 1)
    n, pos = _length(buf, pos)
    if n > len(buf) - pos:
        raise DecodeError("float2d_container announces more vectors than bytes left")
    float2d, pos = _vectors(buf, pos, n)
    if pos != len(buf):
        raise DecodeError(f"{len(buf) - pos} bytes left after the reply")
    return Reply(request_id, success, groups, ints, tuple(strings), floats, tuple(float2d))


# ------------------------------------------------------------------------------------------------
# Segmentation, as korvantyr's: groups learnt at start-up first, then every Cartesian record


def _slice(vector: tuple[float, ...], start: int, dof: int) -> list[float] | None:
    if dof == 0:
        return []
    if start > len(vector) or dof > len(vector) - start:
        return None
    return list(vector[start:start + dof])


def _world(w: float, x: float, y: float, z: float, local: tuple[float, ...]) -> list[float]:
    """The force and the moment of ``local`` rotated by the normalised quaternion (w, x, y, z);
    the same double-precision operations in the same order as the library's."""
    m = w * w + x * x + y * y + z * z
    if m > 0.0:
        norm = math.sqrt(m)
        w /= norm
        x /= norm
        y /= norm
        z /= norm
    r00, r01, r02 = 1.0 - 2.0 * (y * y + z * z), 2.0 * (x * y - w * z), 2.0 * (x * z + w * y)
    r10, r11, r12 = 2.0 * (x * y + w * z), 1.0 - 2.0 * (x * x + z * z), 2.0 * (y * z - w * x)
    r20, r21, r22 = 2.0 * (x * z - w * y), 2.0 * (y * z + w * x), 1.0 - 2.0 * (x * x + y * y)
    fx, fy, fz, mx, my, mz = local
    return [r00 * fx + r01 * fy + r02 * fz, r10 * fx + r11 * fy + r12 * fz,
            r20 * fx + r21 * fy + r22 * fz, r00 * mx + r01 * my + r02 * mz,
            r10 * mx + r11 * my + r12 * mz, r20 * mx + r21 * my + r22 * mz]


def _record_timestamp(stamp: tuple[int, int]) -> tuple[int, int]:
    """The second integer arrives unsigned; the record keeps its 32 bits, signed."""
    sec, nsec = stamp
    return sec, nsec - (1 << 32) if nsec >= 1 << 31 else nsec


def _ordered(result: dict, added: bool) -> dict:
    return dict(sorted(result.items())) if added else result


def segment_states(basic: Basic, groups: Iterable[JointGroup],
                   ranges: dict[JointGroup, tuple[int, int]]) -> dict:
    """Per group, a RobotStates; ``ranges`` gives each group's (start index, DoF). Inconsistent
    data: an error line and an empty dict."""
    indices, cartesian = basic.joint_group_indices, basic.cartesian
    if len(cartesian) != len(indices):
        log.error("The received data has mismatched sizes: cartesian_data size is %d, expected "
                  "number of joint groups is %d", len(cartesian), len(indices))
        return {}
    result: dict = {}
    stamp = _record_timestamp(basic.timestamp)
    q, theta, dq, dtheta, tau, tau_dot, tau_ext, tau_interact, temperature = basic.joints
    for group in groups:
        span = ranges.get(group)
        if span is None:
            log.error("Missing start ID or DoF metadata for joint group [%d]", group)
            return {}
        start, dof = span
        r = RobotStates()
        r.timestamp = stamp
        r.q = _slice(q, start, dof)
        r.theta = _slice(theta, start, dof)
        r.dq = _slice(dq, start, dof)
        r.dtheta = _slice(dtheta, start, dof)
        r.tau = _slice(tau, start, dof)
        r.tau_dot = _slice(tau_dot, start, dof)
        r.tau_ext = _slice(tau_ext, start, dof)
        r.tau_interact = _slice(tau_interact, start, dof)
        r.temperature = _slice(temperature, start, dof)
        if None in (r.q, r.theta, r.dq, r.dtheta, r.tau, r.tau_dot, r.tau_ext, r.tau_interact,
                    r.temperature):
            log.error("Failed to segment full-DoF joint data for joint group [%d]", group)
            return {}
        result[group] = r
    added = False
    for number, c in zip(indices, cartesian):
        key = _GROUPS.get(number, number)
        r = result.get(key)
        if r is None:
            r = result[key] = RobotStates()
            added = True
        r.flange_pose = list(c[1:8])
        tcp = c[9:16]
        r.tcp_pose = list(tcp)
        r.tcp_twist = list(c[17:23])
        local = c[24:30]
        r.tcp_wrench_local = list(local)
        raw_local = c[38:44]
        r.raw_tcp_wrench_local = list(raw_local)
        r.raw_ft_sensor = list(c[45:51])
        w, x, y, z = tcp[3:7]
        r.tcp_wrench = _world(w, x, y, z, local)
        r.raw_tcp_wrench = _world(w, x, y, z, raw_local)
    return _ordered(result, added)


def segment_actions(stamp: tuple[int, int], extra: Extra, groups: Iterable[JointGroup],
                    ranges: dict[JointGroup, tuple[int, int]]) -> dict:
    """Per group, a RobotActions stamped with the latest basic message's ``stamp``."""
    indices, cartesian = extra.joint_group_indices, extra.cartesian
    if len(cartesian) != len(indices):
        log.error("The received desired data has mismatched sizes: cartesian_data size is %d, "
                  "expected number of joint groups is %d", len(cartesian), len(indices))
        return {}
    result: dict = {}
    stamp = _record_timestamp(stamp)
    q_d, dq_d, tau_d = extra.joints
    for group in groups:
        span = ranges.get(group)
        if span is None:
            log.error("Missing start ID or DoF metadata for joint group [%d]", group)
            return {}
        start, dof = span
        a = RobotActions()
        a.timestamp = stamp
        a.q_d = _slice(q_d, start, dof)
        a.dq_d = _slice(dq_d, start, dof)
        a.tau_d = _slice(tau_d, start, dof)
        if a.q_d is None or a.dq_d is None or a.tau_d is None:
            log.error("Failed to segment desired joint data for joint group [%d]", group)
            return {}
        result[group] = a
    added = False
    for number, c in zip(indices, cartesian):
        key = _GROUPS.get(number, number)
        a = result.get(key)
        if a is None:
            a = result[key] = RobotActions()
            added = True
        a.tcp_pose_d = list(c[1:8])
        a.tcp_twist_d = list(c[9:15])
        a.tcp_wrench_d = list(c[16:22])
    return _ordered(result, added)


def group_names(basic: Basic) -> dict:
    """The groups the message names, ascending; a number above 5 gives an error line and an empty
    dict, the unnamed number 1 raises IndexError (as korvantyr does)."""
    names = {}
    for number in basic.joint_group_indices:
        if number > JointGroup.EXT_AXIS:
            log.error("The received basic data contains invalid joint group index [%d]", number)
            return {}
        group = _GROUPS.get(number)
        if group is None:
            raise IndexError(f"no joint group {number}")
        names[group] = group.name
    return dict(sorted(names.items()))


# The standard string-to-number conversions: leading blanks, then the longest number.
_STOD = re.compile(r"\s*([+-]?(?:(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?|inf(?:inity)?|nan))",
                   re.IGNORECASE)
_STOI = re.compile(r"\s*([+-]?\d+)")


def plan_info_from(strings: Sequence[bytes]) -> PlanInfo | None:
    if len(strings) != 8:
        log.error("Size of plan info container is incorrect")
        return None
    text = [s.decode() for s in strings]
    velocity, waiting = _STOD.match(text[6]), _STOI.match(text[7])
    if velocity is None or waiting is None:
        log.error("Invalid PlanInfo string conversion: %s",
                  "invalid stod argument" if velocity is None else "invalid stoi argument")
        return None
    info = PlanInfo()
    (info.pt_name, info.node_name, info.node_path, info.node_path_time_period,
     info.node_path_number, info.assigned_plan_name) = text[:6]
    info.velocity_scale = float(velocity.group(1))
    info.waiting_for_step = int(waiting.group(1)) != 0
    return info


# ------------------------------------------------------------------------------------------------
# The client


class Client:
    """One robot, as ``korvantyr.Client(serial, verbose=False)``: connects, checks the version,
    learns the joint groups; raises RuntimeError when the robot does not answer."""

    def __init__(self, serial: str, session: zenoh.Session | None = None) -> None:
        self._own_session = session is None
        self._session = zenoh.open(zenoh.Config()) if session is None else session
        base = f"korvan/robot/{serial}/"
        self._rpc_key = base + "rpc"
        self._basic = EMPTY_BASIC
        self._extra = EMPTY_EXTRA
        self._subscribers = [
            self._session.declare_subscriber(base + "basic_stream_data", self._on_basic),
            self._session.declare_subscriber(base + "extra_stream_data", self._on_extra),
        ]
        try:
            self._start(serial)
        except BaseException:
            self.close()
            raise

    def _start(self, serial: str) -> None:
        if not any(self.connected() for _ in range(3)):
            raise RuntimeError(f"Failed to connect to [{serial}]")
        reply = self._call(REQ_SERVER_VERSION, REQUEST_TIMEOUT)
        if reply is None or not reply.string_container:
            raise RuntimeError("Failed to sync TYR server version")
        if reply.string_container[0] != CLIENT_VERSION.encode():
            raise RuntimeError(f"Version of this client is incompatible with robot [{serial}]")
        time.sleep(0.1)
        self._groups = tuple(self.groups())  # ascending, fixed for the client's lifetime
        reply = self._call(REQ_START_ID_AND_DOF, REQUEST_TIMEOUT, _QUERIED_GROUPS)
        if reply is None or not (len(reply.joint_groups) == len(reply.int_container)
                                 == len(reply.float_container)):
            raise RuntimeError("Failed to obtain robot start ID and DoF information")
        # Start indices are read as unsigned 32-bit numbers; DoF travels as a float, truncated.
        self._ranges = {_GROUPS.get(g, g): (start & 0xFFFFFFFF, int(dof)) for g, start, dof
                        in zip(reply.joint_groups, reply.int_container, reply.float_container)}

    def close(self) -> None:
        for subscriber in self._subscribers:
            subscriber.undeclare()
        self._subscribers = []
        if self._own_session:
            self._session.close()

    # -- streams, on Zenoh's threads: a sample that does not decode is dropped

    def _on_basic(self, sample: zenoh.Sample) -> None:
        try:
            self._basic = decode_basic(sample.payload.to_bytes())
        except DecodeError:
            pass

    def _on_extra(self, sample: zenoh.Sample) -> None:
        try:
            self._extra = decode_extra(sample.payload.to_bytes())
        except DecodeError:
            pass

    # -- remote calls

    def _call(self, request_id: int, timeout: float, groups: Sequence[int] = ()) -> Reply | None:
        """The first OK reply that decodes and echoes ``request_id``, or None."""
        replies = self._session.get(self._rpc_key, payload=encode_request(request_id, groups),
                                    timeout=timeout)
        for reply in replies:
            if reply.ok is None:
                continue
            try:
                decoded = decode_reply(reply.ok.payload.to_bytes())
            except DecodeError:
                continue
            if decoded.request_id == request_id:
                return decoded
        return None

    def connected(self) -> bool:
        reply = self._call(REQ_PING, PING_TIMEOUT)
        return reply is not None and not reply.success  # a probe's good answer reports false

    def plan_info(self) -> PlanInfo:
        reply = self._call(REQ_PLAN_INFO, REQUEST_TIMEOUT)
        info = plan_info_from(reply.string_container) if reply and reply.success else None
        if info is None:
            raise RuntimeError("plan_info: No reply from the robot")
        return info

    # -- stream queries

    def states(self) -> dict:
        return segment_states(self._basic, self._groups, self._ranges)

    def actions(self) -> dict:
        stamp = self._basic.timestamp
        return segment_actions(stamp, self._extra, self._groups, self._ranges)

    def groups(self) -> dict:
        return group_names(self._basic)

    def estop_released(self) -> bool:
        return self._basic.estop_released

    def enabling_device_on(self) -> bool:
        return self._basic.enabling_device_on

    def digital_inputs(self) -> list[bool]:
        return list(self._basic.digital_inputs)

    def digital_outputs(self) -> list[bool]:
        return list(self._basic.digital_outputs)
