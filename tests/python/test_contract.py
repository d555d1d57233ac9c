"""The simulated robot held against what the client relies on from the robot's data service: the
two streams and the six remote procedures, read with a decoder of this file's own (Zenoh's
serializer format, byte by byte) rather than the simulator's; and the client's side of it: it
publishes nothing, answers no query, declares nothing but its two subscribers and asks only the
six requests it defines."""

from __future__ import annotations

import json
import re
import struct
import threading
import time
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import pytest
import zenoh
from zenoh.ext import Float32, Int16, Int32, UInt16, UInt32, z_serialize

from conftest import ControlledSim, check_sim_stderr, start_controlled_sim

JOINT_GROUPS = (0, 2, 3, 4, 5)
NONE = zenoh.QueryConsolidation(zenoh.ConsolidationMode.NONE)
# Samples put before a pause was acknowledged may still be on their way for this long.
IN_FLIGHT = 0.2


# ------------------------------------------------------------------------------------------------
# Zenoh's serializer format: lengths as LEB128, numbers little-endian at their width, a bool as
# one byte 0 or 1, a string as its length and bytes


class WireError(ValueError):
    """The payload does not hold the expected message."""


class Reader:
    def __init__(self, payload: bytes) -> None:
        self.data = bytes(payload)
        self.pos = 0

    def _take(self, n: int) -> bytes:
        if self.pos + n > len(self.data):
            raise WireError(f"payload ends at byte {len(self.data)}, {n} needed at {self.pos}")
        self.pos += n
        return self.data[self.pos - n:self.pos]

    def _number(self, fmt: str) -> Any:
        return struct.unpack(fmt, self._take(struct.calcsize(fmt)))[0]

    def u16(self) -> int:
        return self._number("<H")

    def i16(self) -> int:
        return self._number("<h")

    def i32(self) -> int:
        return self._number("<i")

    def u32(self) -> int:
        return self._number("<I")

    def f32(self) -> float:
        return self._number("<f")

    def bool(self) -> bool:
        byte = self._take(1)[0]
        if byte > 1:
            raise WireError(f"bool byte {byte} at {self.pos - 1}")
        return byte == 1

    def length(self) -> int:
        value, shift = 0, 0
        while True:
            byte = self._take(1)[0]
            value |= (byte & 0x7F) << shift
            if not byte & 0x80:
                break
            shift += 7
            if shift > 63:
                raise WireError(f"length longer than 64 bits at {self.pos}")
        if value > len(self.data) - self.pos:
            raise WireError(f"length {value} at {self.pos} exceeds the payload")
        return value

    def string(self) -> bytes:
        return self._take(self.length())

    def seq(self, read: Callable[[], Any]) -> list[Any]:
        return [read() for _ in range(self.length())]

    def fixed(self, size: int, read: Callable[[], Any]) -> list[Any]:
        announced = self.length()
        if announced != size:
            raise WireError(f"fixed array of {size} announces {announced} at {self.pos}")
        return [read() for _ in range(size)]

    def end(self) -> None:
        if self.pos != len(self.data):
            raise WireError(f"{len(self.data) - self.pos} bytes after the message")


JOINT_VECTORS = ("q", "theta", "dq", "dtheta", "tau", "tau_dot", "tau_ext", "tau_interact",
                 "temperature")
DESIRED_VECTORS = ("q_d", "dq_d", "tau_d")
CARTESIAN = (("flange_pose", 7), ("tcp_pose", 7), ("tcp_twist", 6), ("tcp_wrench_local", 6),
             ("aux_array6", 6), ("raw_tcp_wrench_local", 6), ("raw_ft_sensor", 6))
DESIRED_CARTESIAN = (("tcp_pose_d", 7), ("tcp_twist_d", 6), ("tcp_wrench_d", 6))


@dataclass
class StreamMessage:
    groups: list[int]
    vectors: dict[str, list[float]]
    cartesian: list[dict[str, list[float]]]


def read_basic(payload: bytes) -> StreamMessage:
    """AllBasicStreamData, exactly: raises WireError otherwise."""
    r = Reader(payload)
    r.u16(), r.i16(), r.bool(), r.bool()
    r.fixed(8, r.bool), r.fixed(20, r.bool), r.fixed(20, r.bool)
    groups = r.seq(r.u16)
    vectors = {name: r.seq(r.f32) for name in JOINT_VECTORS}
    for _ in range(2):  # the two sequences of float triples
        r.seq(lambda: r.fixed(3, r.f32))
    cartesian = r.seq(lambda: {name: r.fixed(size, r.f32) for name, size in CARTESIAN})
    r.i32(), r.u32()
    r.end()
    return StreamMessage(groups, vectors, cartesian)


def read_extra(payload: bytes) -> StreamMessage:
    """AllExtraStreamData, exactly: raises WireError otherwise."""
    r = Reader(payload)
    groups = r.seq(r.u16)
    vectors = {name: r.seq(r.f32) for name in DESIRED_VECTORS}
    cartesian = r.seq(lambda: {name: r.fixed(size, r.f32) for name, size in DESIRED_CARTESIAN})
    r.end()
    return StreamMessage(groups, vectors, cartesian)


@dataclass
class Reply:
    request_id: int
    success: bool
    joint_groups: list[int]
    int_container: list[int]
    string_container: list[bytes]
    float_container: list[float]
    float2d_container: list[list[float]]


def read_reply(payload: bytes) -> Reply:
    """RPCReply, exactly: raises WireError otherwise."""
    r = Reader(payload)
    reply = Reply(r.u16(), r.bool(), r.seq(r.u16), r.seq(r.i32), r.seq(r.string),
                  r.seq(r.f32), r.seq(lambda: r.seq(r.f32)))
    r.end()
    return reply


def request(request_id: int, groups: tuple[int, ...] = ()) -> bytes:
    return z_serialize((UInt16(request_id), [UInt16(g) for g in groups])).to_bytes()


READER_CASES = [
    # value written with Zenoh's serializer, how to read it, what comes back
    (UInt16(0xBEEF), Reader.u16, 0xBEEF),
    (Int16(-2), Reader.i16, -2),
    (Int32(-70000), Reader.i32, -70000),
    (UInt32(4_000_000_000), Reader.u32, 4_000_000_000),
    (Float32(-1.5), Reader.f32, -1.5),
    (True, Reader.bool, True),
    (False, Reader.bool, False),
    (b"a\x00\xff", Reader.string, b"a\x00\xff"),
    ([UInt16(7)] * 300, lambda r: r.seq(r.u16), [7] * 300),  # a length of two bytes
    ([[Float32(1.0), Float32(2.0)], [], [Float32(3.0)]], lambda r: r.seq(lambda: r.seq(r.f32)),
     [[1.0, 2.0], [], [3.0]]),
    ([b"", b"xy"], lambda r: r.seq(r.string), [b"", b"xy"]),
    ((UInt16(9), True, [Int32(-1)]), lambda r: (r.u16(), r.bool(), r.seq(r.i32)),
     (9, True, [-1])),
]


@pytest.mark.parametrize("value,read,expected", READER_CASES)
def test_reader_reads_what_zenohs_serializer_writes(value, read, expected) -> None:
    payload = z_serialize(value).to_bytes()
    reader = Reader(payload)
    assert read(reader) == expected
    reader.end()
    with pytest.raises(WireError):  # one byte more is not the same message
        extended = Reader(payload + b"\x00")
        read(extended)
        extended.end()
    with pytest.raises(WireError):  # one byte less does not hold it
        read(Reader(payload[:-1]))


def test_reader_refuses_a_fixed_array_of_another_size() -> None:
    payload = z_serialize([Float32(0.5)] * 6).to_bytes()
    reader = Reader(payload)
    assert reader.fixed(6, reader.f32) == [0.5] * 6
    for size in (5, 7):
        reader = Reader(payload)
        with pytest.raises(WireError, match=f"fixed array of {size} announces 6"):
            reader.fixed(size, reader.f32)


# ------------------------------------------------------------------------------------------------
# The robot's side


def ask(session: zenoh.Session, key: str, payload: bytes, timeout: float) -> list[zenoh.Reply]:
    """Every reply (no consolidation) to one query."""
    return list(session.get(key, payload=payload, timeout=timeout, consolidation=NONE))


def await_queryable(session: zenoh.Session, key: str, deadline: float = 20.0) -> zenoh.Reply:
    """Probe until the robot's queryable is known to ``session``; returns the probe's reply."""
    end = time.monotonic() + deadline
    while not (replies := ask(session, key, request(0), 1.0)):
        assert time.monotonic() < end, f"no queryable on {key}"
        time.sleep(0.05)
    return replies[0]


ROBOTS = {
    "dual-arm": ["--preset", "dual-arm"],
    "single-arm": ["--preset", "single-arm"],
    # joints laid out out of group order, no ARMS group
    "custom": ["--groups", "ARM_2:3,EXT_AXIS:1,ARM_1:4"],
}


@dataclass
class Robot:
    sim: ControlledSim
    samples: dict[str, list[tuple[str, bytes]]]  # per stream: (key, payload) of every sample

    def key(self, endpoint: str) -> str:
        return self.sim.key(endpoint)


@pytest.fixture(scope="module", params=sorted(ROBOTS))
def robot(request, netns, zsession, tmp_path_factory) -> Iterator[Robot]:
    """A simulated robot (each preset in turn) whose queryable the test session knows, with some
    samples of both streams received on the exact stream keys."""
    sim = start_controlled_sim(tmp_path_factory.mktemp("contract"),
                               args=[*ROBOTS[request.param], "--rate", "200"])
    robot = Robot(sim, {"basic": [], "extra": []})
    enough = threading.Event()

    def collector(stream: str) -> Callable[[zenoh.Sample], None]:
        def on_sample(sample: zenoh.Sample) -> None:
            robot.samples[stream].append((str(sample.key_expr), sample.payload.to_bytes()))
            if all(len(got) >= 40 for got in robot.samples.values()):
                enough.set()
        return on_sample

    subscribers = [zsession.declare_subscriber(sim.key(s), collector(s)) for s in robot.samples]
    try:
        await_queryable(zsession, sim.key("rpc"))
        assert enough.wait(20.0), {s: len(got) for s, got in robot.samples.items()}
    finally:
        for subscriber in subscribers:
            subscriber.undeclare()
    yield robot
    sim.stop()
    check_sim_stderr([sim])


PROCEDURES = {
    # request id: (joint groups of the request, the client's time-out in seconds)
    0: ((), 1.0),
    1: ((), 2.0),
    3: ((), 2.0),
    4: ((), 2.0),
    9: ((), 2.0),
    10: (JOINT_GROUPS, 2.0),
}


def call(robot: Robot, zsession: zenoh.Session, request_id: int) -> Reply:
    """One call as the client makes it: exactly one reply, OK, within the time-out, holding
    exactly one RPCReply that echoes the request's number."""
    groups, timeout = PROCEDURES[request_id]
    replies = ask(zsession, robot.key("rpc"), request(request_id, groups), timeout)
    assert len(replies) == 1, replies
    assert replies[0].ok is not None, replies[0].err.payload.to_bytes()
    reply = read_reply(replies[0].ok.payload.to_bytes())
    assert reply.request_id == request_id
    return reply


def start_ids_and_dofs(robot: Robot, zsession: zenoh.Session) -> dict[int, tuple[int, int]]:
    reply = call(robot, zsession, 10)
    return {g: (s, int(d)) for g, s, d in zip(reply.joint_groups, reply.int_container,
                                               reply.float_container)}


@pytest.mark.network
@pytest.mark.parametrize("stream,read,vectors", [("basic", read_basic, JOINT_VECTORS),
                                                 ("extra", read_extra, DESIRED_VECTORS)])
def test_stream_samples_hold_one_message_the_client_can_cut(robot, zsession, stream, read,
                                                            vectors) -> None:
    metadata = start_ids_and_dofs(robot, zsession)
    for key, payload in robot.samples[stream]:
        assert key == robot.key(stream)
        msg = read(payload)  # exactly one message: fixed array sizes, nothing after it
        assert msg.groups and len(msg.cartesian) == len(msg.groups)
        assert set(msg.groups) <= set(JOINT_GROUPS)
        # Every group has a start index and DoF, and every robot-wide vector covers them all.
        assert set(msg.groups) <= set(metadata)
        for start, dof in metadata.values():
            assert all(len(msg.vectors[name]) >= start + dof for name in vectors)


_INT_WORD = re.compile(rb"-?[0-9]*")  # a word the client reads as an integer
_NUMBER_WORD = re.compile(rb"[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?")
_STOI = re.compile(rb"\s*([+-]?[0-9]+)")
_STOD = re.compile(rb"\s*[+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?")


def _int32(text: bytes) -> bool:
    return -2**31 <= int(text) < 2**31


def check_primitive_states(entries: list[bytes], groups: set[int]) -> None:
    """What the client needs to turn the entries into primitive states without an error."""
    assert all(entries), entries  # an empty string makes the client ask again
    assert entries and entries[0].startswith(b"jointGroup"), entries
    blocks: dict[int, dict[bytes, bytes]] = {}
    for entry in entries:
        at = entry.find(b"=")
        assert at > 1 and entry[at - 1:at] == b" ", entry  # "name = value"
        name, word = entry[:at - 1], (entry[at + 1:].split() or [b""])[0]
        if word and _INT_WORD.fullmatch(word):
            assert word != b"-" and _int32(word), entry
        if entry.startswith(b"jointGroup"):
            assert re.fullmatch(rb"-?[0-9]+", word), entry
            number = int(word)
            assert number in groups and number not in blocks, entry
            blocks[number] = {}
        blocks[number].setdefault(name, word)
    for number, block in blocks.items():
        assert block.get(b"jointGroup") == str(number).encode(), block
        name = block.get(b"primitiveName")
        assert name is not None, block
        assert not (name and _INT_WORD.fullmatch(name)) and not _NUMBER_WORD.fullmatch(name), name


def check_content(request_id: int, reply: Reply, groups: set[int]) -> None:
    """The reply's content that the client relies on, per procedure."""
    assert reply.success is (request_id != 0)  # a probe's answer reports no success
    if request_id == 1:
        assert reply.string_container[:1] == [b"v2.1"]
    elif request_id == 3:
        check_primitive_states(reply.string_container, groups)
    elif request_id == 4:
        texts = reply.string_container
        assert len(texts) == 8, texts
        assert _STOD.match(texts[6]), texts  # velocity scale
        waiting = _STOI.match(texts[7])
        assert waiting and _int32(waiting[1]), texts
    elif request_id == 9:
        assert len(reply.joint_groups) == len(reply.float2d_container), reply
        assert set(reply.joint_groups) <= set(JOINT_GROUPS), reply
        assert all(len(packed) >= 8 for packed in reply.float2d_container), reply
    elif request_id == 10:
        assert len(reply.joint_groups) == len(reply.int_container) == len(
            reply.float_container), reply
        assert set(reply.joint_groups) <= set(JOINT_GROUPS), reply
        assert all(start >= 0 for start in reply.int_container), reply
        assert all(dof >= 0 for dof in reply.float_container), reply


@pytest.mark.network
@pytest.mark.parametrize("request_id", sorted(PROCEDURES))
def test_each_procedure_is_answered_once_as_the_client_needs(robot, zsession, request_id) -> None:
    groups = set(read_basic(robot.samples["basic"][-1][1]).groups)
    for _ in range(3):  # the answers follow the robot's motion; ask more than once
        check_content(request_id, call(robot, zsession, request_id), groups)


# ------------------------------------------------------------------------------------------------
# The client's side: it only subscribes and queries

QUERIES = ("connected", "groups", "states", "actions", "primitive_states", "configuration_score",
           "plan_info", "estop_released", "enabling_device_on", "digital_inputs",
           "digital_outputs")


# Stream keys of any robot: other simulated robots of this test process may be running.
_ROBOT_STREAM = re.compile(r"korvan/robot/[^/]+/(basic|extra)_stream_data")


@pytest.mark.network
def test_client_neither_publishes_nor_answers_queries(controlled_sim, client_process,
                                                      zsession) -> None:
    sim = controlled_sim(args=["--rate", "100"])
    sim_zid = str(await_queryable(zsession, sim.key("rpc")).replier_id.zid)
    streams = {sim.key("basic"), sim.key("extra")}
    seen: list[tuple[float, str]] = []
    lock = threading.Lock()

    def on_sample(sample: zenoh.Sample) -> None:
        key = str(sample.key_expr)
        if key in streams or not _ROBOT_STREAM.fullmatch(key):
            with lock:
                seen.append((time.monotonic(), key))

    def keys_since(t: float) -> set[str]:
        with lock:
            return {key for at, key in seen if at >= t}

    def peers() -> set[str]:
        return {str(zid) for zid in zsession.info.peers_zid()}

    subscriber = zsession.declare_subscriber("**", on_sample)
    try:
        before = peers()
        child = client_process()
        assert child.connect("client", sim.serial, verbose=False, attempts=5).raised is None
        # The child's session is connected to the test's: what it put would arrive here.
        deadline = time.monotonic() + 20.0
        while not (client_zids := peers() - before - {sim_zid}):
            assert time.monotonic() < deadline, "the client's session never connected"
            time.sleep(0.05)

        sim.command("pause all")
        time.sleep(IN_FLIGHT)
        quiet = time.monotonic()
        for query in QUERIES:
            assert child.call("client", query).raised is None, query
        assert child.connect("second", sim.serial, verbose=True).raised is None
        assert child.drop("second").raised is None

        # Whatever key the client might serve, only robots answer: this one exactly once.
        for key, expected in ((sim.key("basic"), 0), (sim.key("extra"), 0), (sim.key("rpc"), 1),
                              ("korvan/robot/" + sim.serial + "/**", 1), ("korvan/**", 1)):
            repliers = [str(r.replier_id.zid) for r in ask(zsession, key, request(0), 1.0)]
            assert repliers.count(sim_zid) == expected, (key, repliers)
            assert not client_zids & set(repliers), (key, repliers)
        assert keys_since(quiet) == set()

        sim.command("resume all")
        resumed = time.monotonic()
        while keys_since(resumed) != streams:
            assert time.monotonic() < resumed + 20.0, keys_since(resumed)
            time.sleep(0.02)
        assert keys_since(0.0) == streams
    finally:
        subscriber.undeclare()


def _declarers(watcher: zenoh.Session) -> dict[tuple[str, str], set[str]]:
    """Per (kind, key) of subscriber, queryable and liveliness token, the peers that declared it
    to ``watcher``, as the routing table in its own admin space lists them."""
    prefix = f"@/{watcher.zid()}/peer/"
    found: dict[tuple[str, str], set[str]] = {}
    for reply in watcher.get(prefix + "**", timeout=5.0):
        if reply.ok is None:
            continue
        kind, _, key = str(reply.ok.key_expr)[len(prefix):].partition("/")
        if kind in ("subscriber", "queryable", "token"):
            peers = json.loads(reply.ok.payload.to_bytes()).get("peers", [])
            found.setdefault((kind, key), set()).update(peers)
    return found


def _declarations(watcher: zenoh.Session, zids: set[str]) -> dict[str, set[str]]:
    """Subscribers, queryables and liveliness tokens that the peers ``zids`` have declared, by
    kind. A declaration that another peer makes too is that peer's: Zenoh's default failover
    brokering lets a peer pass on the declarations of peers it sees unconnected to each other."""
    found: dict[str, set[str]] = {"subscriber": set(), "queryable": set(), "token": set()}
    for (kind, key), peers in _declarers(watcher).items():
        if peers & zids and peers <= zids:
            found[kind].add(key)
    return found


# What the client may ask the robot: request id and the joint groups of the request.
CLIENT_REQUESTS = {(0, ()), (1, ()), (3, ()), (4, ()), (9, ()), (10, JOINT_GROUPS)}


@pytest.mark.network
def test_client_declares_only_its_two_subscribers_and_sends_only_its_requests(
        controlled_sim, client_process) -> None:
    sim = controlled_sim(args=["--rate", "100"])
    # A peer of its own (its admin space on, which the client's default configuration leaves
    # off) that takes every query on any key without answering it.
    config = zenoh.Config()
    config.insert_json5("adminspace", '{"enabled": true, "permissions": {"read": true}}')
    watcher = zenoh.open(config)
    queries: list[tuple[str, str, bytes]] = []
    lock = threading.Lock()

    def on_query(query: zenoh.Query) -> None:
        with lock:
            payload = query.payload.to_bytes() if query.payload is not None else b""
            queries.append((str(query.key_expr), str(query.parameters), payload))
        query.drop()

    queryable = watcher.declare_queryable("**", on_query)
    try:
        await_queryable(watcher, sim.key("rpc"))
        # The robot's session is not the client's, even if its transport to the watcher was being
        # set up again at this moment.
        before = {str(zid) for zid in watcher.info.peers_zid()}
        before |= _declarers(watcher).get(("queryable", sim.key("rpc")), set())
        child = client_process()
        assert child.connect("client", sim.serial, verbose=False, attempts=5).raised is None
        deadline = time.monotonic() + 20.0
        while not (client_zids := {str(z) for z in watcher.info.peers_zid()} - before):
            assert time.monotonic() < deadline, "the client's session never reached the peer"
            time.sleep(0.05)
        for query in QUERIES:
            assert child.call("client", query).raised is None, query
        # A second client on the same session repeats the start-up requests, in case the first
        # ones went out before the client's session knew this peer.
        assert child.connect("second", sim.serial, verbose=False).raised is None
        assert child.drop("second").raised is None

        declared = _declarations(watcher, client_zids)
        assert declared == {"subscriber": {sim.key("basic"), sim.key("extra")},
                            "queryable": set(), "token": set()}
        with lock:
            seen = list(queries)
        requests = set()
        for key, parameters, payload in seen:
            assert (key, parameters) == (sim.key("rpc"), ""), (key, parameters)
            reader = Reader(payload)
            requests.add((reader.u16(), tuple(reader.seq(reader.u16))))
            reader.end()
        assert requests == CLIENT_REQUESTS
    finally:
        queryable.undeclare()
        watcher.close()
