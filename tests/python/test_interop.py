"""The C++ Zenoh layer (through kvn-bridge-tool) against eclipse-zenoh: the same bytes for the same
values in both directions, and samples, queries and undeclarations across the two implementations.
Also the private network namespace these tests run in."""

from __future__ import annotations

import json
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import typing
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest
import zenoh
from zenoh.ext import (
    Float32, Int16, Int32, UInt16, UInt32, ZDeserializeError, z_deserialize, z_serialize,
)

from korvantyr_sim import (
    AllBasicStreamData, AllExtraStreamData, RPCReply, RPCRequest, Robot, decode, encode,
)
from korvantyr_sim.messages import flatten

REPO = Path(__file__).resolve().parents[2]
NETNS_PY = REPO / "tests" / "support" / "netns.py"


def run_tool(tool: Path, *args: str, timeout: float = 120.0) -> subprocess.CompletedProcess[str]:
    return subprocess.run([str(tool), *args], capture_output=True, text=True, timeout=timeout)


# ------------------------------------------------------------------------------------------------
# Serializer compatibility


def f32_bits(x: float) -> int:
    return struct.unpack("<I", struct.pack("<f", x))[0]


def f32_from_bits(bits: int) -> Float32:
    return Float32(struct.unpack("<f", struct.pack("<I", bits))[0])


_PRIM_TOKENS = {bool: "bool", Int16: "i16", UInt16: "u16", Int32: "i32", UInt32: "u32"}


def tokens_of(tp: Any, value: Any) -> list[str]:
    """The tool's tokens for ``value`` written with the layout that eclipse-zenoh gives ``tp``."""
    origin = typing.get_origin(tp)
    if origin is list:
        (elem,) = typing.get_args(tp)
        return [f"len:{len(value)}"] + [t for v in value for t in tokens_of(elem, v)]
    if origin is tuple:
        return [t for et, v in zip(typing.get_args(tp), value) for t in tokens_of(et, v)]
    if tp is Float32:
        return [f"f32x:{f32_bits(value):08x}"]
    if tp is bytes:
        return [f"str:{value.hex()}"]
    if tp is str:
        return [f"str:{value.encode().hex()}"]
    return [f"{_PRIM_TOKENS[tp]}:{int(value)}"]


def types_of(tokens: list[str]) -> list[str]:
    return [t.split(":", 1)[0].replace("f32x", "f32") for t in tokens]


def same(tp: Any, a: Any, b: Any) -> bool:
    """Equal values, floats compared by their single-precision bits (NaN payloads, -0.0)."""
    origin = typing.get_origin(tp)
    if origin is list:
        (elem,) = typing.get_args(tp)
        return len(a) == len(b) and all(same(elem, x, y) for x, y in zip(a, b))
    if origin is tuple:
        return all(same(et, x, y) for et, x, y in zip(typing.get_args(tp), a, b))
    if tp is Float32:
        return f32_bits(a) == f32_bits(b)
    return a == b


@dataclass(frozen=True)
class Case:
    id: str
    tp: Any
    value: Any


def _f32(id_: str, bits: int) -> Case:
    return Case(f"f32-{id_}", Float32, f32_from_bits(bits))


SERIALIZER_CASES = [
    Case("bool-false", bool, False),
    Case("bool-true", bool, True),
    Case("i16-min", Int16, Int16(-(2**15))),
    Case("i16-max", Int16, Int16(2**15 - 1)),
    Case("i16-minus-one", Int16, Int16(-1)),
    Case("u16-zero", UInt16, UInt16(0)),
    Case("u16-max", UInt16, UInt16(2**16 - 1)),
    Case("u16-byte-order", UInt16, UInt16(0x0102)),
    Case("i32-min", Int32, Int32(-(2**31))),
    Case("i32-max", Int32, Int32(2**31 - 1)),
    Case("i32-minus-one", Int32, Int32(-1)),
    Case("u32-zero", UInt32, UInt32(0)),
    Case("u32-max", UInt32, UInt32(2**32 - 1)),
    Case("u32-byte-order", UInt32, UInt32(0x01020304)),
    _f32("zero", 0x00000000),
    _f32("minus-zero", 0x80000000),
    _f32("one", 0x3F800000),
    _f32("max", 0x7F7FFFFF),
    _f32("min-normal", 0x00800000),
    _f32("min-subnormal", 0x00000001),
    _f32("negative-subnormal", 0x807FFFFF),
    _f32("inf", 0x7F800000),
    _f32("minus-inf", 0xFF800000),
    _f32("nan", 0x7FC00000),
    _f32("nan-payload", 0x7FC00001),
    _f32("negative-nan", 0xFFC00000),
    Case("str-empty", bytes, b""),
    Case("str-ascii", bytes, b"v2.1"),
    Case("str-zero-byte", bytes, b"a\x00b\x00"),
    Case("str-not-utf8", bytes, b"\xff\xfe\x80\xc3"),
    Case("str-utf8", str, "grüße ✓"),
    Case("str-long-length", bytes, bytes(range(256)) * 3),  # length needs two bytes
    Case("seq-empty", list[UInt16], []),
    Case("seq-u16", list[UInt16], [UInt16(0), UInt16(2), UInt16(65535)]),
    Case("seq-i32", list[Int32], [Int32(-(2**31)), Int32(7)]),
    Case("seq-bool-20", list[bool], [i % 3 == 0 for i in range(20)]),
    Case("fixed-7-floats", list[Float32],
         [Float32(v) for v in (0.5, -1.0, 2.0, 0.0, 1.0, 0.0, 0.0)]),
    Case("seq-300-u16", list[UInt16], [UInt16(i * 211 % 65536) for i in range(300)]),
    Case("seq-of-seqs-ragged", list[list[Float32]],
         [[Float32(1.0)], [], [Float32(2.0), Float32(3.0), Float32(-4.5)]]),
    Case("seq-of-fixed-triples", list[list[Float32]],
         [[Float32(i), Float32(-i), Float32(0.25)] for i in range(4)]),
    Case("seq-of-strings", list[bytes], [b"", b"\x00", b"v2.1", b"\xff" * 130]),
    Case("record",
         tuple[UInt16, bool, list[UInt16], list[Int32], list[bytes], list[Float32],
               list[list[Float32]]],
         (UInt16(10), True, [UInt16(0), UInt16(3)], [Int32(0), Int32(7)], [],
          [Float32(14.0), Float32(7.0)], [])),
    Case("length-127", list[tuple[()]], [()] * 127),
    Case("length-128", list[tuple[()]], [()] * 128),
    Case("length-16384", list[tuple[()]], [()] * 16384),
    Case("length-2097152", list[tuple[()]], [()] * 2**21),
]


@pytest.mark.parametrize("case", SERIALIZER_CASES, ids=lambda c: c.id)
class TestSerializerAgreesWithZenoh:
    def test_cpp_writes_zenohs_bytes(self, bridge_tool: Path, case: Case) -> None:
        out = run_tool(bridge_tool, "encode", *tokens_of(case.tp, case.value))
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == z_serialize(case.value).to_bytes().hex()

    def test_cpp_reads_zenohs_bytes(self, bridge_tool: Path, case: Case) -> None:
        tokens = tokens_of(case.tp, case.value)
        payload = z_serialize(case.value).to_bytes().hex()
        out = run_tool(bridge_tool, "decode", payload, *types_of(tokens))
        assert out.returncode == 0, out.stdout + out.stderr
        assert out.stdout.splitlines() == [" ".join(tokens), "done:1", "left:0"]

    def test_zenoh_reads_cpp_bytes(self, bridge_tool: Path, case: Case) -> None:
        out = run_tool(bridge_tool, "encode", *tokens_of(case.tp, case.value))
        assert out.returncode == 0, out.stderr
        back = z_deserialize(case.tp, zenoh.ZBytes(bytes.fromhex(out.stdout.strip())))
        assert same(case.tp, back, case.value), (back, case.value)


@pytest.mark.parametrize("literal", ["1.5", "-0.0", "0.1", "-2.5e-3", "1e-45", "3.4028235e38",
                                     "inf", "-inf", "nan"])
def test_cpp_parses_float_literals_like_zenoh_rounds_them(bridge_tool: Path, literal: str) -> None:
    out = run_tool(bridge_tool, "encode", f"f32:{literal}")
    assert out.stdout.strip() == z_serialize(Float32(float(literal))).to_bytes().hex()


def test_cpp_keeps_signalling_nan_bits(bridge_tool: Path) -> None:
    # Copying a float through a wider type or the FPU would quieten it into 7fc00001.
    out = run_tool(bridge_tool, "encode", "f32x:7f800001", "f32x:ff800001")
    assert out.stdout.strip() == "0100807f" + "010080ff"
    back = run_tool(bridge_tool, "decode", out.stdout.strip(), "f32", "f32")
    assert back.stdout.splitlines()[0] == "f32x:7f800001 f32x:ff800001"


REJECTED = [
    # payload, types, index of the failing read, eclipse-zenoh type that must fail on it too
    ("0100", ["u32"], 0, UInt32),
    ("", ["u16"], 0, UInt16),
    ("02", ["bool"], 0, bool),
    ("01ff", ["bool", "bool"], 1, tuple[bool, bool]),
    ("05616263", ["str"], 0, bytes),
    ("ff", ["len"], 0, list[tuple[()]]),
    # Ten bytes hold 64 bits only if the tenth is 0 or 1.
    ("ffffffffffffffffff02", ["len"], 0, list[tuple[()]]),
    ("0300", ["len", "u16"], 1, list[UInt16]),
    ("0100000080", ["f32", "f32"], 1, tuple[Float32, Float32]),
]


@pytest.mark.parametrize("payload,types,index,zenoh_type", REJECTED,
                         ids=[f"{p or 'empty'}-{'-'.join(t)}" for p, t, _, _ in REJECTED])
def test_cpp_rejects_what_zenoh_rejects(bridge_tool: Path, payload: str, types: list[str],
                                        index: int, zenoh_type: Any) -> None:
    with pytest.raises(ZDeserializeError):
        z_deserialize(zenoh_type, zenoh.ZBytes(bytes.fromhex(payload)))
    out = run_tool(bridge_tool, "decode", payload, *types)
    assert out.returncode == 3
    error = [line for line in out.stdout.splitlines() if line.startswith("error:")]
    assert len(error) == 1, out.stdout
    code, at = error[0].split()
    assert int(code.removeprefix("error:")) < 0
    assert at == f"at:{index}"


def test_cpp_reports_bytes_left_over(bridge_tool: Path) -> None:
    out = run_tool(bridge_tool, "decode", "0100ff00", "u16")
    assert (out.returncode, out.stdout.splitlines()) == (0, ["u16:1", "done:0", "left:2"])


def _flat_tokens(record: Any) -> list[str]:
    out = []
    for kind, value in flatten(record):
        if kind == "f32":
            out.append(f"f32x:{f32_bits(value):08x}")
        elif kind == "str":
            out.append(f"str:{value.hex()}")
        else:
            out.append(f"{kind}:{int(value)}")
    return out


WHOLE_MESSAGES = [
    pytest.param(RPCReply(10, True, [0, 2, 3, 4, 5], [0, 0, 0, 7, 14], [],
                          [16.0, 14.0, 7.0, 7.0, 2.0]), id="reply-start-ids"),
    pytest.param(RPCReply(9, True, [3, 4], [-5], [b"v2.1", b"", b"\x00\xff"], [float("-inf")],
                          [[0.5] * 9, [], [1.0, 2.0]]), id="reply-all-containers"),
    pytest.param(Robot("dual-arm").basic(7.5, 1_700_000_000_000_000_123), id="basic-dual-arm"),
    pytest.param(Robot("single-arm").extra(2.0), id="extra-single-arm"),
]


@pytest.mark.parametrize("message", WHOLE_MESSAGES)
def test_cpp_reads_whole_sim_payloads(bridge_tool: Path, message: Any) -> None:
    tokens = _flat_tokens(message)
    out = run_tool(bridge_tool, "decode", encode(message).hex(), *types_of(tokens))
    assert out.returncode == 0, out.stdout[-500:]
    assert out.stdout.splitlines() == [" ".join(tokens), "done:1", "left:0"]


def test_cpp_writes_requests_the_sim_reads(bridge_tool: Path) -> None:
    request = RPCRequest(10, [0, 2, 3, 4, 5])
    out = run_tool(bridge_tool, "encode", *_flat_tokens(request))
    assert bytes.fromhex(out.stdout.strip()) == encode(request)
    assert decode(RPCRequest, bytes.fromhex(out.stdout.strip())) == request


# ------------------------------------------------------------------------------------------------
# Samples and queries between the C++ layer and eclipse-zenoh


_keys = iter(range(1, 1_000_000))


def unique_key(what: str) -> str:
    return f"kvn/test/{os.getpid()}/{what}/{next(_keys)}"


class PacedPublisher(threading.Thread):
    """Publishes ``payload(k)`` for k = 0, 1, ... at ``rate`` Hz until stopped."""

    def __init__(self, session: zenoh.Session, key: str, rate: float,
                 payload: typing.Callable[[int], bytes], **options: Any) -> None:
        super().__init__(daemon=True)
        self.publisher = session.declare_publisher(key, **options)
        self.period = 1.0 / rate
        self.payload = payload
        self.count = 0
        self.elapsed = 0.0
        self._stop_event = threading.Event()

    def run(self) -> None:
        start = tick = time.monotonic()
        while not self._stop_event.is_set():
            self.publisher.put(self.payload(self.count))
            self.count += 1
            tick += self.period
            delay = tick - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            elif delay < -0.1:
                tick = time.monotonic()  # fell behind: resume the pace instead of bursting
        self.elapsed = time.monotonic() - start

    def __enter__(self) -> PacedPublisher:
        self.start()
        return self

    def __exit__(self, *_exc: object) -> None:
        self._stop_event.set()
        self.join(10.0)
        self.publisher.undeclare()


_PATTERN = bytes(range(256)) * 1024


def numbered_payload(size: int) -> typing.Callable[[int], bytes]:
    def make(k: int) -> bytes:
        offset = k % 256
        return struct.pack("<I", k) + _PATTERN[offset : offset + size - 4]
    return make


def samples_of(stdout: str) -> list[bytes]:
    return [bytes.fromhex(line.split(" ", 1)[1]) for line in stdout.splitlines()
            if line.startswith("sample ")]


@pytest.mark.network
@pytest.mark.parametrize("size,rate", [(64, 200.0), (200_000, 25.0)], ids=["small", "fragmented"])
def test_cpp_subscriber_receives_published_bytes(bridge_tool, zsession, size, rate) -> None:
    key = unique_key("sub")
    make = numbered_payload(size)
    with PacedPublisher(zsession, key, rate, make,
                        congestion_control=zenoh.CongestionControl.BLOCK):
        out = run_tool(bridge_tool, "sub", key, "10", "60")
    assert out.returncode == 0, out.stdout[-300:] + out.stderr
    samples = samples_of(out.stdout)
    assert len(samples) == 10
    numbers = [struct.unpack_from("<I", s)[0] for s in samples]
    assert numbers == list(range(numbers[0], numbers[0] + 10))  # in order, none lost
    for number, sample in zip(numbers, samples):
        assert sample == make(number)


@pytest.mark.network
def test_cpp_subscriber_times_out_with_what_arrived(bridge_tool, zsession) -> None:
    out = run_tool(bridge_tool, "sub", unique_key("silent"), "1", "1")
    assert (out.returncode, samples_of(out.stdout)) == (4, [])


@pytest.mark.network
@pytest.mark.parametrize("stream,cls",
                         [("basic", AllBasicStreamData), ("extra", AllExtraStreamData)])
def test_cpp_subscriber_receives_the_sim_streams(bridge_tool, sim, stream, cls) -> None:
    robot = sim(rate=100.0)
    out = run_tool(bridge_tool, "sub", robot.key(stream), "5", "60")
    assert out.returncode == 0, out.stderr
    messages = [decode(cls, s) for s in samples_of(out.stdout)]
    assert [m.joint_group_indices for m in messages] == [[0, 2, 3, 4, 5]] * 5


def cpp_get(tool: Path, key: str, payload: bytes,
            timeout_ms: int) -> tuple[list[tuple[str, bytes]], int]:
    """The replies (kind, payload) of one get, and the time until its completion in ms."""
    out = run_tool(tool, "get", key, payload.hex(), str(timeout_ms))
    assert out.returncode == 0, out.stdout + out.stderr
    lines = out.stdout.splitlines()
    assert lines and lines[-1].startswith("done "), lines
    replies = []
    for line in lines[:-1]:
        word, kind, *data = line.split(" ")
        assert word == "reply" and kind in ("ok", "err"), line
        replies.append((kind, bytes.fromhex(data[0] if data else "")))
    return replies, int(lines[-1].split()[1])


def cpp_get_until_answered(tool: Path, key: str, payload: bytes, timeout_ms: int = 2000,
                           deadline: float = 30.0) -> list[tuple[str, bytes]]:
    """Repeat the get until a queryable answers: the tool's fresh session first has to find it."""
    end = time.monotonic() + deadline
    while True:
        replies, _ = cpp_get(tool, key, payload, timeout_ms)
        if replies or time.monotonic() > end:
            return replies


class RecordingQueryable:
    def __init__(self, session: zenoh.Session, key: str, error: bool = False) -> None:
        self.queries: list[tuple[bytes, str]] = []
        self.key = key
        self.error = error
        self.queryable = session.declare_queryable(key, self._on_query)

    def _on_query(self, query: zenoh.Query) -> None:
        with query:
            payload = query.payload.to_bytes() if query.payload is not None else b""
            self.queries.append((payload, str(query.encoding)))
            if self.error:
                query.reply_err(b"\x00\xffno: " + payload)
            else:
                query.reply(self.key, b"re:\x00" + payload[::-1])


@pytest.mark.network
def test_cpp_get_receives_the_reply(bridge_tool, zsession) -> None:
    key = unique_key("get")
    served = RecordingQueryable(zsession, key)
    try:
        payload = bytes(range(256)) + b"\x00" * 3
        replies = cpp_get_until_answered(bridge_tool, key, payload)
    finally:
        served.queryable.undeclare()
    assert replies == [("ok", b"re:\x00" + payload[::-1])]
    assert served.queries[-1] == (payload, "zenoh/serialized")


@pytest.mark.network
def test_cpp_get_receives_an_error_reply(bridge_tool, zsession) -> None:
    key = unique_key("get-err")
    served = RecordingQueryable(zsession, key, error=True)
    try:
        replies = cpp_get_until_answered(bridge_tool, key, b"\x01\x02")
    finally:
        served.queryable.undeclare()
    assert replies == [("err", b"\x00\xffno: \x01\x02")]


@pytest.mark.network
def test_cpp_get_without_queryable_returns_early(bridge_tool, zsession) -> None:
    # Another queryable exists, just not on this key: the query still has nobody to wait for.
    other = RecordingQueryable(zsession, unique_key("elsewhere"))
    try:
        replies, elapsed_ms = cpp_get(bridge_tool, unique_key("nobody"), b"\x00", 5000)
    finally:
        other.queryable.undeclare()
    assert replies == []
    assert elapsed_ms < 2500


@pytest.mark.network
def test_cpp_get_from_the_sim(bridge_tool, sim) -> None:
    robot = sim()
    request = run_tool(bridge_tool, "encode", "u16:10", "len:5", "u16:0", "u16:2", "u16:3", "u16:4",
                       "u16:5").stdout.strip()
    replies = cpp_get_until_answered(bridge_tool, robot.key("rpc"), bytes.fromhex(request))
    assert len(replies) == 1 and replies[0][0] == "ok"
    assert decode(RPCReply, replies[0][1]) == RPCReply(
        10, True, [0, 2, 3, 4, 5], [0, 0, 0, 7, 14], [], [16.0, 14.0, 7.0, 7.0, 2.0])


@pytest.mark.network
def test_cpp_get_waits_for_a_silent_queryable_until_its_timeout(bridge_tool, sim) -> None:
    robot = sim(args=["--fault", "hang", "--fault-on", "1"])
    ping = encode(RPCRequest(0))
    assert cpp_get_until_answered(bridge_tool, robot.key("rpc"), ping)  # the queryable is known
    # Each get runs in a fresh session, which may end it at once while it has not yet found the
    # queryable; one that found it must wait out its time-out.
    for _ in range(20):
        replies, elapsed_ms = cpp_get(bridge_tool, robot.key("rpc"), encode(RPCRequest(1)), 1000)
        assert [kind for kind, _ in replies if kind == "ok"] == []
        if elapsed_ms >= 900:
            break
    assert 900 <= elapsed_ms < 5000


@pytest.mark.network
def test_undeclared_subscriber_never_runs_again(bridge_tool, zsession) -> None:
    key = unique_key("stress")
    with PacedPublisher(zsession, key, 2000.0, lambda k: struct.pack("<Q", k)) as publisher:
        out = run_tool(bridge_tool, "undeclare-stress", key, "200", timeout=600.0)
    assert out.stdout.splitlines()[-1:] == ["ok 200"], out.stdout[-500:] + out.stderr
    assert out.returncode == 0
    # The check only means something if samples kept coming in during every undeclaration.
    assert publisher.count / publisher.elapsed >= 1000.0


@pytest.mark.network
def test_watch_demo_runs_against_the_sim(bridge_tool, sim) -> None:
    robot = sim()
    started = time.monotonic()
    out = run_tool(bridge_tool, "watch", robot.serial, "2")
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip()
    assert time.monotonic() - started >= 2.0


# ------------------------------------------------------------------------------------------------
# The module and eclipse-zenoh in one process

# Both extension modules carry a Zenoh of their own. RTLD_GLOBAL puts every symbol either one
# exports into the process's global scope, as some host programs load their extensions.
SIDE_BY_SIDE = """
import json, os, sys, time
sys.setdlopenflags(os.RTLD_NOW | os.RTLD_GLOBAL)
first, serial = sys.argv[1], sys.argv[2]
if first == "korvantyr":
    import korvantyr, zenoh
else:
    import zenoh, korvantyr
samples = []
with zenoh.open(zenoh.Config()) as session:
    session.declare_subscriber(f"korvan/robot/{serial}/basic_stream_data",
                               lambda sample: samples.append(len(sample.payload.to_bytes())))
    client = korvantyr.Client(serial, verbose=False)
    deadline = time.monotonic() + 30
    while not (samples and client.states()) and time.monotonic() < deadline:
        time.sleep(0.02)
    result = {"groups": [group.name for group in client.states()],
              "plan": client.plan_info().assigned_plan_name,
              "connected": client.connected(), "samples": len(samples)}
    del client
    replies = list(session.get(f"korvan/robot/{serial}/rpc", payload=bytes.fromhex(sys.argv[3]),
                               timeout=5.0))
    result["zenoh_replies"] = sum(reply.ok is not None for reply in replies)
print(json.dumps(result))
"""


@pytest.mark.network
@pytest.mark.parametrize("first", ["korvantyr", "zenoh"])
def test_client_and_eclipse_zenoh_session_work_in_one_process(sim, first) -> None:
    robot = sim()
    request = encode(RPCRequest(request_id=4)).hex()
    done = subprocess.run([sys.executable, "-c", SIDE_BY_SIDE, first, robot.serial, request],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    result = json.loads(done.stdout.splitlines()[-1])
    assert result["groups"] == ["ALL", "ARMS", "ARM_1", "ARM_2", "EXT_AXIS"]
    assert result["plan"] and result["connected"]
    assert result["samples"] > 0 and result["zenoh_replies"] == 1


# ------------------------------------------------------------------------------------------------
# The private network namespace


@pytest.mark.network
class TestNamespace:
    def test_this_process_and_its_children_are_inside(self, netns) -> None:
        mine = os.readlink("/proc/self/ns/net")
        assert os.stat("/proc/self/ns/net").st_ino == os.stat(netns.path).st_ino
        child = subprocess.run(["readlink", "/proc/self/ns/net"], capture_output=True, text=True)
        assert child.stdout.strip() == mine
        thread_ns: list[str] = []
        t = threading.Thread(
            target=lambda: thread_ns.append(os.readlink("/proc/thread-self/ns/net")))
        t.start()
        t.join()
        assert thread_ns == [mine]

    def test_nothing_can_leave(self, netns) -> None:
        netns.verify_isolated()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            with pytest.raises(OSError) as err:
                s.sendto(b"x", ("1.1.1.1", 53))
        assert err.value.errno in (101, 113)  # ENETUNREACH, EHOSTUNREACH

    def test_run_passes_the_exit_status_and_removes_the_namespace(self, netns) -> None:
        proc = subprocess.Popen(
            [sys.executable, str(NETNS_PY), "run", "--", "sh", "-c",
             "ip -o link show kvn0 >/dev/null && ip route get 1.1.1.1; exit 7"],
            stderr=subprocess.PIPE, text=True)
        _, stderr = proc.communicate(timeout=60)
        assert proc.returncode == 7, stderr
        assert "unreachable" in stderr
        assert namespaces_of(proc.pid) == []

    def test_run_cleans_up_on_sigterm(self, netns) -> None:
        proc = subprocess.Popen([sys.executable, str(NETNS_PY), "run", "--", "sleep", "60"])
        try:
            end = time.monotonic() + 20
            while not namespaces_of(proc.pid):
                assert time.monotonic() < end and proc.poll() is None
                time.sleep(0.02)
            proc.send_signal(signal.SIGTERM)
            assert proc.wait(20) == 128 + signal.SIGTERM
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        assert namespaces_of(proc.pid) == []


def namespaces_of(pid: int) -> list[str]:
    """The namespaces that the harness process ``pid`` has created and not yet removed."""
    out = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True, check=True)
    return [line.split()[0] for line in out.stdout.splitlines()
            if line.startswith(f"kvn-{pid}-")]
