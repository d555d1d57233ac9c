"""The benchmark's pure-Python client (bench/pyclient.py) reads what the simulated robot writes: if
its decoder or its segmentation were wrong, the benchmark's check against korvantyr would fail
only at run time, as root, minutes into a run."""

from __future__ import annotations

import math
import struct
import sys
from dataclasses import replace
from pathlib import Path

import pytest

from korvantyr_sim import PRESETS, RPCReply, RPCRequest, Robot, custom_preset, encode

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import pyclient  # noqa: E402

JOINTS = ("q", "theta", "dq", "dtheta", "tau", "tau_dot", "tau_ext", "tau_interact",
          "temperature")
ROBOTS = ["dual-arm", "single-arm", "ARM_1:24,ARM_2:24,EXT_AXIS:8"]


def f32(values):
    return [struct.unpack("<f", struct.pack("<f", v))[0] for v in values]


def robot(name: str) -> Robot:
    return Robot(PRESETS[name] if name in PRESETS else custom_preset(name))


@pytest.mark.parametrize("name", ROBOTS)
@pytest.mark.parametrize("t", [0.0, 7.3, 123.4])
def test_decoders_read_what_the_robot_writes(name: str, t: float) -> None:
    r = robot(name)
    msg = r.basic(t, 1_700_000_000_123_456_789)
    got = pyclient.decode_basic(encode(msg))
    io = msg.safety_io
    assert (got.estop_released, got.enabling_device_on) == (io.estop_released,
                                                            io.enabling_device_on)
    assert list(got.digital_inputs) == io.digital_inputs
    assert list(got.digital_outputs) == io.digital_outputs
    assert list(got.joint_group_indices) == msg.joint_group_indices
    assert [list(v) for v in got.joints] == [f32(getattr(msg.joint_data, n)) for n in JOINTS]
    assert got.timestamp == (msg.timestamp_sec, msg.timestamp_nsec)
    states = pyclient.segment_states(got, [], {})
    for number, cart in zip(msg.joint_group_indices, msg.cartesian_data):
        s = states[number]
        for field in ("flange_pose", "tcp_pose", "tcp_twist", "tcp_wrench_local",
                      "raw_tcp_wrench_local", "raw_ft_sensor"):
            assert getattr(s, field) == f32(getattr(cart, field)), field

    extra = r.extra(t)
    got = pyclient.decode_extra(encode(extra))
    assert [list(v) for v in got.joints] == [
        f32(getattr(extra.desired_joint_data, n)) for n in ("q_d", "dq_d", "tau_d")]
    actions = pyclient.segment_actions((1, 2), got, [], {})
    for number, cart in zip(extra.joint_group_indices, extra.cartesian_data):
        a = actions[number]
        assert (a.tcp_pose_d, a.tcp_twist_d, a.tcp_wrench_d) == (
            f32(cart.tcp_pose_d), f32(cart.tcp_twist_d), f32(cart.tcp_wrench_d))


def test_decoders_refuse_payloads_that_do_not_hold_the_message() -> None:
    good = encode(Robot("dual-arm").basic(1.0, 5))
    for bad in (good + b"\x00", good[:-1], good[:200], b"",
                good[:6 + 1 + 8] + b"\x10" + good[6 + 1 + 8 + 1:]):  # digital_inputs of 16
        with pytest.raises(pyclient.DecodeError):
            pyclient.decode_basic(bad)
    extra = encode(Robot("dual-arm").extra(1.0))
    for bad in (extra + b"\x00", extra[:-1]):
        with pytest.raises(pyclient.DecodeError):
            pyclient.decode_extra(bad)


def test_slices_follow_the_start_ids_and_dofs() -> None:
    msg = pyclient.decode_basic(encode(Robot("dual-arm").basic(2.0, 5)))
    ranges = {pyclient.JointGroup.ARM_1: (0, 7), pyclient.JointGroup.ARM_2: (7, 7),
              pyclient.JointGroup.EXT_AXIS: (14, 0)}
    states = pyclient.segment_states(msg, sorted(ranges), ranges)
    assert states[3].q == list(msg.joints[0][:7]) and states[4].q == list(msg.joints[0][7:14])
    assert states[5].q == [] and states[3].timestamp == msg.timestamp
    # A slice past the end (or a negative start read as unsigned) empties the whole answer.
    assert pyclient.segment_states(msg, [3], {3: (10, 7)}) == {}
    assert pyclient.segment_states(msg, [3], {3: (0xFFFFFFFF, 7)}) == {}
    assert pyclient.segment_states(msg, [3], {}) == {}


@pytest.mark.parametrize("quaternion,local,world", [
    ((1.0, 0.0, 0.0, 0.0), (1, 2, 3, 4, 5, 6), (1, 2, 3, 4, 5, 6)),
    ((0.0, 0.0, 0.0, 1.0), (1, 2, 3, 0, 0, 0), (-1, -2, 3, 0, 0, 0)),
    ((math.sqrt(0.5), 0.0, 0.0, math.sqrt(0.5)), (1, 0, 0, 0, 1, 0), (0, 1, 0, -1, 0, 0)),
    ((2.0, 0.0, 0.0, 0.0), (1, 2, 3, 4, 5, 6), (1, 2, 3, 4, 5, 6)),
    ((0.0, 0.0, 0.0, 0.0), (1, 2, 3, 4, 5, 6), (1, 2, 3, 4, 5, 6)),
])
def test_wrenches_turn_into_the_world_frame(quaternion, local, world) -> None:
    got = pyclient._world(*quaternion, tuple(float(v) for v in local))
    assert got == pytest.approx(world, abs=1e-6)


def test_timestamp_keeps_the_unsigned_integer_as_signed_32_bits() -> None:
    msg = Robot("dual-arm").basic(1.0, 0)
    msg = replace(msg, timestamp_sec=-3, timestamp_nsec=0xFFFFFFFF)
    decoded = pyclient.decode_basic(encode(msg))
    states = pyclient.segment_states(decoded, [pyclient.JointGroup.ALL], {0: (0, 16)})
    assert states[0].timestamp == (-3, -1)
    assert pyclient.segment_states(decoded, [], {})[0].timestamp == (0, 0)  # Cartesian only


def test_remote_call_messages_match_the_robots() -> None:
    assert pyclient.encode_request(10, [0, 2, 3, 4, 5]) == encode(RPCRequest(10, [0, 2, 3, 4, 5]))
    reply = RPCReply(4, True, [0, 3], [-1, 7], [b"MoveJ", b"", "\u00e9".encode()], [1.5],
                     [[1.0, 2.0], []])
    got = pyclient.decode_reply(encode(reply))
    assert got == (4, True, (0, 3), (-1, 7), (b"MoveJ", b"", b"\xc3\xa9"), (1.5,),
                   ((1.0, 2.0), ()))
    with pytest.raises(pyclient.DecodeError):
        pyclient.decode_reply(encode(reply) + b"\x00")


def test_plan_info_converts_as_the_standard_conversions_do() -> None:
    texts = [b"P", b"N", b"/a/b", b"12.5", b"3", b"Plan", b" 0.8x", b" 1 "]
    info = pyclient.plan_info_from(texts)
    assert (info.pt_name, info.node_path, info.node_path_time_period, info.velocity_scale,
            info.waiting_for_step) == ("P", "/a/b", "12.5", 0.8, True)
    assert pyclient.plan_info_from(texts[:7]) is None
    assert pyclient.plan_info_from(texts[:6] + [b"abc", b"1"]) is None
    assert pyclient.plan_info_from(texts[:7] + [b"true"]) is None
    assert pyclient.plan_info_from(texts[:7] + [b"-1"]).waiting_for_step is True


def test_groups_are_named_as_the_library_names_them() -> None:
    msg = pyclient.decode_basic(encode(Robot("dual-arm").basic(1.0, 0)))
    names = pyclient.group_names(msg)
    assert names == {pyclient.JointGroup(n): pyclient.JointGroup(n).name for n in (0, 2, 3, 4, 5)}
    assert pyclient.group_names(msg._replace(joint_group_indices=(3, 9))) == {}
    with pytest.raises(IndexError):
        pyclient.group_names(msg._replace(joint_group_indices=(1,)))
