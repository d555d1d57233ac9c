"""A hostile robot's payloads: random mutations of the robot's good messages.

``mutate_sample(rng, source)`` spoils one stream sample in one of the ways of
``SAMPLE_MUTATIONS``, from a ``SampleSource`` (a good message prepared once, so that thousands of
samples a second can be spoilt from it); ``mutate_reply(rng, reply)`` does the same for an RPC
reply (``REPLY_MUTATIONS``) and gives the replies to send. Both name the mutation they made, so
that a run can report how many of each it sent. The random source is the caller's: a
``random.Random`` with the same seed gives the same payloads again.

Byte mutations, of stream samples and replies alike (most do not decode):

* ``bit-flip``: 1 to 8 bits inverted at random places;
* ``insert``: 1 to 16 random bytes inserted at a random place;
* ``cut``: the payload ends at a random place before its end (possibly at 0);
* ``huge-count``: one length prefix (of a sequence, a fixed array or a string) replaced by the
  count 2^32-1, 2^60 or 2^64-1 (``HUGE_COUNTS``);
* ``over-long-count``: one length prefix replaced by a LEB128 number that no 64-bit count can be:
  eleven bytes, or ten whose value exceeds 2^64-1 (``OVER_LONG_COUNTS``);
* ``random``: random bytes, up to twice the payload's length.

Messages that decode but do not fit ("misfits"):

* stream samples: the decodable stream faults of ``faults`` (``unnamed-group``,
  ``unknown-group``, ``short-joints``, ``short-cartesian``); ``bad-numbers`` (1 to 8 floats
  replaced by NaN, an infinity or +-3.4e38); ``group-numbers`` (every joint-group number random);
* replies: ``wrong-id``, ``flip-success``, ``bad-strings`` (1 to 3 strings replaced by invalid
  UTF-8, an empty string, text without "=", numbers out of range or 64 KiB of text),
  ``bad-sizes`` (one element taken from or added to a container), ``bad-numbers`` (a reply
  without floats gets one),
  ``error-reply`` (an error reply carrying the correct bytes) and ``twice`` (two replies, each
  spoilt by a byte mutation).
"""

from __future__ import annotations

import copy
import random
import struct
from typing import Any

from .faults import DECODABLE_STREAM_FAULTS, faulty_payload
from .messages import RPCReply, encode, length_prefix, wire_layout

BYTE_MUTATIONS = ("bit-flip", "insert", "cut", "huge-count", "over-long-count", "random")
SAMPLE_MUTATIONS = (*BYTE_MUTATIONS, *DECODABLE_STREAM_FAULTS, "bad-numbers", "group-numbers")
REPLY_MUTATIONS = (*BYTE_MUTATIONS, "wrong-id", "flip-success", "bad-strings", "bad-sizes",
                   "bad-numbers", "error-reply", "twice")

HUGE_COUNTS = (2**32 - 1, 2**60, 2**64 - 1)
OVER_LONG_COUNTS = (b"\x80" * 10 + b"\x01", b"\xff" * 9 + b"\x7f")
_BAD_FLOATS = (float("nan"), float("inf"), float("-inf"), 3.4e38, -3.4e38)
_BAD_FLOAT_BYTES = tuple(struct.pack("<f", x) for x in _BAD_FLOATS)
_BAD_STRINGS = (
    b"\xff\xfe\xfd",  # not UTF-8 at all
    b"jointGroup = \xc3",  # UTF-8 cut inside a character
    b"name = \xed\xa0\x80",  # an encoded surrogate, refused by strict UTF-8
    b"",
    b"no equals sign",
    b"cycleCount = 99999999999999999999",
    b"timePeriod = 1e999",
    b"jointGroup = -2147483649",
    b"= =",
    b"\x00\x00 = \x00",
)


class SampleSource:
    """A good stream message prepared for mutation: its payload, where its lengths, floats and
    joint-group numbers lie, and its misfit payloads (each made on first use)."""

    def __init__(self, msg: Any) -> None:
        self.msg = msg
        self.payload = encode(msg)
        self.lengths, values = wire_layout(msg)
        self.floats = [at for at, token, _ in values if token == "f32"]
        self.groups = [at for at, _, top in values if top == "joint_group_indices"]
        self._misfits: dict[str, bytes] = {}

    def misfit(self, kind: str) -> bytes:
        if kind not in self._misfits:
            self._misfits[kind] = faulty_payload(kind, self.msg)
        return self._misfits[kind]


def _mutate_bytes(rng: random.Random, kind: str, good: bytes,
                  lengths: list[tuple[int, int]]) -> bytes:
    if kind == "bit-flip":
        if not good:
            return b"\x01"
        data = bytearray(good)
        for _ in range(rng.randint(1, 8)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        return bytes(data)
    if kind == "insert":
        at = rng.randint(0, len(good))
        return good[:at] + rng.randbytes(rng.randint(1, 16)) + good[at:]
    if kind == "cut":
        return good[: rng.randrange(len(good))] if good else b""
    if kind in ("huge-count", "over-long-count"):
        if not lengths:
            return good
        at, size = rng.choice(lengths)
        if kind == "huge-count":
            count = length_prefix(rng.choice(HUGE_COUNTS))
        else:
            count = rng.choice(OVER_LONG_COUNTS)
        return good[:at] + count + good[at + size :]
    if kind == "random":
        return rng.randbytes(rng.randint(0, 2 * len(good)))
    raise ValueError(f"unknown byte mutation {kind!r}")


def mutate_sample(rng: random.Random, source: SampleSource) -> tuple[str, bytes]:
    """A spoilt payload of the stream message of ``source`` and the name of its mutation."""
    kind = rng.choice(SAMPLE_MUTATIONS)
    if kind in DECODABLE_STREAM_FAULTS:
        return kind, source.misfit(kind)
    if kind == "bad-numbers":
        data = bytearray(source.payload)
        for at in rng.sample(source.floats, min(len(source.floats), rng.randint(1, 8))):
            data[at : at + 4] = rng.choice(_BAD_FLOAT_BYTES)
        return kind, bytes(data)
    if kind == "group-numbers":
        data = bytearray(source.payload)
        for at in source.groups:
            data[at : at + 2] = rng.randbytes(2)
        return kind, bytes(data)
    return kind, _mutate_bytes(rng, kind, source.payload, source.lengths)


def _float_slots(value: Any, slots: list[tuple[list[Any], int]]) -> None:
    """Every float of ``value`` (a record or a list) as (the list holding it, its index)."""
    if isinstance(value, list):
        for i, item in enumerate(value):
            if isinstance(item, float):
                slots.append((value, i))
            elif isinstance(item, list):
                _float_slots(item, slots)
    elif hasattr(value, "FIELDS"):
        for name, _ in type(value).FIELDS:
            _float_slots(getattr(value, name), slots)


def _bad_reply(rng: random.Random, kind: str, reply: RPCReply) -> RPCReply:
    bad = copy.deepcopy(reply)
    if kind == "wrong-id":
        bad.request_id = rng.getrandbits(16)
    elif kind == "flip-success":
        bad.success = not bad.success
    elif kind == "bad-strings":
        if not bad.string_container:
            bad.string_container = [b""]
        for _ in range(rng.randint(1, 3)):
            text = rng.choice(_BAD_STRINGS) if rng.random() < 0.9 else b"x = " + b"7" * 65536
            bad.string_container[rng.randrange(len(bad.string_container))] = text
    elif kind == "bad-sizes":
        name = rng.choice(("joint_groups", "int_container", "string_container",
                           "float_container", "float2d_container"))
        items = getattr(bad, name)
        if items and rng.random() < 0.5:
            del items[rng.randrange(len(items))]
        else:
            filler = {"joint_groups": 3, "int_container": 0, "string_container": b"phase = x",
                      "float_container": 7.0, "float2d_container": [1.0] * rng.randint(0, 9)}
            items.insert(rng.randint(0, len(items)), filler[name])
    elif kind == "bad-numbers":
        slots: list[tuple[list[Any], int]] = []
        _float_slots(bad, slots)
        if not slots:  # a reply without floats gets one
            bad.float_container = [0.0]
            slots = [(bad.float_container, 0)]
        for holder, i in rng.sample(slots, min(len(slots), rng.randint(1, 8))):
            holder[i] = rng.choice(_BAD_FLOATS)
    return bad


def mutate_reply(rng: random.Random, reply: RPCReply) -> tuple[str, list[tuple[bool, bytes]]]:
    """Replies (``(ok, payload)``, in order) spoilt from the correct ``reply``, and the name of
    the mutation."""
    kind = rng.choice(REPLY_MUTATIONS)
    good = encode(reply)
    if kind in BYTE_MUTATIONS or kind == "twice":
        lengths = wire_layout(reply)[0]
        count = 2 if kind == "twice" else 1
        return kind, [(True, _mutate_bytes(rng, kind if count == 1 else rng.choice(BYTE_MUTATIONS),
                                           good, lengths)) for _ in range(count)]
    if kind == "error-reply":
        return kind, [(False, good)]
    return kind, [(True, encode(_bad_reply(rng, kind, reply)))]
