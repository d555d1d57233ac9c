"""The robot's message records and their payloads, written with eclipse-zenoh's serializer.

Every record is laid out field by field in declaration order: integers and floats at their exact
width, a string as its length and bytes, a sequence as its length and elements, a fixed array as its
length (always on the wire) and exactly that many elements, a nested record as its fields with
nothing around them. A record's layout is its ``FIELDS`` table; encoding and decoding both walk it.

Strings are carried as ``bytes`` so that any byte value survives; ``str`` is accepted when encoding
and written as UTF-8.
"""

from __future__ import annotations

import struct
from dataclasses import dataclass, field
from collections.abc import Callable
from typing import Any, ClassVar

from zenoh import ZBytes
from zenoh.ext import (
    Float32,
    Int16,
    Int32,
    UInt16,
    UInt32,
    ZDeserializeError,
    z_deserialize,
    z_serialize,
)


class DecodeError(ValueError):
    """A payload does not hold the expected record."""


class EncodeError(ValueError):
    """A record cannot be written (a fixed array of the wrong size, a value out of range)."""


# ----------------------------------------------------------------------------------------------
# Field types


class Prim:
    """A primitive field: ``wrap`` gives the value the serializer writes at the right width."""

    def __init__(self, token: str, wrap: type) -> None:
        self.token = token
        self.wrap = wrap

    def __repr__(self) -> str:
        return self.token


BOOL = Prim("bool", bool)
I16 = Prim("i16", Int16)
U16 = Prim("u16", UInt16)
I32 = Prim("i32", Int32)
U32 = Prim("u32", UInt32)
F32 = Prim("f32", Float32)
STR = Prim("str", bytes)


@dataclass(frozen=True)
class Seq:
    """A growable sequence: length, then the elements."""

    elem: Any


@dataclass(frozen=True)
class Fixed:
    """A fixed array of ``size`` elements: length ``size``, then the elements."""

    elem: Any
    size: int


def _is_record(tp: Any) -> bool:
    return isinstance(tp, type) and hasattr(tp, "FIELDS")


# ----------------------------------------------------------------------------------------------
# Records


def _zeros(n: int) -> Any:
    return field(default_factory=lambda: [0.0] * n)


def _falses(n: int) -> Any:
    return field(default_factory=lambda: [False] * n)


@dataclass
class SafetyIoData:
    aux_code: int = 0
    aux_value: int = 0
    estop_released: bool = False
    enabling_device_on: bool = False
    aux_flags: list[bool] = _falses(8)
    digital_inputs: list[bool] = _falses(20)
    digital_outputs: list[bool] = _falses(20)
    FIELDS: ClassVar[tuple] = (
        ("aux_code", U16),
        ("aux_value", I16),
        ("estop_released", BOOL),
        ("enabling_device_on", BOOL),
        ("aux_flags", Fixed(BOOL, 8)),
        ("digital_inputs", Fixed(BOOL, 20)),
        ("digital_outputs", Fixed(BOOL, 20)),
    )


@dataclass
class JointStateData:
    q: list[float] = field(default_factory=list)
    theta: list[float] = field(default_factory=list)
    dq: list[float] = field(default_factory=list)
    dtheta: list[float] = field(default_factory=list)
    tau: list[float] = field(default_factory=list)
    tau_dot: list[float] = field(default_factory=list)
    tau_ext: list[float] = field(default_factory=list)
    tau_interact: list[float] = field(default_factory=list)
    temperature: list[float] = field(default_factory=list)
    aux_triples_1: list[list[float]] = field(default_factory=list)
    aux_triples_2: list[list[float]] = field(default_factory=list)
    FIELDS: ClassVar[tuple] = (
        ("q", Seq(F32)),
        ("theta", Seq(F32)),
        ("dq", Seq(F32)),
        ("dtheta", Seq(F32)),
        ("tau", Seq(F32)),
        ("tau_dot", Seq(F32)),
        ("tau_ext", Seq(F32)),
        ("tau_interact", Seq(F32)),
        ("temperature", Seq(F32)),
        ("aux_triples_1", Seq(Fixed(F32, 3))),
        ("aux_triples_2", Seq(Fixed(F32, 3))),
    )


@dataclass
class CartesianStateData:
    flange_pose: list[float] = _zeros(7)
    tcp_pose: list[float] = _zeros(7)
    tcp_twist: list[float] = _zeros(6)
    tcp_wrench_local: list[float] = _zeros(6)
    aux_array6: list[float] = _zeros(6)
    raw_tcp_wrench_local: list[float] = _zeros(6)
    raw_ft_sensor: list[float] = _zeros(6)
    FIELDS: ClassVar[tuple] = (
        ("flange_pose", Fixed(F32, 7)),
        ("tcp_pose", Fixed(F32, 7)),
        ("tcp_twist", Fixed(F32, 6)),
        ("tcp_wrench_local", Fixed(F32, 6)),
        ("aux_array6", Fixed(F32, 6)),
        ("raw_tcp_wrench_local", Fixed(F32, 6)),
        ("raw_ft_sensor", Fixed(F32, 6)),
    )


@dataclass
class AllBasicStreamData:
    safety_io: SafetyIoData = field(default_factory=SafetyIoData)
    joint_group_indices: list[int] = field(default_factory=list)
    joint_data: JointStateData = field(default_factory=JointStateData)
    cartesian_data: list[CartesianStateData] = field(default_factory=list)
    timestamp_sec: int = 0
    timestamp_nsec: int = 0
    FIELDS: ClassVar[tuple] = (
        ("safety_io", SafetyIoData),
        ("joint_group_indices", Seq(U16)),
        ("joint_data", JointStateData),
        ("cartesian_data", Seq(CartesianStateData)),
        ("timestamp_sec", I32),
        ("timestamp_nsec", U32),
    )


@dataclass
class DesiredJointData:
    q_d: list[float] = field(default_factory=list)
    dq_d: list[float] = field(default_factory=list)
    tau_d: list[float] = field(default_factory=list)
    FIELDS: ClassVar[tuple] = (("q_d", Seq(F32)), ("dq_d", Seq(F32)), ("tau_d", Seq(F32)))


@dataclass
class DesiredCartesianData:
    tcp_pose_d: list[float] = _zeros(7)
    tcp_twist_d: list[float] = _zeros(6)
    tcp_wrench_d: list[float] = _zeros(6)
    FIELDS: ClassVar[tuple] = (
        ("tcp_pose_d", Fixed(F32, 7)),
        ("tcp_twist_d", Fixed(F32, 6)),
        ("tcp_wrench_d", Fixed(F32, 6)),
    )


@dataclass
class AllExtraStreamData:
    joint_group_indices: list[int] = field(default_factory=list)
    desired_joint_data: DesiredJointData = field(default_factory=DesiredJointData)
    cartesian_data: list[DesiredCartesianData] = field(default_factory=list)
    FIELDS: ClassVar[tuple] = (
        ("joint_group_indices", Seq(U16)),
        ("desired_joint_data", DesiredJointData),
        ("cartesian_data", Seq(DesiredCartesianData)),
    )


@dataclass
class RPCRequest:
    request_id: int = 0
    joint_groups: list[int] = field(default_factory=list)
    FIELDS: ClassVar[tuple] = (("request_id", U16), ("joint_groups", Seq(U16)))


@dataclass
class RPCReply:
    request_id: int = 0
    success: bool = False
    joint_groups: list[int] = field(default_factory=list)
    int_container: list[int] = field(default_factory=list)
    string_container: list[bytes] = field(default_factory=list)
    float_container: list[float] = field(default_factory=list)
    float2d_container: list[list[float]] = field(default_factory=list)
    FIELDS: ClassVar[tuple] = (
        ("request_id", U16),
        ("success", BOOL),
        ("joint_groups", Seq(U16)),
        ("int_container", Seq(I32)),
        ("string_container", Seq(STR)),
        ("float_container", Seq(F32)),
        ("float2d_container", Seq(Seq(F32))),
    )


# ----------------------------------------------------------------------------------------------
# Encoding


def _typed(tp: Any, value: Any, strict: bool, where: str) -> Any:
    """Turn ``value`` into what ``z_serialize`` writes with the layout of ``tp``.

    Records become tuples (written as their elements, back to back), sequences lists (length and
    elements). ``[()] * n`` writes the length ``n`` alone, which lets a fixed array of the wrong
    size be produced on purpose when ``strict`` is off.
    """
    if isinstance(tp, Prim):
        if tp is STR:
            return value.encode() if isinstance(value, str) else bytes(value)
        try:
            return tp.wrap(value)
        except AssertionError as exc:  # zenoh.ext's range checks are asserts
            raise EncodeError(f"{where}: {value!r} out of range for {tp.token}") from exc
    if isinstance(tp, Fixed):
        if strict and len(value) != tp.size:
            raise EncodeError(f"{where}: fixed array of {tp.size} holds {len(value)} elements")
        items = tuple(_typed(tp.elem, v, strict, f"{where}[{i}]") for i, v in enumerate(value))
        return ([()] * len(value), items)
    if isinstance(tp, Seq):
        return [_typed(tp.elem, v, strict, f"{where}[{i}]") for i, v in enumerate(value)]
    if _is_record(tp):
        return tuple(
            _typed(ftp, getattr(value, name), strict, f"{where}.{name}") for name, ftp in tp.FIELDS
        )
    raise TypeError(f"unknown field type {tp!r}")


def encode(record: Any, *, strict: bool = True) -> bytes:
    """The payload of ``record``. With ``strict`` off, fixed arrays are written at whatever size
    they have (for peers that misbehave on purpose).

    A well-formed record is packed directly with ``struct`` in the serializer's layout, fast enough
    for 1 kHz streams; ``encode_with_zenoh`` is the reference it is tested against, and any record
    the direct path does not take (a wrong size, a value out of range) goes through it."""
    if strict:
        out = bytearray()
        try:
            _pack(out, type(record), record)
            return bytes(out)
        except (struct.error, OverflowError, TypeError, _NotPacked):
            pass
    return encode_with_zenoh(record, strict=strict)


def encode_with_zenoh(record: Any, *, strict: bool = True) -> bytes:
    """The payload of ``record`` written by eclipse-zenoh's serializer."""
    return z_serialize(_typed(type(record), record, strict, type(record).__name__)).to_bytes()


class _NotPacked(Exception):
    """The direct path leaves this record to the serializer."""


# struct codes of the primitives: little-endian at their exact width, as the serializer writes them.
_STRUCT = {BOOL: "?", I16: "h", U16: "H", I32: "i", U32: "I", F32: "f"}


def _length(n: int) -> bytes:
    """``length_prefix`` with the one-byte lengths of nearly every sequence made once."""
    return _SHORT_LENGTHS[n] if n < 0x80 else length_prefix(n)


_SHORT_LENGTHS = [bytes((n,)) for n in range(0x80)]
_Packer = Callable[[bytearray, Any], None]
_PACKERS: dict[Any, _Packer] = {}


def _pack(out: bytearray, tp: Any, value: Any) -> None:
    _packer(tp)(out, value)


def _packer(tp: Any) -> _Packer:
    """The function that appends a value of field type ``tp``, made once per type."""
    packer = _PACKERS.get(tp)
    if packer is None:
        packer = _PACKERS[tp] = _make_packer(tp)
    return packer


def _make_packer(tp: Any) -> _Packer:
    if tp is STR:
        def pack_str(out: bytearray, value: Any) -> None:
            data = value.encode() if isinstance(value, str) else bytes(value)
            out += _length(len(data))
            out += data
        return pack_str
    if isinstance(tp, Prim):
        one = struct.Struct("<" + _STRUCT[tp]).pack

        def pack_prim(out: bytearray, value: Any) -> None:
            out += one(value)
        return pack_prim
    if isinstance(tp, (Seq, Fixed)):
        size = tp.size if isinstance(tp, Fixed) else None
        code = _STRUCT.get(tp.elem) if isinstance(tp.elem, Prim) else None
        if code is not None:
            def pack_numbers(out: bytearray, values: Any) -> None:
                n = len(values)
                if size is not None and n != size:
                    raise _NotPacked
                out += _length(n)
                out += struct.pack(f"<{n}{code}", *values)
            return pack_numbers
        elem = _packer(tp.elem)

        def pack_items(out: bytearray, values: Any) -> None:
            if size is not None and len(values) != size:
                raise _NotPacked
            out += _length(len(values))
            for v in values:
                elem(out, v)
        return pack_items
    if _is_record(tp):
        fields = [(name, _packer(ftp)) for name, ftp in tp.FIELDS]

        def pack_record(out: bytearray, value: Any) -> None:
            for name, pack in fields:
                pack(out, getattr(value, name))
        return pack_record
    raise TypeError(f"unknown field type {tp!r}")


def flatten(record: Any) -> list[tuple[str, Any]]:
    """The primitives of ``record`` in wire order as ``(token, value)``; a length is
    ``("len", n)``."""
    out: list[tuple[str, Any]] = []

    def walk(tp: Any, value: Any) -> None:
        if isinstance(tp, Prim):
            out.append((tp.token, value.encode() if isinstance(value, str) else value))
        elif isinstance(tp, (Seq, Fixed)):
            out.append(("len", len(value)))
            for v in value:
                walk(tp.elem, v)
        else:
            for name, ftp in tp.FIELDS:
                walk(ftp, getattr(value, name))

    walk(type(record), record)
    return out


# ----------------------------------------------------------------------------------------------
# Decoding


class FieldReader:
    """Reads a payload one primitive at a time with ``z_deserialize``.

    ``z_deserialize`` ignores bytes after the value it reads, so the reader advances by the size of
    the value written back, and ``done`` tells whether every byte has been consumed.
    """

    def __init__(self, payload: bytes) -> None:
        self._data = bytes(payload)
        self._pos = 0

    @property
    def remaining(self) -> int:
        return len(self._data) - self._pos

    @property
    def done(self) -> bool:
        return self._pos == len(self._data)

    def _read(self, tp: Any, wrap: Any) -> Any:
        try:
            value = z_deserialize(tp, ZBytes(self._data[self._pos :]))
        except ZDeserializeError as exc:
            raise DecodeError(f"cannot read {tp!r} at byte {self._pos}") from exc
        self._pos += len(z_serialize(wrap(value)).to_bytes())
        return value

    def prim(self, p: Prim) -> Any:
        value = self._read(p.wrap, p.wrap)
        return bool(value) if p is BOOL else bytes(value) if p is STR else value

    def length(self) -> int:
        # A length is read as a list of empty tuples, which is the length alone. Look at its value
        # first, so that a corrupt length cannot make the reader build a list of billions of ().
        announced, shift = 0, 0
        for byte in self._data[self._pos : self._pos + 10]:
            announced |= (byte & 0x7F) << shift
            shift += 7
            if not byte & 0x80:
                break
        if announced > self.remaining:
            raise DecodeError(f"length {announced} at byte {self._pos} exceeds the payload")
        return len(self._read(list[tuple[()]], lambda v: [()] * len(v)))


def _read(reader: FieldReader, tp: Any, where: str) -> Any:
    if isinstance(tp, Prim):
        return reader.prim(tp)
    if isinstance(tp, (Seq, Fixed)):
        n = reader.length()
        if isinstance(tp, Fixed) and n != tp.size:
            raise DecodeError(f"{where}: fixed array of {tp.size} announces {n} elements")
        if n > reader.remaining:
            raise DecodeError(f"{where}: {n} elements announced, {reader.remaining} bytes left")
        return [_read(reader, tp.elem, f"{where}[{i}]") for i in range(n)]
    if _is_record(tp):
        return tp(**{name: _read(reader, ftp, f"{where}.{name}") for name, ftp in tp.FIELDS})
    raise TypeError(f"unknown field type {tp!r}")


def decode(cls: type, payload: bytes) -> Any:
    """Decode one whole ``cls`` record; bytes left over are an error."""
    reader = FieldReader(payload)
    record = _read(reader, cls, cls.__name__)
    if not reader.done:
        raise DecodeError(f"{cls.__name__}: {reader.remaining} bytes left after the record")
    return record


# ----------------------------------------------------------------------------------------------
# Layout helpers for payloads made wrong on purpose


def length_prefix(n: int) -> bytes:
    """The bytes of a sequence length ``n`` (unsigned LEB128, as the serializer writes it)."""
    out = bytearray()
    while True:
        byte, n = n & 0x7F, n >> 7
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def field_offset(record: Any, name: str) -> int:
    """Byte offset of the top-level field ``name`` in the payload of ``record``."""
    offset = 0
    for fname, ftp in type(record).FIELDS:
        if fname == name:
            return offset
        offset += len(z_serialize(_typed(ftp, getattr(record, fname), False, fname)).to_bytes())
    raise KeyError(name)



def wire_layout(record: Any) -> tuple[list[tuple[int, int]], list[tuple[int, str, str]]]:
    """Where the payload of ``record`` holds what: ``(offset, size in bytes)`` of the length prefix
    of every sequence, fixed array and string, and ``(offset, token, top-level field)`` of every
    other primitive value (token as in ``flatten``), both in wire order."""
    lengths: list[tuple[int, int]] = []
    values: list[tuple[int, str, str]] = []
    pos = 0

    def walk(tp: Any, value: Any, top: str) -> None:
        nonlocal pos
        if tp is STR:
            data = value.encode() if isinstance(value, str) else bytes(value)
            head = len(length_prefix(len(data)))
            lengths.append((pos, head))
            pos += head + len(data)
        elif isinstance(tp, Prim):
            values.append((pos, tp.token, top))
            pos += struct.calcsize("<" + _STRUCT[tp])
        elif isinstance(tp, (Seq, Fixed)):
            head = len(length_prefix(len(value)))
            lengths.append((pos, head))
            pos += head
            for v in value:
                walk(tp.elem, v, top)
        else:
            for name, ftp in tp.FIELDS:
                walk(ftp, getattr(value, name), top or name)

    walk(type(record), record, "")
    return lengths, values
