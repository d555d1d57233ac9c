"""Start-up of korvantyr.Client against a simulated robot, watched from a child process: the log
lines in their order, the connection probes, the version check, a robot whose basic stream is late,
and the exit line of every client that got a session.

One robot and one child process serve the whole module. The child keeps a "warm" client of the
robot alive, so its Zenoh session already knows the robot's queryable when a test constructs the
client it looks at: every probe that client sends reaches the robot and is counted there."""

from __future__ import annotations

import os
import time
from collections.abc import Iterator

import pytest
from zenoh.ext import Float32, Int32, UInt16, z_serialize

from conftest import (
    ChildOutcome,
    ClientProcess,
    ControlledSim,
    connected_child,
    module_sim,
    reset_around,
)

pytestmark = pytest.mark.network

# The serial number as the user spells it, and the canonical form the robot's keys are built from.
GIVEN_SERIAL = f"KV STU {os.getpid()}-START"
SERIAL = f"KV-STU-{os.getpid()}-START"

BANNER = "| | | | | | | | | |  Korvan TYR v2.1  | | | | | | | | | |"
SEARCHING = f"[korvan::tyr::Client] Searching for [{SERIAL}] ..."
CONNECTED = "[korvan::tyr::Client] Connected to the robot"
COMPLETE = "[korvan::tyr::Client] Initialization complete"
EXIT_LINE = ">>>>> Korvan TYR exited <<<<<"
NOT_FOUND = (
    f"[korvan::tyr::Client] Failed to connect to [{SERIAL}]. Please check that: a) Ethernet "
    "connection with the target robot is established; b) The specified serial number of the "
    "target robot is correct; c) No firewall is active or this TYR program is whitelisted; d) TYR "
    "version is compatible with the target robot's software version")
INCOMPATIBLE = (
    f"[korvan::tyr::Client] Version of this client is incompatible with robot [{SERIAL}]")
NO_VERSION = "[korvan::tyr::Client] Failed to sync TYR server version"
NO_START_IDS = "[korvan::tyr::Client] Failed to obtain robot start ID and DoF information"
BAD_SERIAL = "[korvan::tyr::Client] Format of the provided robot serial number is invalid"

DUAL_ARM = {0: ("ALL", 16), 2: ("ARMS", 14), 3: ("ARM_1", 7), 4: ("ARM_2", 7), 5: ("EXT_AXIS", 2)}
JOINT_VECTORS = ("q", "theta", "dq", "dtheta", "tau", "tau_dot", "tau_ext", "tau_interact",
                 "temperature")
DESIRED_VECTORS = ("q_d", "dq_d", "tau_d")
# Samples put before a pause was acknowledged may still be on their way for this long.
IN_FLIGHT = 0.2


def info(*texts: str) -> list[tuple[str, str]]:
    return [("info", text) for text in texts]


def group_line(name: str, dof: int) -> str:
    return f"[korvan::tyr::Client] Joint group: {name}, DoF: {dof}"


def reply_payload(request_id: int, success: bool = True, *, groups: tuple[int, ...] = (),
                  ints: tuple[int, ...] = (), strings: tuple[bytes, ...] = (),
                  floats: tuple[float, ...] = ()) -> str:
    """An RPCReply in hex for the robot's "payload" behaviour, written with Zenoh's serializer."""
    return z_serialize((
        UInt16(request_id), success, [UInt16(g) for g in groups], [Int32(i) for i in ints],
        list(strings), [Float32(f) for f in floats], [],
    )).to_bytes().hex()


def counts(robot: ControlledSim) -> dict[int, int]:
    """Queries received per procedure of the start-up: probe, version, start IDs and DoF."""
    return {request_id: robot.count(request_id) for request_id in (0, 1, 10)}


@pytest.fixture(scope="module")
def robot(netns, tmp_path_factory) -> Iterator[ControlledSim]:
    with module_sim(tmp_path_factory.mktemp("startup"), SERIAL) as robot:
        yield robot


@pytest.fixture(scope="module")
def child(robot, tmp_path_factory) -> Iterator[ClientProcess]:
    with connected_child(tmp_path_factory.mktemp("child"), "warm", GIVEN_SERIAL) as child:
        yield child


@pytest.fixture
def live(robot, child) -> Iterator[ControlledSim]:
    """The module's robot with its command-line behaviour and no query counted yet."""
    yield from reset_around(robot)


def connect(child: ClientProcess, verbose: bool) -> ChildOutcome:
    return child.connect("tested", GIVEN_SERIAL, verbose)


def assert_dropped_with_exit_line(child: ClientProcess) -> None:
    assert child.drop("tested").log == info(EXIT_LINE)


# ------------------------------------------------------------------------------------------------
# A successful start-up


START_ID_REPLIES = {
    # the robot's own answer: the dual-arm robot's groups and DoF
    "robot": (None, [DUAL_ARM[g] for g in sorted(DUAL_ARM)]),
    # groups listed out of order are logged in ascending group order
    "unordered": (reply_payload(10, groups=(5, 3, 0), ints=(9, 0, 0), floats=(2.0, 9.0, 11.0)),
                  [("ALL", 11), ("ARM_1", 9), ("EXT_AXIS", 2)]),
    # the DoF travels as a float and is logged as a whole number, cut toward zero
    "fractional": (reply_payload(10, groups=(4, 0), ints=(0, 0), floats=(6.9, 6.0)),
                   [("ALL", 6), ("ARM_2", 6)]),
    "no groups": (reply_payload(10), []),
}


@pytest.mark.parametrize("verbose", [True, False])
@pytest.mark.parametrize("start_ids", sorted(START_ID_REPLIES))
def test_start_up_logs_exactly_these_lines_in_order(live, child, start_ids, verbose) -> None:
    payload, groups = START_ID_REPLIES[start_ids]
    if payload is not None:
        live.command(f"rpc 10 payload {payload}")
    outcome = connect(child, verbose)
    assert outcome.raised is None
    if verbose:
        expected = [BANNER, SEARCHING, CONNECTED, *(group_line(*g) for g in groups), COMPLETE]
    else:
        expected = [CONNECTED]
    assert outcome.log == info(*expected)
    # One probe, one version request, one start ID and DoF request.
    assert counts(live) == {0: 1, 1: 1, 10: 1}
    assert_dropped_with_exit_line(child)


@pytest.mark.parametrize("behaviour,times", [
    ("no-reply", 1), ("error-reply", 1), ("wrong-id", 1), ("truncated", 1), ("trailing-byte", 1),
    # a probe answered with success true is no answer
    ("flip-success", 1),
    ("no-reply", 2),
])
def test_robot_that_answers_a_later_probe_is_found(live, child, behaviour, times) -> None:
    live.command(f"rpc 0 {behaviour} times {times}")
    outcome = connect(child, verbose=False)
    assert outcome.raised is None
    assert outcome.log == info(CONNECTED)
    assert counts(live) == {0: times + 1, 1: 1, 10: 1}
    assert_dropped_with_exit_line(child)


@pytest.mark.parametrize("behaviour", ["no-reply", "error-reply", "wrong-id", "flip-success"])
def test_robot_that_answers_no_probe_is_not_found(live, child, behaviour) -> None:
    # "flip-success" is a robot that answers every probe with success true.
    live.command(f"rpc 0 {behaviour}")
    outcome = connect(child, verbose=True)
    assert outcome.raised == ("RuntimeError", NOT_FOUND)
    assert outcome.log == info(BANNER, SEARCHING, EXIT_LINE)
    assert counts(live) == {0: 3, 1: 0, 10: 0}


# ------------------------------------------------------------------------------------------------
# Start-up that fails after the connection


DOF_MISSING = reply_payload(10, groups=(0, 3, 4), ints=(0, 0, 7), floats=(14.0, 7.0))
# Error lines a failure writes before the exit line.
FAILURE_LINES = {
    f"rpc 10 payload {DOF_MISSING}": [(
        "error", "Malformed start ID reply: size mismatch between joint_groups, int_container, "
                 "and float_container")],
}


def version_reply(*versions: bytes) -> str:
    return f"rpc 1 payload {reply_payload(1, strings=versions)}"


FAILURES_AFTER_CONNECTING = [
    # command for the robot, the exception's message, start ID requests
    pytest.param(version_reply(b"v2.1 "), INCOMPATIBLE, 0, id="version trailing blank"),
    pytest.param(version_reply(b"v2.1x"), INCOMPATIBLE, 0, id="version trailing letter"),
    pytest.param(version_reply(b"v2.1\x00"), INCOMPATIBLE, 0, id="version trailing zero byte"),
    pytest.param(version_reply(b"v2.2"), INCOMPATIBLE, 0, id="version v2.2"),
    pytest.param(version_reply(b"v2.10"), INCOMPATIBLE, 0, id="version v2.10"),
    pytest.param(version_reply(b"v2."), INCOMPATIBLE, 0, id="version cut short"),
    pytest.param(version_reply(b"V2.1"), INCOMPATIBLE, 0, id="version other case"),
    pytest.param(version_reply(b" v2.1"), INCOMPATIBLE, 0, id="version leading blank"),
    pytest.param(version_reply(b""), INCOMPATIBLE, 0, id="version empty"),
    # only the first string is the version
    pytest.param(version_reply(b"v2.2", b"v2.1"), INCOMPATIBLE, 0, id="version second string"),
    pytest.param(version_reply(), NO_VERSION, 0, id="no version string"),
    pytest.param("rpc 1 flip-success", NO_VERSION, 0, id="version without success"),
    pytest.param("rpc 1 no-reply", NO_VERSION, 0, id="no version reply"),
    pytest.param("rpc 10 no-reply", NO_START_IDS, 1, id="no start ID reply"),
    pytest.param("rpc 10 wrong-id", NO_START_IDS, 1, id="start IDs for another request"),
    pytest.param(f"rpc 10 payload {DOF_MISSING}", NO_START_IDS, 1, id="start IDs, a DoF missing"),
]


@pytest.mark.parametrize("command,message,start_id_requests", FAILURES_AFTER_CONNECTING)
def test_start_up_failure_after_connecting_logs_the_exit_line_once(
        live, child, command, message, start_id_requests) -> None:
    live.command(command)
    outcome = connect(child, verbose=True)
    assert outcome.raised == ("RuntimeError", message)
    assert outcome.log == [*info(BANNER, SEARCHING, CONNECTED), *FAILURE_LINES.get(command, []),
                           *info(EXIT_LINE)]
    assert counts(live) == {0: 1, 1: 1, 10: start_id_requests}


def test_version_is_taken_from_the_first_string(live, child) -> None:
    live.command(version_reply(b"v2.1", b"v2.2"))
    outcome = connect(child, verbose=False)
    assert outcome.raised is None and outcome.log == info(CONNECTED)
    assert_dropped_with_exit_line(child)


@pytest.mark.parametrize("verbose", [True, False])
@pytest.mark.parametrize("serial", ["KV_STU-START", "KVSTU", "KV STU-", " KV-START",
                                    "KV  STU-START", "KV STU -START"])
def test_malformed_serial_fails_before_any_session_without_exit_line(live, child, serial,
                                                                     verbose) -> None:
    outcome = child.connect("tested", serial, verbose)
    assert outcome.raised == ("ValueError", BAD_SERIAL)
    # The banner comes before the serial number is checked; nothing after it.
    assert outcome.log == (info(BANNER) if verbose else [])


# ------------------------------------------------------------------------------------------------
# No basic stream message before the joint groups are read


def pairs(outcome: ChildOutcome) -> dict[int, object]:
    assert outcome.raised is None and outcome.log == [], outcome
    return dict(outcome.value)


def poll(child: ClientProcess, method: str, condition) -> dict[int, object]:
    return pairs(child.call_until("tested", method, lambda outcome: condition(pairs(outcome))))


def assert_cartesian_only(records: dict[int, dict], vectors: tuple[str, ...], pose: str) -> None:
    assert sorted(records) == sorted(DUAL_ARM)
    for record in records.values():
        assert all(record[name] == [] for name in vectors), record
        assert record["timestamp"] == [0, 0]
        assert len(record[pose]) == 7 and any(record[pose]), record[pose]


def test_client_that_missed_the_basic_stream_never_carries_joint_data(live, child) -> None:
    live.command("pause basic")
    time.sleep(IN_FLIGHT)
    outcome = connect(child, verbose=False)
    assert outcome.raised is None and outcome.log == info(CONNECTED)
    assert pairs(child.call("tested", "groups")) == {}
    assert pairs(child.call("tested", "states")) == {}
    # The extra stream runs: its groups get records with their Cartesian values only.
    actions = poll(child, "actions", bool)
    assert_cartesian_only(actions, DESIRED_VECTORS, "tcp_pose_d")

    live.command("resume basic")
    names = {g: name for g, (name, _) in DUAL_ARM.items()}
    # groups() follows the latest basic message; the joint groups of start-up stay empty.
    poll(child, "groups", lambda groups: groups == names)
    first = poll(child, "states", bool)
    assert_cartesian_only(first, JOINT_VECTORS, "tcp_pose")
    later = poll(child, "states", lambda states: states[0]["tcp_pose"] != first[0]["tcp_pose"])
    assert_cartesian_only(later, JOINT_VECTORS, "tcp_pose")
    assert_cartesian_only(pairs(child.call("tested", "actions")), DESIRED_VECTORS, "tcp_pose_d")

    # The warm client, started while the stream ran, gets the joints of every group.
    warm = pairs(child.call("warm", "states"))
    assert {g: len(s["q"]) for g, s in warm.items()} == {g: d for g, (_, d) in DUAL_ARM.items()}
    assert all(s["timestamp"] != [0, 0] for s in warm.values())
    assert_dropped_with_exit_line(child)
