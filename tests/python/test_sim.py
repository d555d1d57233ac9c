"""The simulated robot: its payloads follow the wire layout, its motion is sane, and it answers the
remote procedures (and misbehaves on request) over a real Zenoh session."""

from __future__ import annotations

import io
import math
import random
import struct
import threading
import time
from dataclasses import replace
from functools import partial

import pytest
import zenoh
from zenoh.ext import Float32, Int32, UInt16, z_serialize

from conftest import check_sim_stderr, start_controlled_sim
from korvantyr_sim import (
    HUGE_COUNT,
    PRESETS,
    STREAM_FAULTS,
    AllBasicStreamData,
    AllExtraStreamData,
    RPCReply,
    RPCRequest,
    Options,
    Robot,
    Service,
    answer,
    custom_preset,
    decode,
    encode,
    faulty_payload,
)
from korvantyr_sim.__main__ import parse_args
from korvantyr_sim.faults import DECODABLE_STREAM_FAULTS
import korvantyr_sim.messages as sim_messages
from korvantyr_sim.messages import (
    BOOL, F32, I16, I32, STR, U16, U32, DecodeError, DesiredCartesianData, EncodeError,
    FieldReader, Fixed, Seq, encode_with_zenoh, field_offset, length_prefix,
)
from korvantyr_sim.mutate import (
    HUGE_COUNTS, OVER_LONG_COUNTS, REPLY_MUTATIONS, SAMPLE_MUTATIONS, SampleSource, mutate_reply,
    mutate_sample,
)

T0_NS = 1_700_000_000_987_654_321


def f32(x: float) -> float:
    return struct.unpack("<f", struct.pack("<f", x))[0]


# ------------------------------------------------------------------------------------------------
# Wire layout, read back one primitive at a time in the order of the message tables


class Wire:
    """Reads a payload field by field with eclipse-zenoh and records what it has read."""

    def __init__(self, payload: bytes) -> None:
        self.r = FieldReader(payload)

    def u16(self) -> int:
        return self.r.prim(U16)

    def i16(self) -> int:
        return self.r.prim(I16)

    def i32(self) -> int:
        return self.r.prim(I32)

    def u32(self) -> int:
        return self.r.prim(U32)

    def bool(self) -> bool:
        return self.r.prim(BOOL)

    def f32(self) -> float:
        return self.r.prim(F32)

    def floats(self, expected_len: int | None = None) -> list[float]:
        n = self.r.length()
        if expected_len is not None:
            assert n == expected_len
        return [self.f32() for _ in range(n)]

    def bools(self, expected_len: int) -> list[bool]:
        assert self.r.length() == expected_len
        return [self.bool() for _ in range(expected_len)]


def read_cartesian(w: Wire) -> list[list[float]]:
    return [w.floats(size) for size in (7, 7, 6, 6, 6, 6, 6)]


@pytest.mark.parametrize("preset", sorted(PRESETS))
def test_basic_payload_follows_the_wire_table(preset: str) -> None:
    msg = Robot(preset).basic(12.5, T0_NS)
    w = Wire(encode(msg))
    io = msg.safety_io
    assert (w.u16(), w.i16(), w.bool(), w.bool()) == (
        io.aux_code, io.aux_value, io.estop_released, io.enabling_device_on)
    assert w.bools(8) == io.aux_flags
    assert w.bools(20) == io.digital_inputs
    assert w.bools(20) == io.digital_outputs
    groups = [w.u16() for _ in range(w.r.length())]
    assert groups == [g.number for g in PRESETS[preset].groups]
    n = PRESETS[preset].dof
    jd = msg.joint_data
    for name in ("q", "theta", "dq", "dtheta", "tau", "tau_dot", "tau_ext", "tau_interact",
                 "temperature"):
        assert w.floats(n) == [f32(v) for v in getattr(jd, name)], name
    for triples in (jd.aux_triples_1, jd.aux_triples_2):
        assert w.r.length() == len(triples)
        assert [w.floats(3) for _ in triples] == [[f32(v) for v in t] for t in triples]
    assert w.r.length() == len(groups)
    for cart in msg.cartesian_data:
        assert read_cartesian(w)[1] == [f32(v) for v in cart.tcp_pose]
    assert (w.i32(), w.u32()) == divmod(T0_NS, 1_000_000_000)
    assert w.r.done


def test_basic_payload_size_of_the_dual_arm() -> None:
    # safety_io 2+2+1+1 + (1+8) + 2*(1+20) = 57; indices 1 + 5*2 = 11; nine joint vectors
    # 9*(1 + 16*4) = 585; two triple lists 2*(1 + 16*(1 + 3*4)) = 418; five Cartesian records
    # 1 + 5*(2*(1 + 7*4) + 5*(1 + 6*4)) = 916; timestamp 4 + 4 = 8.
    assert len(encode(Robot("dual-arm").basic(3.0, T0_NS))) == 57 + 11 + 585 + 418 + 916 + 8


def test_extra_payload_follows_the_wire_table() -> None:
    msg = Robot("dual-arm").extra(4.25)
    w = Wire(encode(msg))
    assert [w.u16() for _ in range(w.r.length())] == [0, 2, 3, 4, 5]
    for name in ("q_d", "dq_d", "tau_d"):
        assert w.floats(16) == [f32(v) for v in getattr(msg.desired_joint_data, name)]
    assert w.r.length() == 5
    for cart in msg.cartesian_data:
        assert w.floats(7) == [f32(v) for v in cart.tcp_pose_d]
        assert w.floats(6) == [f32(v) for v in cart.tcp_twist_d]
        assert w.floats(6) == [f32(v) for v in cart.tcp_wrench_d]
    assert w.r.done
    # 1 + 5*2, 3*(1 + 16*4), 1 + 5*((1 + 7*4) + 2*(1 + 6*4))
    assert len(encode(msg)) == 11 + 195 + 396


def test_rpc_messages_follow_the_wire_tables() -> None:
    request = RPCRequest(10, [0, 2, 3, 4, 5])
    expected = z_serialize((UInt16(10), [UInt16(g) for g in (0, 2, 3, 4, 5)])).to_bytes()
    assert encode(request) == expected
    assert encode(RPCRequest(1)).hex() == "010000"  # the number, then an empty list

    reply = RPCReply(9, True, [3, 4], [-1, 2**31 - 1], [b"", b"a\x00\xff"], [6.5],
                     [[1.0, 2.0], [], [3.0]])
    expected = z_serialize((
        UInt16(9), True, [UInt16(3), UInt16(4)], [Int32(-1), Int32(2**31 - 1)],
        [b"", b"a\x00\xff"], [Float32(6.5)],
        [[Float32(1.0), Float32(2.0)], [], [Float32(3.0)]],
    )).to_bytes()
    assert encode(reply) == expected
    assert decode(RPCReply, expected) == reply


# ------------------------------------------------------------------------------------------------
# Encoders and decoders


@pytest.mark.parametrize("preset", sorted(PRESETS))
@pytest.mark.parametrize("t", [0.0, 1.234, 987.6])
def test_stream_messages_round_trip(preset: str, t: float) -> None:
    robot = Robot(preset)
    for msg in (robot.basic(t, T0_NS), robot.extra(t)):
        data = encode(msg)
        back = decode(type(msg), data)
        assert encode(back) == data
        assert back.joint_group_indices == msg.joint_group_indices


def test_empty_messages_round_trip() -> None:
    for cls in (AllBasicStreamData, AllExtraStreamData, RPCRequest, RPCReply):
        assert decode(cls, encode(cls())) == cls()


def test_decoder_rejects_what_does_not_fit() -> None:
    good = encode(Robot().basic(1.0, T0_NS))
    with pytest.raises(DecodeError, match="1 bytes left"):
        decode(AllBasicStreamData, good + b"\x00")
    with pytest.raises(DecodeError):
        decode(AllBasicStreamData, good[:-1])
    short_inputs = Robot().basic(1.0, T0_NS)
    short_inputs.safety_io.digital_inputs = [True] * 16
    with pytest.raises(EncodeError):
        encode(short_inputs)
    with pytest.raises(DecodeError, match="fixed array of 20 announces 16"):
        decode(AllBasicStreamData, encode(short_inputs, strict=False))
    # A corrupt length must fail at once, not build a huge list.
    with pytest.raises(DecodeError, match="exceeds the payload"):
        decode(RPCReply, bytes.fromhex("010001") + b"\xff\xff\xff\xff\x0f")
    with pytest.raises(EncodeError):
        encode(RPCRequest(70000))


def _random_record(cls: type, rng: random.Random) -> object:
    """A record of ``cls`` with random lengths and edge values in every field."""
    floats = [0.0, -0.0, 1.5, -2.75e-3, 3.4e38, -3.4e38, 1e-45, math.inf, -math.inf, math.nan]
    ints = {I16: (-32768, 32767), U16: (0, 65535), I32: (-2**31, 2**31 - 1), U32: (0, 2**32 - 1)}

    def value(tp: object) -> object:
        if isinstance(tp, Seq):
            return [value(tp.elem) for _ in range(rng.choice([0, 1, 3, 127, 128, 300]))]
        if isinstance(tp, Fixed):
            return [value(tp.elem) for _ in range(tp.size)]
        if tp is F32:
            return rng.choice(floats + [rng.uniform(-1e3, 1e3)])
        if tp is BOOL:
            return rng.random() < 0.5
        if tp is STR:
            return rng.randbytes(rng.choice([0, 5, 127, 128, 20000]))
        if tp in ints:
            return rng.choice([*ints[tp], rng.randint(*ints[tp])])
        return cls_value(tp)

    def cls_value(tp: type) -> object:
        return tp(**{name: value(ftp) for name, ftp in tp.FIELDS})

    return cls_value(cls)


@pytest.mark.parametrize("cls", [AllBasicStreamData, AllExtraStreamData, RPCRequest, RPCReply])
def test_direct_packing_writes_what_the_zenoh_serializer_writes(cls) -> None:
    rng = random.Random(cls.__name__)
    for _ in range(20):
        record = _random_record(cls, rng)
        reference = encode_with_zenoh(record)
        assert encode(record) == reference
        # The direct path itself, not a silent fall-back to the serializer, wrote it.
        packed = bytearray()
        sim_messages._pack(packed, cls, record)
        assert bytes(packed) == reference
    robot = Robot("dual-arm")
    for t in (0.0, 0.37, 12.5):
        for msg in (robot.basic(t, T0_NS), robot.extra(t)):
            assert encode(msg) == encode_with_zenoh(msg)


def test_records_the_direct_packing_refuses_fail_as_the_serializer_does() -> None:
    # Out of range for its width, and a fixed array of the wrong size: EncodeError either way.
    for record in (RPCRequest(70000), RPCReply(int_container=[2**31]),
                   AllExtraStreamData(cartesian_data=[DesiredCartesianData(tcp_pose_d=[0.0] * 6)])):
        with pytest.raises(EncodeError):
            encode(record)
        with pytest.raises(EncodeError):
            encode_with_zenoh(record)


# ------------------------------------------------------------------------------------------------
# The robot's motion


def _norm(v: list[float]) -> float:
    return math.sqrt(sum(x * x for x in v))


@pytest.mark.parametrize("preset", sorted(PRESETS))
def test_orientations_are_unit_quaternions_that_move(preset: str) -> None:
    robot = Robot(preset)
    seen = set()
    for step in range(200):
        t = step * 0.37
        basic = decode(AllBasicStreamData, encode(robot.basic(t, T0_NS)))
        extra = decode(AllExtraStreamData, encode(robot.extra(t)))
        quats = [c.tcp_pose[3:] for c in basic.cartesian_data]
        quats += [c.flange_pose[3:] for c in basic.cartesian_data]
        quats += [c.tcp_pose_d[3:] for c in extra.cartesian_data]
        for q in quats:
            assert _norm(q) == pytest.approx(1.0, abs=1e-6)
        seen.add(tuple(round(x, 3) for x in basic.cartesian_data[0].tcp_pose[3:]))
    assert len(seen) > 100


@pytest.mark.parametrize("preset", sorted(PRESETS))
def test_messages_cover_every_group(preset: str) -> None:
    robot = Robot(preset)
    basic, extra = robot.basic(5.0, T0_NS), robot.extra(5.0)
    n = PRESETS[preset].dof
    for group in PRESETS[preset].groups:
        assert group.start + group.dof <= n
    assert len(basic.cartesian_data) == len(basic.joint_group_indices)
    assert len(extra.cartesian_data) == len(extra.joint_group_indices)
    for name in ("q", "dq", "tau", "temperature"):
        assert len(getattr(basic.joint_data, name)) == n
    assert len(extra.desired_joint_data.q_d) == n


def test_joints_move_smoothly_and_io_changes_slowly() -> None:
    robot = Robot()
    a, b = robot.basic(10.0, T0_NS), robot.basic(10.01, T0_NS)
    assert max(abs(x - y) for x, y in zip(a.joint_data.q, b.joint_data.q)) < 0.01
    assert a.joint_data.q != b.joint_data.q
    assert a.safety_io.digital_inputs == b.safety_io.digital_inputs
    later = [robot.basic(float(t), T0_NS).safety_io for t in range(0, 120, 7)]
    assert len({tuple(io.digital_inputs) for io in later}) > 5
    assert len({tuple(io.digital_outputs) for io in later}) > 5
    assert len({io.enabling_device_on for io in later}) == 2


def test_timestamp_comes_from_the_given_clock() -> None:
    msg = Robot().basic(0.0, T0_NS)
    assert (msg.timestamp_sec, msg.timestamp_nsec) == (1_700_000_000, 987_654_321)


# ------------------------------------------------------------------------------------------------
# Remote procedures


def test_start_ids_answer_the_requested_groups_in_order() -> None:
    reply = answer(Robot("dual-arm"), RPCRequest(10, [5, 1, 0, 4]), "v2.1")
    assert (reply.success, reply.joint_groups, reply.int_container, reply.float_container) == (
        True, [5, 0, 4], [14, 0, 7], [2.0, 16.0, 7.0])
    single = answer(Robot("single-arm"), RPCRequest(10, [0, 2, 3, 4, 5]), "v2.1")
    assert (single.joint_groups, single.int_container, single.float_container) == (
        [0, 3], [0, 0], [7.0, 7.0])


def rpc(session: zenoh.Session, key: str, request: RPCRequest | bytes, timeout: float = 2.0,
        deadline: float = 20.0) -> list[zenoh.Reply]:
    """Query until the robot's queryable is known (replies arrive), or ``deadline`` passes."""
    payload = request if isinstance(request, bytes) else encode(request)
    end = time.monotonic() + deadline
    while True:
        replies = list(session.get(key, payload=payload, timeout=timeout))
        if replies or time.monotonic() > end:
            return replies
        time.sleep(0.05)


def ok_reply(replies: list[zenoh.Reply]) -> RPCReply:
    assert len(replies) == 1 and replies[0].ok is not None, replies
    return decode(RPCReply, replies[0].ok.payload.to_bytes())


@pytest.mark.network
def test_sim_answers_the_remote_procedures(sim, zsession) -> None:
    robot = sim(args=["--server-version", "v2.1"])
    key = robot.key("rpc")
    assert ok_reply(rpc(zsession, key, RPCRequest(0))) == RPCReply(0, False)
    version = ok_reply(rpc(zsession, key, RPCRequest(1)))
    assert version == RPCReply(1, True, string_container=[b"v2.1"])
    assert ok_reply(rpc(zsession, key, RPCRequest(10, [0, 2, 3, 4, 5]))) == RPCReply(
        10, True, [0, 2, 3, 4, 5], [0, 0, 0, 7, 14], [], [16.0, 14.0, 7.0, 7.0, 2.0])
    assert ok_reply(rpc(zsession, key, RPCRequest(42))) == RPCReply(42, False)
    bad = rpc(zsession, key, b"\x01")
    assert len(bad) == 1 and bad[0].err is not None


@pytest.mark.network
def test_sim_reports_the_configured_version_and_preset(sim, zsession) -> None:
    robot = sim(preset="single-arm", args=["--server-version", "v9.9"])
    key = robot.key("rpc")
    assert ok_reply(rpc(zsession, key, RPCRequest(1))).string_container == [b"v9.9"]
    reply = ok_reply(rpc(zsession, key, RPCRequest(10, [0, 2, 3, 4, 5])))
    assert (reply.joint_groups, reply.int_container, reply.float_container) == ([0, 3], [0, 0],
                                                                               [7.0, 7.0])


@pytest.mark.network
def test_sim_publishes_both_streams(sim, zsession) -> None:
    robot = sim(rate=200.0)
    received: dict[str, list[bytes]] = {"basic": [], "extra": []}
    enough = threading.Event()

    def collect(stream: str):
        def on_sample(sample: zenoh.Sample) -> None:
            received[stream].append(sample.payload.to_bytes())
            if all(len(v) >= 20 for v in received.values()):
                enough.set()
        return on_sample

    subs = [zsession.declare_subscriber(robot.key(s), collect(s)) for s in received]
    try:
        assert enough.wait(20.0), {k: len(v) for k, v in received.items()}
    finally:
        for sub in subs:
            sub.undeclare()
    basics = [decode(AllBasicStreamData, p) for p in received["basic"][:20]]
    stamps = [(b.timestamp_sec, b.timestamp_nsec) for b in basics]
    assert stamps == sorted(stamps) and len(set(stamps)) == len(stamps)
    now = time.time()
    assert abs(stamps[-1][0] + stamps[-1][1] * 1e-9 - now) < 60
    for payload in received["extra"][:20]:
        assert decode(AllExtraStreamData, payload).joint_group_indices == [0, 2, 3, 4, 5]


@pytest.mark.network
def test_sim_stops_after_its_duration(sim) -> None:
    robot = sim(args=["--duration", "0.5"])
    assert robot.wait(timeout=20.0) == 0


FAULTS = [
    # fault, check of the replies to a version request
    ("no-reply", lambda replies: replies == []),
    ("error-reply", lambda replies: len(replies) == 1 and replies[0].err is not None
     and decode(RPCReply, replies[0].err.payload.to_bytes()).string_container == [b"v2.1"]),
    ("trailing-byte", lambda replies: _rejected(replies, "1 bytes left")),
    ("truncated", lambda replies: _rejected(replies, "cannot read")),
    ("wrong-id", lambda replies: ok_reply(replies).request_id == 2),
    ("flip-success", lambda replies: ok_reply(replies).success is False),
]


def _rejected(replies: list[zenoh.Reply], reason: str) -> bool:
    with pytest.raises(DecodeError, match=reason):
        ok_reply(replies)
    return True


@pytest.mark.network
@pytest.mark.parametrize("fault,check", FAULTS, ids=[f for f, _ in FAULTS])
def test_sim_misbehaves_on_request(sim, zsession, fault, check) -> None:
    robot = sim(args=["--fault", fault, "--fault-on", "1"])
    key = robot.key("rpc")
    # The ping is not affected and tells when the queryable is known.
    assert ok_reply(rpc(zsession, key, RPCRequest(0))) == RPCReply(0, False)
    started = time.monotonic()
    replies = list(zsession.get(key, payload=encode(RPCRequest(1)), timeout=5.0))
    assert check(replies)
    assert time.monotonic() - started < 2.5  # answered (or finished) without waiting the time-out


@pytest.mark.network
def test_sim_hang_keeps_the_caller_waiting(sim, zsession) -> None:
    robot = sim(args=["--fault", "hang", "--fault-on", "1"])
    key = robot.key("rpc")
    assert ok_reply(rpc(zsession, key, RPCRequest(0))) == RPCReply(0, False)
    started = time.monotonic()
    replies = list(zsession.get(key, payload=encode(RPCRequest(1)), timeout=1.0))
    assert time.monotonic() - started >= 0.9
    # Zenoh ends a query that runs out of time with an error reply of its own.
    assert all(r.ok is None for r in replies)


@pytest.mark.network
def test_sim_answers_late_when_asked_to(sim, zsession) -> None:
    robot = sim(args=["--reply-delay", "0.5"])
    key = robot.key("rpc")
    assert ok_reply(rpc(zsession, key, RPCRequest(0))) == RPCReply(0, False)
    started = time.monotonic()
    reply = ok_reply(list(zsession.get(key, payload=encode(RPCRequest(1)), timeout=5.0)))
    assert reply.string_container == [b"v2.1"]
    assert time.monotonic() - started >= 0.45


# ------------------------------------------------------------------------------------------------
# Custom robots


@pytest.mark.parametrize("text,groups", [
    ("ARM_1:7,EXT_AXIS:2", [(0, 0, 9), (3, 0, 7), (5, 7, 2)]),
    ("ARM_1:6,ARM_2:6", [(0, 0, 12), (2, 0, 12), (3, 0, 6), (4, 6, 6)]),
    ("arm_1:7, arm_2:7, ext_axis:2", [(0, 0, 16), (2, 0, 14), (3, 0, 7), (4, 7, 7), (5, 14, 2)]),
    # ARMS only where ARM_2 directly follows ARM_1 in the joint vectors.
    ("ARM_2:3,ARM_1:4", [(0, 0, 7), (3, 3, 4), (4, 0, 3)]),
    ("ARM_1:7,EXT_AXIS:1,ARM_2:7", [(0, 0, 15), (3, 0, 7), (4, 8, 7), (5, 7, 1)]),
    ("EXT_AXIS:1", [(0, 0, 1), (5, 0, 1)]),
])
def test_custom_robot_lays_its_groups_out_in_joint_order(text, groups) -> None:
    preset = custom_preset(text)
    assert [(g.number, g.start, g.dof) for g in preset.groups] == groups
    robot = Robot(preset)
    basic = decode(AllBasicStreamData, encode(robot.basic(2.0, T0_NS)))
    extra = decode(AllExtraStreamData, encode(robot.extra(2.0)))
    assert basic.joint_group_indices == extra.joint_group_indices == [g[0] for g in groups]
    assert len(basic.cartesian_data) == len(extra.cartesian_data) == len(groups)
    assert len(basic.joint_data.q) == len(extra.desired_joint_data.tau_d) == groups[0][2]
    reply = answer(robot, RPCRequest(10, [0, 2, 3, 4, 5]), "v2.1")
    assert list(zip(reply.joint_groups, reply.int_container, reply.float_container)) == [
        (n, s, float(d)) for n, s, d in groups]


@pytest.mark.parametrize("text", ["", "ARM_3:2", "ALL:7", "ARM_1", "ARM_1:0", "ARM_1:x",
                                  "ARM_1:65", "ARM_1:7,ARM_1:7", "ARM_1:7,"])
def test_custom_robot_refuses_malformed_groups(text) -> None:
    with pytest.raises(ValueError):
        custom_preset(text)
    with pytest.raises(SystemExit):
        parse_args(["--serial", "S", "--groups", text])


# ------------------------------------------------------------------------------------------------
# Stream faults: the exact bytes and how the decoder refuses them, or the exact message it reads


def _joints_at(msg) -> int:
    """Offset of the first joint vector (16 floats on the dual-arm robot)."""
    return field_offset(msg, "joint_data" if isinstance(msg, AllBasicStreamData)
                        else "desired_joint_data")


def _wrong_array(msg, good: bytes) -> bytes:
    if isinstance(msg, AllBasicStreamData):  # digital_inputs: 20 booleans, 16 remain
        at, size, keep, drop = 6 + 1 + 8, 16, 16, 4
    else:  # the first tcp_pose_d: 7 floats, 6 remain
        at, size, keep, drop = field_offset(msg, "cartesian_data") + 1, 6, 24, 4
    return good[:at] + bytes([size]) + good[at + 1 : at + 1 + keep] + good[at + 1 + keep + drop :]


STREAM_FAULT_CASES = {
    # fault: (the bytes expected from the message and its good payload, decoder failure)
    "trailing-byte": (lambda msg, good: good + b"\x00", "1 bytes left after the record"),
    "cut": (lambda msg, good: good[: _joints_at(msg) + 1 + 8 * 4], "cannot read"),
    "wrong-array": (_wrong_array, "announces (16|6) elements"),
    "empty": (lambda msg, good: b"", "cannot read .* at byte 0"),
    "huge-count": (lambda msg, good: good[: _joints_at(msg)] + bytes.fromhex("808080808020")
                   + good[_joints_at(msg) + 1 :], f"length {HUGE_COUNT} .* exceeds the payload"),
}


def _joint_record(msg) -> str:
    return "joint_data" if isinstance(msg, AllBasicStreamData) else "desired_joint_data"


def _last_group(msg, number: int):
    return replace(msg, joint_group_indices=[0, 2, 3, 4, number])


def _short_joints(msg):
    joints = getattr(msg, _joint_record(msg))
    assert {len(v) for v in vars(joints).values()} == {16}
    return replace(msg, **{_joint_record(msg): replace(
        joints, **{name: v[:15] for name, v in vars(joints).items()})})


# Faults whose payload decodes into a message that does not fit the dual-arm robot's groups
# (0, 2, 3, 4, 5; one cartesian_data record each): the message expected from the good one.
DECODABLE_FAULT_CASES = {
    "unnamed-group": lambda msg: _last_group(msg, 1),
    "unknown-group": lambda msg: _last_group(msg, 7),
    "short-joints": _short_joints,
    "short-cartesian": lambda msg: replace(msg, cartesian_data=msg.cartesian_data[:4]),
}


def test_every_stream_fault_is_covered() -> None:
    # The first table lists the faults a reader refuses; the second those it takes.
    assert sorted(STREAM_FAULT_CASES) == sorted(set(STREAM_FAULTS) - set(DECODABLE_STREAM_FAULTS))
    assert sorted(DECODABLE_FAULT_CASES) == sorted(DECODABLE_STREAM_FAULTS)


@pytest.mark.parametrize("stream", ["basic", "extra"])
@pytest.mark.parametrize("fault", sorted(STREAM_FAULTS))
def test_stream_fault_has_its_exact_shape(stream, fault) -> None:
    robot = Robot("dual-arm")
    msg = robot.basic(3.3, T0_NS) if stream == "basic" else robot.extra(3.3)
    good = encode(msg)
    bad = faulty_payload(fault, msg)
    assert good[_joints_at(msg)] == 16  # the length byte that cut and huge-count work on
    if fault in DECODABLE_FAULT_CASES:
        received = decode(type(msg), good)  # with the floats as the payload holds them
        assert received.joint_group_indices == [0, 2, 3, 4, 5]
        assert len(received.cartesian_data) == 5
        assert decode(type(msg), bad) == DECODABLE_FAULT_CASES[fault](received)
    else:
        expected, failure = STREAM_FAULT_CASES[fault]
        assert bad == expected(msg, good)
        with pytest.raises(DecodeError, match=failure):
            decode(type(msg), bad)
    assert encode(msg) == good  # the message itself is left alone


# ------------------------------------------------------------------------------------------------
# The hostile robot: where its payloads put lengths and values, its mutations, its counts

_FORMATS = {"bool": "<?", "i16": "<h", "u16": "<H", "i32": "<i", "u32": "<I", "f32": "<f"}


def _leb128(data: bytes) -> int:
    return sum((byte & 0x7F) << (7 * i) for i, byte in enumerate(data))


@pytest.mark.parametrize("cls", [AllBasicStreamData, AllExtraStreamData, RPCReply])
def test_wire_layout_points_at_every_length_and_value(cls) -> None:
    rng = random.Random("layout/" + cls.__name__)
    for _ in range(5):
        record = _random_record(cls, rng)
        payload = encode(record)
        lengths, values = sim_messages.wire_layout(record)
        items = sim_messages.flatten(record)
        assert [_leb128(payload[at:at + size]) for at, size in lengths] == [
            v if token == "len" else len(v) for token, v in items if token in ("len", "str")]
        expected = [(token, struct.pack(_FORMATS[token], v)) for token, v in items
                    if token not in ("len", "str")]
        assert [(token, payload[at:at + len(b)]) for (at, token, _), (_, b)
                in zip(values, expected)] == expected
    if cls is AllBasicStreamData:
        groups = [top for _, _, top in values].count("joint_group_indices")
        assert groups == len(record.joint_group_indices)


def test_hostile_mutations_are_all_made_and_follow_the_seed() -> None:
    source = SampleSource(Robot("dual-arm").basic(2.0, T0_NS))
    good = source.payload

    def draws(seed: int) -> list[tuple[str, bytes]]:
        rng = random.Random(seed)
        return [mutate_sample(rng, source) for _ in range(400)]

    samples = draws(7)
    assert samples == draws(7) and samples != draws(8)
    assert {kind for kind, _ in samples} == set(SAMPLE_MUTATIONS)
    huge = {length_prefix(n) for n in HUGE_COUNTS}
    for kind, bad in samples:
        assert bad != good, kind
        if kind in ("huge-count", "over-long-count"):
            # One length prefix of the message, replaced by what no payload can hold.
            counts = huge if kind == "huge-count" else set(OVER_LONG_COUNTS)
            assert any(good[:at] == bad[:at] and good[at + size:] == bad[len(bad) - len(good)
                       + at + size:] and bad[at:len(bad) - len(good) + at + size] in counts
                       for at, size in source.lengths), kind
        if kind in DECODABLE_STREAM_FAULTS:
            assert bad == faulty_payload(kind, source.msg)
    rng = random.Random(7)
    reply = answer(Robot("dual-arm"), RPCRequest(3), "v2.1", 2.0)
    replies = [mutate_reply(rng, reply) for _ in range(400)]
    assert {kind for kind, _ in replies} == set(REPLY_MUTATIONS)
    for kind, out in replies:
        assert [ok for ok, _ in out] == {"error-reply": [False], "twice": [True, True]}.get(
            kind, [True]), kind
        assert out != [(True, encode(reply))], kind


class FakePublisher:
    def __init__(self) -> None:
        self.sent: list[bytes] = []

    def put(self, data: bytes) -> None:
        self.sent.append(bytes(data))


def test_published_counts_every_sample_put_and_mutate_spoils_the_next_n() -> None:
    robot = Robot("dual-arm")
    make = partial(robot.basic, 1.0, T0_NS)
    good = encode(make())

    def run(seed: int) -> tuple[Service, FakePublisher]:
        service, publisher = Service(Options(serial="S", seed=seed)), FakePublisher()
        service._publish("basic", publisher, make)
        service.control("pause basic")
        service._publish("basic", publisher, make)  # paused: neither sent nor counted
        service.control("resume basic")
        assert service.control("stream basic mutate 2") == "OK stream basic mutate 2"
        for _ in range(3):
            service._publish("basic", publisher, make)
        return service, publisher

    service, publisher = run(seed=5)
    assert service.control("published") == "OK published basic 4 extra 0"
    assert len(publisher.sent) == 4
    assert publisher.sent[0] == publisher.sent[3] == good
    assert good not in publisher.sent[1:3]
    counts = service.control("mutations").split()[2:]
    assert sum(int(c.split("=")[1]) for c in counts) == 2
    assert all(c.startswith("basic:") for c in counts)
    assert run(seed=5)[1].sent == publisher.sent  # the same seed spoils alike
    service.control("rpc 3 mutate")
    assert _ask(service, 3) and service.control("mutations").count("rpc:") == 1
    service.control("reset")
    assert service.control("published") == "OK published basic 0 extra 0"
    assert service.control("mutations") == "OK mutations"


# ------------------------------------------------------------------------------------------------
# Control commands (parsed without a network)


@pytest.mark.parametrize("command", [
    "", "jump", "ping now", "pause", "pause both", "stream basic", "stream basic melt",
    "stream basic empty 0", "stream basic empty x", "stream basic none 3", "rpc", "rpc 1",
    "rpc 1 explode", "rpc 70000 normal", "rpc 1,x normal", "rpc 1 payload", "rpc 1 payload zz",
    "rpc 1 delay", "rpc 1 delay -5", "rpc 1 error-reply 00 01", "rpc 1 twice 00", "reset now",
])
def test_malformed_commands_are_refused_and_change_nothing(command) -> None:
    service = Service(Options(serial="S"))
    before = (dict(service._rules), service._default_rule, dict(service._stream_faults),
              set(service._paused))
    answer_line = service.control(command)
    assert answer_line.startswith("ERR " + " ".join(command.split()) + ":")
    assert before == (service._rules, service._default_rule, service._stream_faults,
                      service._paused)


def test_control_answers_one_line_per_command() -> None:
    service = Service(Options(serial="S"))
    out = io.StringIO()
    service.serve_control(["ping\n", "\n", "  stream   all  cut 2 \n", "bogus\n"], out)
    lines = out.getvalue().splitlines()
    assert lines[:2] == ["OK ping", "OK stream all cut 2"]
    assert lines[2].startswith("ERR bogus:") and len(lines) == 3


# ------------------------------------------------------------------------------------------------
# The control channel against a running robot (one robot per module: a session takes time)


@pytest.fixture(scope="module")
def robot(netns, tmp_path_factory):
    robot = start_controlled_sim(tmp_path_factory.mktemp("sim"), args=["--rate", "200"])
    yield robot
    robot.stop()
    check_sim_stderr([robot])


@pytest.fixture
def live(robot, zsession):
    """The module's robot, reset, with its queryable known to the test's session."""
    robot.command("reset")
    assert ok_reply(rpc(zsession, robot.key("rpc"), RPCRequest(0))) == RPCReply(0, False)
    yield robot
    robot.command("reset")


NONE = zenoh.QueryConsolidation(zenoh.ConsolidationMode.NONE)


def get(session: zenoh.Session, key: str, request_id: int, timeout: float = 2.0,
        consolidation: zenoh.QueryConsolidation | None = NONE) -> tuple[list, float]:
    """Replies as ``(ok, bytes)`` pairs, and the seconds the get took."""
    started = time.monotonic()
    options = {} if consolidation is None else {"consolidation": consolidation}
    replies = list(session.get(key, payload=encode(RPCRequest(request_id)), timeout=timeout,
                               **options))
    out = [(True, r.ok.payload.to_bytes()) if r.ok is not None else (False, r.err.payload.to_bytes())
           for r in replies]
    return out, time.monotonic() - started


VERSION = encode(RPCReply(1, True, string_container=[b"v2.1"]))
RPC_CASES = [
    # command for request 1, replies seen with consolidation NONE, (least, most) seconds
    ("normal", [(True, VERSION)], (0, 1.5)),
    ("error-reply", [(False, VERSION)], (0, 1.5)),
    ("error-reply 0badc0de", [(False, bytes.fromhex("0badc0de"))], (0, 1.5)),
    ("trailing-byte", [(True, VERSION + b"\x00")], (0, 1.5)),
    ("truncated", [(True, VERSION[:-1])], (0, 1.5)),
    ("undecodable", [(True, VERSION[:-2])], (0, 1.5)),  # float and float2d containers missing
    ("wrong-id", [(True, encode(RPCReply(2, True, string_container=[b"v2.1"])))], (0, 1.5)),
    ("flip-success", [(True, encode(RPCReply(1, False, string_container=[b"v2.1"])))], (0, 1.5)),
    ("payload 0100 ff", [(True, b"\x01\x00"), (True, b"\xff")], (0, 1.5)),
    ("twice", [(True, VERSION), (True, VERSION)], (0, 1.5)),
    ("no-reply", [], (0, 1.5)),
    ("delay 400", [(True, VERSION)], (0.38, 1.9)),
]


@pytest.mark.network
@pytest.mark.parametrize("command,expected,seconds", RPC_CASES, ids=[c[0] for c in RPC_CASES])
def test_rpc_behaviour_is_what_a_get_receives(live, zsession, command, expected, seconds) -> None:
    live.command(f"rpc 1 {command}")
    replies, took = get(zsession, live.key("rpc"), 1)
    assert replies == expected
    for ok, payload in replies:
        if ok and command in ("trailing-byte", "truncated", "undecodable"):
            with pytest.raises(DecodeError):
                decode(RPCReply, payload)
    assert seconds[0] <= took < seconds[1]
    # Other request ids keep their correct answer.
    assert get(zsession, live.key("rpc"), 0)[0] == [(True, encode(RPCReply(0, False)))]


@pytest.mark.network
@pytest.mark.parametrize("command", ["hang", "delay 1500"])
def test_rpc_answer_can_miss_the_callers_time_out(live, zsession, command) -> None:
    live.command(f"rpc 1 {command}")
    replies, took = get(zsession, live.key("rpc"), 1, timeout=0.5)
    assert 0.45 <= took < 1.4
    assert all(not ok for ok, _ in replies)  # at most Zenoh's own time-out error


@pytest.mark.network
@pytest.mark.parametrize("command,seen", [
    ("twice", [(True, VERSION)]),
    ("payload 0100 ff", [(True, b"\xff")]),
    ("payload 0100 ff 0200", [(True, b"\x02\x00")]),
])
def test_default_consolidation_keeps_only_the_last_reply(live, zsession, command, seen) -> None:
    live.command(f"rpc 1 {command}")
    assert get(zsession, live.key("rpc"), 1, consolidation=None)[0] == seen


@pytest.mark.network
def test_rpc_rules_per_id_and_for_all(live, zsession) -> None:
    key = live.key("rpc")
    ping, version = [(True, encode(RPCReply(0, False)))], [(True, VERSION)]
    live.command("rpc 0,1 no-reply")
    assert (get(zsession, key, 0)[0], get(zsession, key, 1)[0]) == ([], [])
    live.command("rpc 0 normal")
    assert (get(zsession, key, 0)[0], get(zsession, key, 1)[0]) == (ping, [])
    live.command("rpc all no-reply")  # replaces the per-id rules too
    assert (get(zsession, key, 0)[0], get(zsession, key, 7)[0]) == ([], [])
    live.command("rpc 1 normal")
    assert (get(zsession, key, 1)[0], get(zsession, key, 0)[0]) == (version, [])
    live.command("reset")
    assert (get(zsession, key, 0)[0], get(zsession, key, 1)[0]) == (ping, version)


# Samples put before a command's acknowledgement may still be on their way for this long.
IN_FLIGHT = 0.15


class Samples:
    """Collects the payloads of one stream with their arrival times."""

    def __init__(self, session: zenoh.Session, key: str) -> None:
        self.items: list[tuple[float, bytes]] = []
        self._cv = threading.Condition()
        self._sub = session.declare_subscriber(key, self._on_sample)

    def _on_sample(self, sample: zenoh.Sample) -> None:
        with self._cv:
            self.items.append((time.monotonic(), sample.payload.to_bytes()))
            self._cv.notify_all()

    def wait_for(self, predicate, timeout: float = 10.0) -> list[bytes]:
        with self._cv:
            assert self._cv.wait_for(lambda: predicate([p for _, p in self.items]), timeout), (
                f"{len(self.items)} samples")
            return [p for _, p in self.items]

    def since(self, t: float) -> list[bytes]:
        with self._cv:
            return [p for at, p in self.items if at >= t]

    def close(self) -> None:
        self._sub.undeclare()


@pytest.fixture
def streams(live, zsession):
    collectors = {s: Samples(zsession, live.key(s)) for s in ("basic", "extra")}
    yield collectors
    for c in collectors.values():
        c.close()


def _decodes(cls, payload: bytes) -> bool:
    try:
        decode(cls, payload)
    except DecodeError:
        return False
    return True


@pytest.mark.network
@pytest.mark.parametrize("stream,cls", [("basic", AllBasicStreamData),
                                        ("extra", AllExtraStreamData)])
@pytest.mark.parametrize("fault", sorted(STREAM_FAULT_CASES))
def test_stream_fault_spoils_exactly_the_next_n_samples(live, streams, stream, cls,
                                                        fault) -> None:
    samples = streams[stream]
    samples.wait_for(lambda got: len(got) >= 3)
    live.command(f"stream {stream} {fault} 3")
    got = samples.wait_for(lambda got: sum(not _decodes(cls, p) for p in got) >= 3
                           and _decodes(cls, got[-1]) and len(got) >= 20)
    bad = [i for i, p in enumerate(got) if not _decodes(cls, p)]
    assert bad == list(range(bad[0], bad[0] + 3))  # three in a row, then good ones again
    template = decode(cls, got[bad[0] - 1])
    _, failure = STREAM_FAULT_CASES[fault]
    for i in bad:
        with pytest.raises(DecodeError, match=failure):
            decode(cls, got[i])
        if fault != "trailing-byte":  # the others are checked against a good sample's layout
            assert len(got[i]) == len(faulty_payload(fault, template))
        else:
            assert got[i][-1] == 0 and _decodes(cls, got[i][:-1])
    other = streams["extra" if stream == "basic" else "basic"]
    other_cls = AllExtraStreamData if stream == "basic" else AllBasicStreamData
    assert all(_decodes(other_cls, p) for p in other.wait_for(lambda got: len(got) >= 3))


@pytest.mark.network
def test_stream_fault_lasts_until_cleared(live, streams) -> None:
    live.command("stream basic empty")
    acked = time.monotonic()
    time.sleep(0.5)  # a fault without a count must outlast many samples
    assert len([p for p in streams["basic"].since(acked + IN_FLIGHT) if p == b""]) >= 20
    assert all(p == b"" for p in streams["basic"].since(acked + IN_FLIGHT))
    live.command("stream basic none")
    cleared = time.monotonic()
    streams["basic"].wait_for(lambda got: _decodes(AllBasicStreamData, got[-1]))
    time.sleep(IN_FLIGHT + 0.1)
    assert all(p != b"" for p in streams["basic"].since(cleared + IN_FLIGHT))


@pytest.mark.network
@pytest.mark.parametrize("stream", ["basic", "extra"])
def test_paused_stream_goes_quiet_and_resumes(live, streams, stream) -> None:
    other = "extra" if stream == "basic" else "basic"
    live.command(f"pause {stream}")
    paused = time.monotonic()
    time.sleep(0.6)
    assert streams[stream].since(paused + IN_FLIGHT) == []
    assert len(streams[other].since(paused + IN_FLIGHT)) >= 20  # the other stream keeps going
    live.command(f"resume {stream}")
    resumed = time.monotonic()
    streams[stream].wait_for(lambda got: len(streams[stream].since(resumed)) >= 5)


@pytest.mark.network
def test_reset_restores_normal_behaviour(live, streams, zsession) -> None:
    for command in ("pause extra", "stream basic huge-count", "rpc all hang", "rpc 0 twice"):
        live.command(command)
    live.command("reset")
    reset = time.monotonic()
    assert get(zsession, live.key("rpc"), 1)[0] == [(True, VERSION)]
    assert get(zsession, live.key("rpc"), 0)[0] == [(True, encode(RPCReply(0, False)))]
    for name, cls in (("basic", AllBasicStreamData), ("extra", AllExtraStreamData)):
        streams[name].wait_for(lambda got, n=name: len(streams[n].since(reset + IN_FLIGHT)) >= 5)
        assert all(_decodes(cls, p) for p in streams[name].since(reset + IN_FLIGHT))


@pytest.mark.network
def test_reset_returns_to_the_command_line_faults(controlled_sim, zsession) -> None:
    robot = controlled_sim(args=["--fault", "flip-success", "--fault-on", "1"])
    key = robot.key("rpc")
    assert ok_reply(rpc(zsession, key, RPCRequest(0))) == RPCReply(0, False)
    flipped = [(True, encode(RPCReply(1, False, string_container=[b"v2.1"])))]
    assert get(zsession, key, 1)[0] == flipped
    robot.command("rpc 1 normal")
    assert get(zsession, key, 1)[0] == [(True, VERSION)]
    robot.command("reset")
    assert get(zsession, key, 1)[0] == flipped


@pytest.mark.network
def test_custom_robot_from_the_command_line(controlled_sim, zsession) -> None:
    robot = controlled_sim(args=["--groups", "ARM_1:6,EXT_AXIS:3"])
    reply = ok_reply(rpc(zsession, robot.key("rpc"), RPCRequest(10, [0, 2, 3, 4, 5])))
    assert (reply.joint_groups, reply.int_container, reply.float_container) == (
        [0, 3, 5], [0, 0, 6], [9.0, 6.0, 3.0])
    samples = Samples(zsession, robot.key("basic"))
    try:
        got = samples.wait_for(lambda got: len(got) >= 1)
    finally:
        samples.close()
    assert len(decode(AllBasicStreamData, got[0]).joint_data.tau) == 9


@pytest.mark.network
def test_robot_without_streams_answers_queries_and_publishes_nothing(controlled_sim,
                                                                    zsession) -> None:
    # Beside a publisher of its own streams (the benchmark's), for a robot of 56 joints.
    assert parse_args(["--serial", "S"]).streams
    robot = controlled_sim(args=["--no-streams", "--rate", "1000",
                                 "--groups", "ARM_1:24,ARM_2:24,EXT_AXIS:8"])
    samples = Samples(zsession, robot.key("basic"))
    try:
        reply = ok_reply(rpc(zsession, robot.key("rpc"), RPCRequest(10, [0, 2, 3, 4, 5])))
        assert (reply.joint_groups, reply.int_container, reply.float_container) == (
            [0, 2, 3, 4, 5], [0, 0, 0, 24, 48], [56.0, 48.0, 24.0, 24.0, 8.0])
        assert ok_reply(rpc(zsession, robot.key("rpc"), RPCRequest(1))).string_container == [
            b"v2.1"]
        assert robot.control("published") == "OK published basic 0 extra 0"
        assert samples.items == []
    finally:
        samples.close()


# ------------------------------------------------------------------------------------------------
# Primitive states, plan info and manipulability: the robot's answers follow its motion

import re  # noqa: E402

from korvantyr_sim.robot import PRIMITIVE_PERIOD, PRIMITIVES  # noqa: E402


def _typed(value: str) -> type:
    """How the client types a value text by its first word: integer, double or string."""
    word = (value.split() or [""])[0]
    if re.fullmatch(r"-?[0-9]+", word):
        return int
    try:
        float(word)
    except ValueError:
        return str
    return float


@pytest.mark.parametrize("preset", ["dual-arm", "single-arm", "ARM_1:6,EXT_AXIS:3"])
@pytest.mark.parametrize("t", [0.0, 5.3, 15.9, 123.4])
def test_primitive_states_are_one_block_per_group_in_the_text_protocol(preset, t) -> None:
    robot = Robot(PRESETS.get(preset) or custom_preset(preset))
    reply = answer(robot, RPCRequest(3), "v2.1", t)
    assert reply.success and reply.request_id == 3
    entries = [e.decode() for e in reply.string_container]
    assert all(entries)  # an empty string would make the client ask again
    blocks: dict[int, dict[str, str]] = {}
    for entry in entries:
        name, sep, value = entry.partition(" = ")
        assert sep and name and " " not in name and value.strip() == value and value, entry
        if entry.startswith("jointGroup"):
            current = int(value)
            assert current not in blocks
            blocks[current] = {}
        blocks[current][name] = value
    assert list(blocks) == robot.group_numbers
    index = int(t // PRIMITIVE_PERIOD)
    for number, block in blocks.items():
        assert block["jointGroup"] == str(number)
        assert block["primitiveName"] == PRIMITIVES[index % len(PRIMITIVES)]
        types = {name: _typed(value) for name, value in block.items()}
        assert types["primitiveName"] is str and types["jointGroup"] is int
        assert {int, float, str} <= set(types.values())


@pytest.mark.parametrize("t", [0.0, 4.2, 9.9, 14.5, 1000.1])
def test_plan_info_is_eight_texts_about_the_running_primitive(t) -> None:
    robot = Robot()
    reply = answer(robot, RPCRequest(4), "v2.1", t)
    texts = [s.decode() for s in reply.string_container]
    assert reply.success and len(texts) == 8
    pt_name, node, path, period, number, plan, scale, waiting = texts
    assert pt_name == robot.primitive(t)[1] == PRIMITIVES[int(t // PRIMITIVE_PERIOD) % 4]
    assert node == pt_name + number and path.endswith("/" + node) and plan == "PickAndPlace"
    assert 0.0 <= float(period) < PRIMITIVE_PERIOD
    assert 0.5 <= float(scale) <= 1.0
    assert waiting == ("1" if pt_name == "Hold" else "0")


@pytest.mark.parametrize("preset", ["dual-arm", "single-arm", "EXT_AXIS:1"])
def test_manipulability_is_a_packed_vector_per_group_that_follows_the_joints(preset) -> None:
    robot = Robot(PRESETS.get(preset) or custom_preset(preset))
    seen = []
    for step in range(50):
        reply = answer(robot, RPCRequest(9), "v2.1", step * 0.5)
        assert reply.success and reply.joint_groups == robot.group_numbers
        assert len(reply.float2d_container) == len(reply.joint_groups)
        for packed in reply.float2d_container:
            assert len(packed) >= 8
            assert 0.0 <= packed[4] <= 0.3 and 0.0 <= packed[7] <= 0.8  # the two scored values
        seen.append(tuple(round(p[4], 4) for p in reply.float2d_container))
    assert len(set(seen)) > 40
    # Same joint positions, same values: the answer is a function of the motion.
    assert answer(robot, RPCRequest(9), "v2.1", 3.0) == answer(robot, RPCRequest(9), "v2.1", 3.0)


@pytest.mark.network
def test_sim_answers_the_interpreted_procedures(sim, zsession) -> None:
    robot = sim()
    key = robot.key("rpc")
    assert ok_reply(rpc(zsession, key, RPCRequest(0))) == RPCReply(0, False)
    states = ok_reply(rpc(zsession, key, RPCRequest(3)))
    assert states.success and states.string_container[0] == b"jointGroup = 0"
    plan = ok_reply(rpc(zsession, key, RPCRequest(4)))
    assert plan.success and len(plan.string_container) == 8
    assert plan.string_container[0].decode() in PRIMITIVES
    first = ok_reply(rpc(zsession, key, RPCRequest(9)))
    assert first.success and first.joint_groups == [0, 2, 3, 4, 5]
    deadline = time.monotonic() + 5.0
    while (later := ok_reply(rpc(zsession, key, RPCRequest(9)))) == first:
        assert time.monotonic() < deadline, "manipulability never changed"
    assert later.joint_groups == first.joint_groups


@pytest.mark.network
@pytest.mark.parametrize("request_id", [3, 4, 9])
def test_interpreted_procedures_misbehave_on_request(live, zsession, request_id) -> None:
    key = live.key("rpc")
    good = get(zsession, key, request_id)[0]
    assert len(good) == 1 and decode(RPCReply, good[0][1]).success
    live.command(f"rpc {request_id} flip-success")
    assert decode(RPCReply, get(zsession, key, request_id)[0][0][1]).success is False
    live.command(f"rpc {request_id} wrong-id")
    assert decode(RPCReply, get(zsession, key, request_id)[0][0][1]).request_id == request_id + 1
    corrupted = encode(RPCReply(request_id, True, string_container=[b"jointGroup = 3", b""]))
    live.command(f"rpc {request_id} payload {corrupted.hex()}")
    assert get(zsession, key, request_id)[0] == [(True, corrupted)]


# ------------------------------------------------------------------------------------------------
# Counted RPC rules ("times N") and the query count, driven through the query handler directly


class FakeQuery:
    """Stands in for a Zenoh query: records the replies the service sends."""

    def __init__(self, request_id: int) -> None:
        self.payload = zenoh.ZBytes(encode(RPCRequest(request_id)))
        self.sent: list[tuple[bool, bytes]] = []
        self.dropped = False

    def reply(self, _key, data: bytes, encoding=None) -> None:
        self.sent.append((True, bytes(data)))

    def reply_err(self, data: bytes, encoding=None) -> None:
        self.sent.append((False, bytes(data)))

    def drop(self) -> None:
        self.dropped = True


def _ask(service: Service, request_id: int) -> list[tuple[bool, bytes]]:
    query = FakeQuery(request_id)
    service._handle(query)
    return query.sent


PING_OK = [(True, encode(RPCReply(0, False)))]
BAD = bytes.fromhex("0badc0de")


def test_counted_rule_applies_to_the_next_n_queries_of_each_id() -> None:
    service = Service(Options(serial="S"))
    assert service.control("rpc 0,1 payload 0badc0de times 2") == (
        "OK rpc 0,1 payload 0badc0de times 2")
    assert [_ask(service, 0) for _ in range(3)] == [[(True, BAD)], [(True, BAD)], PING_OK]
    assert _ask(service, 1) == [(True, BAD)]  # each id has its own N
    assert _ask(service, 7) == [(True, encode(RPCReply(7, False)))]  # other ids untouched
    assert [_ask(service, 1) for _ in range(2)] == [[(True, BAD)], [(True, VERSION)]]
    assert service.control("count 0") == "OK count 0 3"
    assert service.control("count 1") == "OK count 1 3"
    assert service.control("count 1 3") == "OK count 1 3"
    assert service.control("count 1 2") == "ERR count 1 2: received 3"
    assert service.control("count 9 0") == "OK count 9 0"


def test_counted_rule_gives_way_to_the_standing_rule_under_it() -> None:
    service = Service(Options(serial="S"))
    service.control("rpc 0 no-reply")
    service.control("rpc 0 payload 0badc0de times 1")
    assert (_ask(service, 0), _ask(service, 0)) == ([(True, BAD)], [])
    # A later command for the id replaces what is pending.
    service.control("rpc 0 payload 0badc0de times 5")
    service.control("rpc 0 normal")
    assert _ask(service, 0) == PING_OK
    # "all" counts per id and leaves the per-id rules underneath; a per-id command ends it there.
    service.control("rpc 1 flip-success")
    service.control("rpc all payload 0badc0de times 2")
    service.control("rpc 7 normal")
    flipped = [(True, encode(RPCReply(1, False, string_container=[b"v2.1"])))]
    assert [_ask(service, 1) for _ in range(3)] == [[(True, BAD)], [(True, BAD)], flipped]
    assert [_ask(service, 0) for _ in range(3)] == [[(True, BAD)], [(True, BAD)], PING_OK]
    assert _ask(service, 7) == [(True, encode(RPCReply(7, False)))]
    # A standing "all" rule ends every counted one.
    service.control("rpc 0 payload 0badc0de times 3")
    service.control("rpc all normal")
    assert _ask(service, 0) == PING_OK


def test_reset_clears_counted_rules_and_counts() -> None:
    service = Service(Options(serial="S", fault="no-reply", fault_on=frozenset({1})))
    service.control("rpc all hang times 2")
    service.control("rpc 1 payload 0badc0de times 3")
    assert _ask(service, 1) == [(True, BAD)]
    assert _ask(service, 0) == [] and len(service._held) == 1  # held, counted all the same
    service.control("reset")
    assert service.control("count 1") == "OK count 1 0"
    assert service.control("count 0") == "OK count 0 0"
    assert (_ask(service, 1), _ask(service, 0)) == ([], PING_OK)  # the command-line fault again
    assert service.control("count 1") == "OK count 1 1"


def test_undecodable_requests_are_not_counted() -> None:
    service = Service(Options(serial="S"))
    query = FakeQuery(0)
    query.payload = zenoh.ZBytes(b"\x00")
    service._handle(query)
    assert query.sent[0][0] is False
    assert service.control("count 0") == "OK count 0 0"


@pytest.mark.parametrize("command", [
    "rpc 1 normal times", "rpc 1 normal times 0", "rpc 1 normal times x", "rpc 1 times 2",
    "rpc 1 payload times 2", "rpc 1 delay 5 times", "rpc 1 twice times 2 3", "count",
    "count all", "count 1,2", "count x", "count 1 -1", "count 1 x", "count 1 2 3",
])
def test_malformed_counted_and_count_commands_are_refused(command) -> None:
    service = Service(Options(serial="S"))
    service.control("rpc 3 payload 0badc0de times 2")
    before = (dict(service._rules), service._default_rule, dict(service._counted),
              service._counted_all)
    assert service.control(command).startswith("ERR " + command + ":")
    assert before == (service._rules, service._default_rule, service._counted,
                      service._counted_all)


@pytest.mark.network
def test_counted_rule_and_count_over_zenoh(live, zsession) -> None:
    key = live.key("rpc")
    corrupted = encode(RPCReply(3, True, string_container=[b"jointGroup = 3", b""]))
    live.command(f"rpc 3 payload {corrupted.hex()} times 2")
    got = [get(zsession, key, 3)[0] for _ in range(3)]
    assert got[:2] == [[(True, corrupted)]] * 2
    assert decode(RPCReply, got[2][0][1]).string_container[0] == b"jointGroup = 0"
    live.command("count 3 3")
    assert live.control("count 0") == "OK count 0 1"  # the fixture's probe
    live.command("reset")
    live.command("count 3 0")
