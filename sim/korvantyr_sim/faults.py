"""Payloads made wrong on purpose, and the replies of a robot that misbehaves.

Stream faults (``STREAM_FAULTS``) spoil one sample's message; each has one exact shape so that
tests can check it. The first ones make bytes that a strict reader must refuse (a client keeps its
previous message):

* ``trailing-byte``: the good payload followed by one byte 0x00;
* ``cut``: the payload cut inside the first robot-wide joint vector (``q`` of the basic message,
  ``q_d`` of the extra one): its length and the first half of its floats (``n // 2``), nothing after;
* ``wrong-array``: a fixed array of the wrong length: the basic message's ``digital_inputs`` with
  16 elements instead of 20, the extra message's first ``tcp_pose_d`` with 6 instead of 7;
* ``empty``: a payload of no bytes;
* ``huge-count``: the first joint vector announces ``HUGE_COUNT`` (2^40) elements; every byte after
  its length is left as it was.

The others (``DECODABLE_STREAM_FAULTS``) make a well-formed message that no longer fits the
robot's joint groups; it decodes, and a client takes it as the latest message:

* ``unnamed-group``: the last ``joint_group_indices`` entry becomes ``UNNAMED_GROUP`` (1, a number
  in the groups' range that names no group);
* ``unknown-group``: the last ``joint_group_indices`` entry becomes ``UNKNOWN_GROUP`` (7, above
  the highest group, 5);
* ``short-joints``: every robot-wide joint vector one element short: each field of ``joint_data``
  (the two auxiliary triple vectors too) or of ``desired_joint_data`` loses its last element, so
  the groups that reach the last joint no longer fit;
* ``short-cartesian``: the last ``cartesian_data`` record left out, one fewer than
  ``joint_group_indices`` has entries.

Everything else in the message stays as it was.

RPC behaviours (``RPC_BEHAVIOURS``) decide what a query is answered with; ``replies`` gives the
replies (in order) of those that answer at all; ``no-reply``, ``hang`` and ``mutate`` are handled by
the service.
"""

from __future__ import annotations

import copy
from dataclasses import dataclass
from typing import Any

from .messages import (
    AllBasicStreamData,
    AllExtraStreamData,
    RPCReply,
    encode,
    field_offset,
    length_prefix,
)

DECODABLE_STREAM_FAULTS = ("unnamed-group", "unknown-group", "short-joints", "short-cartesian")
STREAM_FAULTS = ("trailing-byte", "cut", "wrong-array", "empty", "huge-count",
                 *DECODABLE_STREAM_FAULTS)
HUGE_COUNT = 1 << 40
WRONG_INPUTS = 16  # digital_inputs in a wrong-array basic sample
WRONG_POSE = 6  # the first tcp_pose_d in a wrong-array extra sample
UNNAMED_GROUP = 1  # the last group number of an unnamed-group sample
UNKNOWN_GROUP = 7  # the last group number of an unknown-group sample

# The first robot-wide joint vector of each stream message: (nested record, vector).
_JOINT_VECTOR = {
    AllBasicStreamData: ("joint_data", "q"),
    AllExtraStreamData: ("desired_joint_data", "q_d"),
}


def joint_vector_offset(msg: Any) -> int:
    """Byte offset of the first joint vector's length in the payload of ``msg``; the vector is the
    first field of its nested record, so the record's offset is the vector's."""
    return field_offset(msg, _JOINT_VECTOR[type(msg)][0])


def joint_vector(msg: Any) -> list[float]:
    outer, name = _JOINT_VECTOR[type(msg)]
    return getattr(getattr(msg, outer), name)


def _misfit(fault: str, msg: Any) -> Any:
    """A copy of ``msg`` changed by the decodable stream fault ``fault``."""
    bad = copy.deepcopy(msg)
    if fault in ("unnamed-group", "unknown-group"):
        if bad.joint_group_indices:
            last = UNNAMED_GROUP if fault == "unnamed-group" else UNKNOWN_GROUP
            bad.joint_group_indices[-1] = last
    elif fault == "short-joints":
        joints = getattr(bad, _JOINT_VECTOR[type(bad)][0])
        for name, _ in type(joints).FIELDS:
            setattr(joints, name, getattr(joints, name)[:-1])
    elif fault == "short-cartesian":
        bad.cartesian_data = bad.cartesian_data[:-1]
    else:
        raise ValueError(f"unknown stream fault {fault!r}")
    return bad


def faulty_payload(fault: str, msg: Any) -> bytes:
    """The payload of ``msg`` (a basic or extra message) spoilt by the stream fault ``fault``."""
    if fault in DECODABLE_STREAM_FAULTS:
        return encode(_misfit(fault, msg))
    if fault == "empty":
        return b""
    good = encode(msg)
    if fault == "trailing-byte":
        return good + b"\x00"
    offset = joint_vector_offset(msg)
    n = len(joint_vector(msg))
    head = len(length_prefix(n))
    if fault == "cut":
        return good[: offset + head + (n // 2) * 4]
    if fault == "huge-count":
        return good[:offset] + length_prefix(HUGE_COUNT) + good[offset + head :]
    if fault == "wrong-array":
        bad = copy.deepcopy(msg)
        if isinstance(bad, AllBasicStreamData):
            bad.safety_io.digital_inputs = bad.safety_io.digital_inputs[:WRONG_INPUTS]
        else:
            bad.cartesian_data[0].tcp_pose_d = bad.cartesian_data[0].tcp_pose_d[:WRONG_POSE]
        return encode(bad, strict=False)
    raise ValueError(f"unknown stream fault {fault!r}")


RPC_BEHAVIOURS = (
    "normal",  # the correct reply
    "no-reply",  # drop the query unanswered: the caller's get ends at once, empty
    "hang",  # keep the query unanswered until the service stops: the caller times out
    "error-reply",  # an error reply; payload HEX if given, else the correct reply's bytes
    "trailing-byte",  # the correct reply and one byte 0x00
    "truncated",  # the correct reply without its last byte: it does not decode
    "undecodable",  # the correct reply cut after string_container: the last two fields missing
    "wrong-id",  # the correct reply with request_id + 1
    "flip-success",  # the correct reply with success inverted
    "payload",  # one OK reply per HEX argument, exactly those bytes
    "twice",  # the correct reply, twice
    "delay",  # the correct reply, MS milliseconds late
    "mutate",  # the correct reply spoilt at random (mutate.py), drawn by the service
)

# Behaviours that take arguments: (least, most) count; None means no upper limit.
_ARITY = {"error-reply": (0, 1), "payload": (1, None), "delay": (1, 1)}


@dataclass(frozen=True)
class Rule:
    """How to answer a query: a behaviour, its payloads (``payload``, ``error-reply``) and delay."""

    behaviour: str = "normal"
    payloads: tuple[bytes, ...] = ()
    delay: float = 0.0  # seconds

    @classmethod
    def parse(cls, words: list[str]) -> Rule:
        """``["payload", "0100", ...]``, ``["delay", "2500"]``, ``["no-reply"]``...; raises
        ``ValueError`` with the reason."""
        if not words or words[0] not in RPC_BEHAVIOURS:
            raise ValueError(f"behaviour must be one of {', '.join(RPC_BEHAVIOURS)}")
        behaviour, args = words[0], words[1:]
        least, most = _ARITY.get(behaviour, (0, 0))
        if len(args) < least or (most is not None and len(args) > most):
            raise ValueError(f"{behaviour}: wrong number of arguments")
        if behaviour == "delay":
            try:
                ms = int(args[0])
            except ValueError:
                ms = -1
            if ms < 0:
                raise ValueError("delay: milliseconds must be a whole number >= 0")
            return cls(behaviour, delay=ms / 1000.0)
        try:
            payloads = tuple(bytes.fromhex(a) for a in args)
        except ValueError as exc:
            raise ValueError(f"{behaviour}: arguments must be hex") from exc
        return cls(behaviour, payloads)


def replies(rule: Rule, reply: RPCReply) -> list[tuple[bool, bytes]]:
    """The replies (``(ok, payload)``, in order) of ``rule`` for the correct ``reply``."""
    if rule.behaviour == "payload":
        return [(True, p) for p in rule.payloads]
    if rule.behaviour == "wrong-id":
        reply = copy.copy(reply)
        reply.request_id = (reply.request_id + 1) & 0xFFFF
    elif rule.behaviour == "flip-success":
        reply = copy.copy(reply)
        reply.success = not reply.success
    data = encode(reply)
    if rule.behaviour == "error-reply":
        return [(False, rule.payloads[0] if rule.payloads else data)]
    if rule.behaviour == "trailing-byte":
        return [(True, data + b"\x00")]
    if rule.behaviour == "truncated":
        return [(True, data[:-1])]
    if rule.behaviour == "undecodable":
        return [(True, data[: field_offset(reply, "float_container")])]
    if rule.behaviour == "twice":
        return [(True, data), (True, data)]
    return [(True, data)]
