"""korvantyr.Client: its Python face, and one client against the simulated robot."""

from __future__ import annotations

import math
import pickle
import time

import pytest

import korvantyr
from korvantyr import Client, JointGroup

# The dual-arm robot of the simulator: group, name and DoF.
DUAL_ARM = {
    JointGroup.ALL: ("ALL", 16),
    JointGroup.ARMS: ("ARMS", 14),
    JointGroup.ARM_1: ("ARM_1", 7),
    JointGroup.ARM_2: ("ARM_2", 7),
    JointGroup.EXT_AXIS: ("EXT_AXIS", 2),
}
FIXED20 = "Annotated[list[bool], FixedSize(20)]"

SIGNATURES = {
    "__init__": "(self: korvantyr.Client, robot_sn: str, verbose: bool = True) -> None",
    "connected": "(self: korvantyr.Client) -> bool",
    "groups": "(self: korvantyr.Client) -> dict[korvantyr.JointGroup, str]",
    "states": "(self: korvantyr.Client) -> dict[korvantyr.JointGroup, korvantyr.RobotStates]",
    "actions": "(self: korvantyr.Client) -> dict[korvantyr.JointGroup, korvantyr.RobotActions]",
    "primitive_states":
        "(self: korvantyr.Client) -> dict[korvantyr.JointGroup, korvantyr.PrimitiveStates]",
    "configuration_score":
        "(self: korvantyr.Client) -> dict[korvantyr.JointGroup, tuple[float, float]]",
    "plan_info": "(self: korvantyr.Client) -> korvantyr.PlanInfo",
    "estop_released": "(self: korvantyr.Client) -> bool",
    "enabling_device_on": "(self: korvantyr.Client) -> bool",
    "digital_inputs": f"(self: korvantyr.Client) -> {FIXED20}",
    "digital_outputs": f"(self: korvantyr.Client) -> {FIXED20}",
    "__repr__": "(self: korvantyr.Client) -> str",
}


def test_client_is_registered_last_with_exactly_its_methods() -> None:
    assert [name for name in vars(korvantyr) if not name.startswith("__")][-1] == "Client"
    own = {name for name in vars(Client) if not name.startswith("_") or name in SIGNATURES}
    assert own == set(SIGNATURES)


@pytest.mark.parametrize("method", sorted(SIGNATURES))
def test_signature_as_rendered_without_docstring(method: str) -> None:
    assert getattr(Client, method).__doc__ == method + SIGNATURES[method] + "\n"


def test_serial_with_underscore_is_refused_before_any_connection() -> None:
    with pytest.raises(ValueError) as info:
        Client(robot_sn="KV_7-0001", verbose=False)
    assert str(info.value) == (
        "[korvan::tyr::Client] Format of the provided robot serial number is invalid")


@pytest.mark.network
def test_client_answers_every_query_from_the_robot(sim) -> None:
    robot = sim()
    client = Client(robot.serial, verbose=False)
    assert repr(client) == "<korvantyr.Client>"
    assert client.connected() is True

    expected_names = {group: name for group, (name, _) in DUAL_ARM.items()}
    assert client.groups() == expected_names
    assert all(type(key) is JointGroup for key in client.groups())

    states = client.states()
    assert list(states) == list(DUAL_ARM)
    for group, record in states.items():
        assert type(group) is JointGroup and isinstance(record, korvantyr.RobotStates)
        assert len(record.q) == DUAL_ARM[group][1]
        assert math.isclose(sum(v * v for v in record.tcp_pose[3:]), 1.0, rel_tol=1e-4)
    actions = client.actions()
    assert [len(a.q_d) for a in actions.values()] == [dof for _, dof in DUAL_ARM.values()]

    primitives = client.primitive_states()
    assert list(primitives) == list(DUAL_ARM)
    assert all(p.pt_name in ("MoveJ", "MoveL", "Contact", "Hold") for p in primitives.values())
    assert all(type(p.names_and_values["cycleCount"]) is int for p in primitives.values())

    scores = client.configuration_score()
    assert list(scores) == list(DUAL_ARM)
    for pair in scores.values():
        assert type(pair) is tuple and len(pair) == 2
        assert all(type(s) is float and 0.0 <= s <= 100.0 for s in pair)

    plan = client.plan_info()
    assert isinstance(plan, korvantyr.PlanInfo)
    assert plan.assigned_plan_name == "PickAndPlace"
    assert plan.node_path == "rootNode/mainLoop/" + plan.node_name

    assert client.estop_released() is True
    assert type(client.enabling_device_on()) is bool
    for io in (client.digital_inputs(), client.digital_outputs()):
        assert type(io) is list and len(io) == 20 and all(type(b) is bool for b in io)

    # Every call builds new objects: changing one answer leaves the next untouched.
    states[JointGroup.ALL].q = []
    assert len(client.states()[JointGroup.ALL].q) == 16

    with pytest.raises(TypeError):
        client.connected(True)
    with pytest.raises(TypeError):
        client.states(JointGroup.ALL)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        with pytest.raises(TypeError):
            pickle.dumps(client, protocol)


@pytest.mark.network
def test_failed_remote_query_raises_and_the_client_keeps_working(controlled_sim) -> None:
    robot = controlled_sim(args=["--rate", "50"])
    client = Client(robot_sn=robot.serial, verbose=False)
    robot.command("rpc 4 no-reply times 1")
    started = time.monotonic()
    with pytest.raises(RuntimeError, match=r"^\[korvan::tyr::Client\] plan_info: No reply"):
        client.plan_info()
    assert time.monotonic() - started < 5.0
    assert client.connected() is True
    assert client.plan_info().assigned_plan_name == "PickAndPlace"


@pytest.mark.network
def test_incompatible_robot_raises_runtime_error(sim) -> None:
    robot = sim(args=["--server-version", "v2.2"])
    with pytest.raises(RuntimeError) as info:
        Client(robot.serial, False)
    assert str(info.value) == (
        f"[korvan::tyr::Client] Version of this client is incompatible with robot [{robot.serial}]")
