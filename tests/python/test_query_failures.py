"""Every way a query of korvantyr.Client fails against a simulated robot, watched from a child
process: the exact result or exception, the exact log lines, and then the same query answering
normally again once the fault is gone, with connected() still true.

One robot and one client serve the whole module: the client that has just failed is the one that
must go on working. The library never sets the logger's level, so only its error lines show; the
debug lines of a failed or rejected call do not, and those rows expect no line at all."""

from __future__ import annotations

import os
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

import pytest

from conftest import (
    ChildOutcome,
    ClientProcess,
    ControlledSim,
    connected_child,
    module_sim,
    reset_around,
)
from korvantyr_sim import RPCReply, encode

pytestmark = pytest.mark.network

SERIAL = f"KV-QRY-{os.getpid()}-FAIL"
CONNECTED = "[korvan::tyr::Client] Connected to the robot"
EXIT_LINE = ">>>>> Korvan TYR exited <<<<<"

# The dual-arm robot: group number, name and DoF.
DUAL_ARM = {0: ("ALL", 16), 2: ("ARMS", 14), 3: ("ARM_1", 7), 4: ("ARM_2", 7), 5: ("EXT_AXIS", 2)}
DOFS = {group: dof for group, (_, dof) in DUAL_ARM.items()}

# The procedure each remote query calls.
REQUEST_IDS = {"connected": 0, "primitive_states": 3, "plan_info": 4, "configuration_score": 9}

# What each query answers when nothing is wrong (dicts come back as [key, value] pairs).
NORMAL = {
    "connected": lambda value: value is True,
    "groups": lambda value: dict(value) == {g: name for g, (name, _) in DUAL_ARM.items()},
    "states": lambda value: {g: len(s["q"]) for g, s in value} == DOFS,
    "actions": lambda value: {g: len(a["q_d"]) for g, a in value} == DOFS,
    "plan_info": lambda value: value["assigned_plan_name"] == "PickAndPlace",
    "primitive_states": lambda value: [g for g, _ in value] == sorted(DOFS),
    "configuration_score": lambda value: [g for g, _ in value] == sorted(DOFS),
}


def normal(query: str, outcome: ChildOutcome) -> bool:
    return outcome.raised is None and outcome.log == [] and NORMAL[query](outcome.value)


def reply(request_id: int, **fields: Any) -> str:
    """A successful RPCReply in hex, for the robot's "payload" behaviour."""
    return encode(RPCReply(request_id, True, **fields)).hex()


def plan_info_reply(velocity_scale: str = "0.75", waiting_for_step: str = "0",
                    *, count: int = 8) -> str:
    texts = ["MoveJ", "MoveJ1", "rootNode/mainLoop/MoveJ1", "0.500", "1", "PickAndPlace",
             velocity_scale, waiting_for_step, "extra"]
    return "rpc 4 payload " + reply(4, string_container=[t.encode() for t in texts[:count]])


def primitive_reply(*entries: str) -> str:
    return "rpc 3 payload " + reply(3, string_container=[e.encode() for e in entries])


def manipulability_reply(groups: list[int], packed: list[list[float]]) -> str:
    return "rpc 9 payload " + reply(9, joint_groups=groups, float2d_container=packed)


@dataclass(frozen=True)
class Failure:
    """A query, the control command that makes it fail, and exactly what the failing call gives:
    its value or exception, the log lines, and (for remote queries) the requests it sends."""

    query: str
    fault: str
    value: Any = None
    raised: tuple[str, str] | None = None
    log: tuple[tuple[str, str], ...] = ()
    requests: int = 1

    @property
    def on_stream(self) -> bool:
        return self.fault.startswith("stream ")


def error(text: str) -> tuple[tuple[str, str], ...]:
    return (("error", text),)


PLAN_INFO = ("RuntimeError", "[korvan::tyr::Client] plan_info: No reply from the robot")
SCORE = ("RuntimeError", "[korvan::tyr::Model::configuration_score] No reply from the robot")


def primitives(message: str) -> tuple[str, str]:
    return ("RuntimeError", "[korvan::tyr::Client::primitive_states] " + message)


MALFORMED_ENTRY = primitives("Malformed primitive state entry")
KEYS_MISSING = primitives("Malformed primitive states: jointGroup or primitiveName missing")
INVALID_STOI = ("ValueError", "invalid stoi argument")
STOI_RANGE = ("IndexError", "stoi argument out of range")
# std::bad_variant_access has no Python counterpart: RuntimeError with the library's text.
BAD_VARIANT = ("RuntimeError", "std::get: wrong index for variant")
CONVERSION = "Invalid PlanInfo string conversion: "

FAILURES = [
    # A probe that gets no answer, or not the probe's answer, is no connection.
    *(pytest.param(Failure("connected", f"rpc 0 {behaviour}", value=False),
                   id=f"connected {behaviour}")
      for behaviour in ("no-reply", "hang", "error-reply", "trailing-byte", "wrong-id",
                        "flip-success")),

    # Stream data that decodes but does not fit the robot's joint groups.
    pytest.param(Failure("groups", "stream basic unknown-group", value=[], log=error(
        "[korvan::tyr::Client] The received basic data contains invalid joint group index [7]")),
        id="groups above 5"),
    pytest.param(Failure("groups", "stream basic unnamed-group", raised=("IndexError", "map::at")),
                 id="groups without a name"),
    pytest.param(Failure("states", "stream basic short-joints", value=[], log=error(
        "[korvan::tyr::Client] Failed to segment full-DoF joint data for joint group [0]")),
        id="states joints short"),
    pytest.param(Failure("states", "stream basic short-cartesian", value=[], log=error(
        "[korvan::tyr::Client] The received data has mismatched sizes: cartesian_data size is 4, "
        "expected number of joint groups is 5")), id="states cartesian short"),
    pytest.param(Failure("actions", "stream extra short-joints", value=[], log=error(
        "[korvan::tyr::Client] Failed to segment desired joint data for joint group [0]")),
        id="actions joints short"),
    pytest.param(Failure("actions", "stream extra short-cartesian", value=[], log=error(
        "[korvan::tyr::Client] The received desired data has mismatched sizes: cartesian_data "
        "size is 4, expected number of joint groups is 5")), id="actions cartesian short"),

    # plan_info(): one message for every cause; only the error lines tell them apart.
    *(pytest.param(Failure("plan_info", f"rpc 4 {behaviour}", raised=PLAN_INFO),
                   id=f"plan_info {behaviour}")
      for behaviour in ("hang", "error-reply", "undecodable", "wrong-id", "flip-success")),
    *(pytest.param(Failure("plan_info", plan_info_reply(count=count), raised=PLAN_INFO, log=error(
        "[korvan::tyr::Client] Size of plan info container is incorrect")),
        id=f"plan_info {count} strings") for count in (7, 9)),
    *(pytest.param(Failure("plan_info", plan_info_reply(*texts), raised=PLAN_INFO,
                           log=error(CONVERSION + message)), id=f"plan_info {message}")
      for texts, message in ((("abc",), "invalid stod argument"),
                             (("1e999",), "stod argument out of range"),
                             (("0.5", "true"), "invalid stoi argument"),
                             (("0.5", "4294967296"), "stoi argument out of range"))),

    # primitive_states(): each failure of the call and of reading the entries has its message.
    *(pytest.param(Failure("primitive_states", f"rpc 3 {behaviour}",
                           raised=primitives("No reply from the robot")),
                   id=f"primitive_states {behaviour}")
      for behaviour in ("no-reply", "flip-success")),
    pytest.param(Failure("primitive_states", primitive_reply("jointGroup = 3", "", "a = 1"),
                         raised=primitives("Still received corrupted data after several attempts"),
                         requests=6), id="primitive_states corrupted six times"),
    *(pytest.param(Failure("primitive_states", primitive_reply(*entries), raised=raised),
                   id=f"primitive_states {name}")
      for name, entries, raised in (
          ("marker without =", ("jointGroup 3", "primitiveName = P"), MALFORMED_ENTRY),
          ("entry without =", ("jointGroup = 3", "primitiveName = P", "a 1"), MALFORMED_ENTRY),
          ("entry starting with =", ("jointGroup = 3", "primitiveName = P", "= 1"),
           MALFORMED_ENTRY),
          ("group 1", ("jointGroup = 1", "primitiveName = P"),
           primitives("Received primitive states for unknown joint group")),
          ("group twice", ("jointGroup = 3", "primitiveName = P", "jointGroup = 3",
                           "primitiveName = Q"),
           primitives("Duplicate primitive states for a joint group")),
          ("entry before the marker", ("primitiveName = P", "jointGroup = 3"),
           primitives("Malformed primitive states: missing jointGroup marker")),
          ("no primitive name", ("jointGroup = 3", "a = 1"), KEYS_MISSING),
          ("marker without blank", ("jointGroup= 3", "primitiveName = P"), KEYS_MISSING),
          ("marker without digits", ("jointGroup = x", "primitiveName = P"), INVALID_STOI),
          ("marker out of range", ("jointGroup = 99999999999", "primitiveName = P"),
           STOI_RANGE),
          ("lone minus", ("jointGroup = 3", "primitiveName = P", "a = -"), INVALID_STOI),
          ("value out of range", ("jointGroup = 3", "primitiveName = P", "a = 99999999999"),
           STOI_RANGE),
          ("group not an integer", ("jointGroup = 3.5", "primitiveName = P"), BAD_VARIANT),
          ("name not a string", ("jointGroup = 3", "primitiveName = 42"), BAD_VARIANT),
      )),

    # configuration_score()
    *(pytest.param(Failure("configuration_score", f"rpc 9 {behaviour}", raised=SCORE),
                   id=f"configuration_score {behaviour}")
      for behaviour in ("no-reply", "undecodable", "wrong-id", "flip-success")),
    pytest.param(Failure("configuration_score", manipulability_reply([3, 4], [[0.5] * 8]),
                         raised=SCORE, log=error("Malformed manipulability reply: size mismatch "
                                                 "between joint_groups and float2d_container")),
                 id="configuration_score two groups one vector"),
    pytest.param(Failure("configuration_score", manipulability_reply([3], [[0.5] * 7]),
                         raised=SCORE, log=error("Malformed manipulability reply: packed vector "
                                                 "size [7], expecting at least [8]")),
                 id="configuration_score seven floats"),
]


@pytest.fixture(scope="module")
def robot(netns, tmp_path_factory) -> Iterator[ControlledSim]:
    with module_sim(tmp_path_factory.mktemp("query-failures"), SERIAL) as robot:
        yield robot


@pytest.fixture(scope="module")
def child(robot, tmp_path_factory) -> Iterator[ClientProcess]:
    with connected_child(tmp_path_factory.mktemp("child"), "client", SERIAL) as child:
        yield child


@pytest.fixture
def live(robot, child) -> Iterator[ControlledSim]:
    """The module's robot as started, no query counted yet."""
    yield from reset_around(robot)


@pytest.mark.parametrize("failure", FAILURES)
def test_failed_query_gives_exactly_this_and_the_client_keeps_working(live, child,
                                                                      failure) -> None:
    live.command(failure.fault)
    if failure.on_stream:
        outcome = child.call_until("client", failure.query, lambda o: not normal(failure.query, o))
    else:
        outcome = child.call("client", failure.query)
        # One call, no retry unless the reply was corrupted.
        assert live.count(REQUEST_IDS[failure.query]) == failure.requests
    assert (outcome.value, outcome.raised, outcome.log) == (
        failure.value, failure.raised, list(failure.log))

    live.command("reset")
    if failure.on_stream:
        child.call_until("client", failure.query, lambda o: normal(failure.query, o))
    else:
        again = child.call("client", failure.query)
        assert normal(failure.query, again), again
    assert normal("connected", child.call("client", "connected"))


def test_groups_without_start_id_and_dof_get_no_states_or_actions(live, child) -> None:
    # Start-up learns the start index and DoF of ALL, ARM_1 and ARM_2 only; the stream names ARMS
    # and EXT_AXIS too, so their joints can never be cut out, however good the data.
    live.command("rpc 10 payload " + reply(10, joint_groups=[0, 3, 4], int_container=[0, 0, 7],
                                           float_container=[16.0, 7.0, 7.0]))
    outcome = child.connect("partial", SERIAL, verbose=False)
    assert (outcome.raised, outcome.log) == (None, [("info", CONNECTED)])
    missing = error("[korvan::tyr::Client] Missing start ID or DoF metadata for joint group [2]")
    for query in ("states", "actions"):
        for _ in range(2):
            outcome = child.call("partial", query)
            assert (outcome.value, outcome.raised, outcome.log) == ([], None, list(missing))
    assert normal("groups", child.call("partial", "groups"))
    assert normal("connected", child.call("partial", "connected"))
    assert child.drop("partial").log == [("info", EXIT_LINE)]
