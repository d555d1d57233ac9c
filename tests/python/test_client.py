"""korvantyr.Client: its Python face, and clients against simulated robots."""

from __future__ import annotations

import math
import os
import pickle
import subprocess
import sys
import threading
import time

import pytest

import korvantyr
from korvantyr import Client, JointGroup
from korvantyr_sim import RPCReply, encode

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


@pytest.mark.parametrize("method", sorted(SIGNATURES))
def test_methods_read_like_binding_functions(method: str) -> None:
    attribute = vars(Client)[method]
    assert type(attribute).__name__ == "instancemethod"
    function = attribute.__func__
    assert (function.__name__, function.__qualname__, function.__module__) == \
        (method, f"PyCapsule.{method}", "korvantyr")


@pytest.mark.parametrize("method", sorted(set(SIGNATURES) - {"__init__"}))
def test_methods_refuse_what_is_not_a_ready_client(method: str) -> None:
    class NotInitialised(Client):
        def __init__(self) -> None:  # never reaches the base class
            pass

    with pytest.raises(TypeError, match=r"^korvantyr.Client.__init__\(\) must be called when "
                                        r"overriding __init__$"):
        getattr(NotInitialised(), method)()
    for args, kwargs in (((5,), {}), ((None,), {}), ((), {"self": 5})):
        with pytest.raises(TypeError, match=rf"^{method}\(\): incompatible function arguments"):
            getattr(Client, method)(*args, **kwargs)


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
def test_per_group_dicts_are_keyed_by_the_members_and_hold_new_records(sim) -> None:
    robot = sim()
    client = Client(robot.serial, verbose=False)
    assert _wait_until(lambda: client.states() and client.actions())
    queries = (client.groups, client.states, client.actions, client.primitive_states,
               client.configuration_score)
    for query in queries:
        answer = query()
        assert list(answer) == list(DUAL_ARM), query.__name__
        for key in answer:
            member = getattr(JointGroup, key.name)
            assert key is member and key is getattr(korvantyr, key.name)
            assert key == member and hash(key) == hash(member)
        # Look-ups the way users write them, hashing and comparing through the enumeration.
        assert answer[korvantyr.ARM_1] is answer[JointGroup(3)]
        assert JointGroup.UNKNOWN not in answer and JointGroup.EXT_AXIS in answer

    # A subclass, and the methods called through the class, answer as the client itself does.
    class Mine(Client):
        pass

    mine = Mine(robot.serial, verbose=False)
    for name in ("estop_released", "enabling_device_on", "digital_inputs", "digital_outputs"):
        answers = [getattr(client, name)(), getattr(Client, name)(client), getattr(mine, name)()]
        assert all(type(a) is type(answers[0]) and a == answers[0] for a in answers), name
        if isinstance(answers[0], list):
            assert answers[0] is not answers[1] and len(answers[0]) == 20
    del mine

    for query in (client.states, client.actions):
        first, second = query(), query()
        records = list(first.values()) + list(second.values())
        assert len({id(record) for record in records}) == len(records)
        # The records hold their own values: a change to one shows in no other.
        first[JointGroup.ARM_1].timestamp = (-1, -1)
        assert second[JointGroup.ARM_1].timestamp != (-1, -1)
        assert first[JointGroup.ARM_2].timestamp != (-1, -1)


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


# The robot's strings may hold any bytes. (bytes sent, text read)
ROBOT_TEXTS = {
    "Latin-1": (b"Pr\xfcfung", "Pr\ufffdfung"),
    "multi-byte character cut short": ("Prü".encode()[:-1], "Pr\ufffd"),
    "valid non-ASCII": ("Prüfung→Ablage✓".encode(), "Prüfung→Ablage✓"),
}


@pytest.mark.network
def test_robot_text_reads_as_utf8_with_invalid_bytes_replaced(controlled_sim) -> None:
    def answer(request_id: int, strings: list[bytes]) -> None:
        reply = encode(RPCReply(request_id, True, string_container=strings)).hex()
        robot.command(f"rpc {request_id} payload {reply}")

    robot = controlled_sim(args=["--rate", "50"])
    client = _connect(robot.serial)
    for case, (sent, read) in ROBOT_TEXTS.items():
        # Each text field gets its own prefix, so a field read from another one shows.
        answer(4, [str(i).encode() + sent for i in range(6)] + [b"0.75", b"1"])
        plan = client.plan_info()
        texts = [plan.pt_name, plan.node_name, plan.node_path, plan.node_path_time_period,
                 plan.node_path_number, plan.assigned_plan_name]
        assert texts == [str(i) + read for i in range(6)], case
        assert (plan.velocity_scale, plan.waiting_for_step) == (0.75, True), case

        # "name = value"; the name ends one byte before "=", so "grü=" cuts "ü" in half.
        answer(3, [b"jointGroup = 3", b"primitiveName = " + sent, b"label = " + sent,
                   sent + b" = 1", "grü= 2".encode()])
        primitive = client.primitive_states()[JointGroup.ARM_1]
        assert primitive.pt_name == read, case
        assert primitive.names_and_values == {"label": read, read: 1, "gr\ufffd": 2}, case

    # Assignment from Python is the standard conversion: what is assigned reads back.
    primitive.pt_name = "Prüfung"
    primitive.names_and_values = {"Prüfung": "✓"}
    assert (primitive.pt_name, primitive.names_and_values) == ("Prüfung", {"Prüfung": "✓"})


# ------------------------------------------------------------------------------------------------
# Several threads, several clients, a robot that goes away, the exit line

SINGLE_ARM = {JointGroup.ALL: "ALL", JointGroup.ARM_1: "ARM_1"}
EXIT_LINE = ">>>>> Korvan TYR exited <<<<<"


def _wait_until(condition, timeout: float = 10.0) -> bool:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.02)
    return condition()


def _stream_advances(client: Client) -> bool:
    """Whether the client's basic stream data changes within a few seconds."""
    first = client.states()[JointGroup.ALL].timestamp
    return _wait_until(lambda: client.states()[JointGroup.ALL].timestamp != first)


def _connect(serial: str) -> Client:
    return Client(serial, verbose=False)


@pytest.mark.network
def test_plan_info_from_two_threads_runs_one_call_after_the_other(controlled_sim) -> None:
    robot = controlled_sim(args=["--rate", "50"])
    client = _connect(robot.serial)
    before = robot.count(4)
    robot.command("rpc 4 delay 300")
    results: list[object] = [None, None]
    spans: list[tuple[float, float]] = [(0.0, 0.0), (0.0, 0.0)]
    start = threading.Barrier(2)

    def ask(index: int) -> None:
        start.wait()
        began = time.monotonic()
        try:
            results[index] = client.plan_info()
        except Exception as exc:  # noqa: BLE001 - reported by the assertions below
            results[index] = exc
        spans[index] = (began, time.monotonic())

    threads = [threading.Thread(target=ask, args=(i,)) for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30.0)
    assert not any(thread.is_alive() for thread in threads)
    assert all(isinstance(r, korvantyr.PlanInfo) for r in results), results
    assert all(r.assigned_plan_name == "PickAndPlace" for r in results)
    # Both requests reached the robot.
    assert robot.count(4) == before + 2
    # Each reply comes 300 ms late; had the two waits overlapped, both would be over after about
    # 300 ms. (A thread records its times only once it holds the GIL again, so compare the span.)
    assert max(end for _, end in spans) - min(began for began, _ in spans) >= 0.55, spans
    assert client.connected() is True


@pytest.mark.network
def test_two_clients_for_one_robot_work_at_once(sim) -> None:
    robot = sim()
    first = _connect(robot.serial)
    second = _connect(robot.serial)
    for client in (first, second):
        assert client.connected() is True
        assert list(client.states()) == list(DUAL_ARM)
        assert client.plan_info().assigned_plan_name == "PickAndPlace"
        assert _stream_advances(client)
    # The second client keeps its own subscriptions and queries when the first one goes.
    del first
    assert second.connected() is True
    assert _stream_advances(second)
    assert list(second.configuration_score()) == list(DUAL_ARM)


@pytest.mark.network
def test_clients_for_two_robots_see_only_their_own_robot(sim) -> None:
    dual = sim(preset="dual-arm")
    single = sim(preset="single-arm")
    dual_client = _connect(dual.serial)
    single_client = _connect(single.serial)
    for _ in range(3):  # repeated, so that a sample of the other robot would show up
        assert dual_client.groups() == {g: name for g, (name, _) in DUAL_ARM.items()}
        assert single_client.groups() == SINGLE_ARM
        assert {g: len(s.q) for g, s in dual_client.states().items()} == {
            g: dof for g, (_, dof) in DUAL_ARM.items()}
        assert {g: len(s.q) for g, s in single_client.states().items()} == {
            JointGroup.ALL: 7, JointGroup.ARM_1: 7}
        assert list(dual_client.actions()) == list(DUAL_ARM)
        assert list(single_client.actions()) == list(SINGLE_ARM)
        assert list(dual_client.primitive_states()) == list(DUAL_ARM)
        assert list(single_client.configuration_score()) == list(SINGLE_ARM)
        time.sleep(0.05)
    dual.stop()
    assert dual_client.connected() is False
    assert single_client.connected() is True


@pytest.mark.network
def test_robot_gone_connected_is_false_and_stream_queries_still_answer(sim) -> None:
    robot = sim()
    client = _connect(robot.serial)
    assert client.connected() is True
    robot.stop()
    started = time.monotonic()
    assert client.connected() is False
    assert time.monotonic() - started < 5.0
    # The latest data received stays readable.
    assert list(client.states()) == list(DUAL_ARM)
    assert client.groups() == {g: name for g, (name, _) in DUAL_ARM.items()}
    assert len(client.digital_inputs()) == 20
    assert client.connected() is False


# The documented outcome of each remote query whose robot dies while it holds the query.
KILLED_MID_CALL = [
    ("plan_info", 4, ("RuntimeError", "[korvan::tyr::Client] plan_info: No reply from the robot")),
    ("primitive_states", 3,
     ("RuntimeError", "[korvan::tyr::Client::primitive_states] No reply from the robot")),
    ("configuration_score", 9,
     ("RuntimeError", "[korvan::tyr::Model::configuration_score] No reply from the robot")),
    ("connected", 0, False),
]


@pytest.mark.network
@pytest.mark.parametrize("method,request_id,expected", KILLED_MID_CALL,
                         ids=[m for m, _, _ in KILLED_MID_CALL])
def test_robot_killed_mid_call_fails_the_call_and_its_restart_is_served_again(
        controlled_sim, client_process, method, request_id, expected) -> None:
    # The client in a process of its own: a remote call holds the GIL of its process throughout.
    robot = controlled_sim(args=["--rate", "200"])
    child = client_process()
    assert child.connect("client", robot.serial, verbose=False, attempts=5).raised is None
    stamp = dict(child.call("client", "states").value)[int(JointGroup.ALL)]["timestamp"]
    robot.command(f"rpc {request_id} hang")
    # The probe (request 0) was asked while connecting too, once or more.
    before = robot.count(request_id)
    command = {"op": "call", "name": "client", "method": method}
    child.start(command)
    assert _wait_until(lambda: robot.count(request_id) == before + 1)  # the robot holds the query
    robot.proc.kill()
    robot.proc.wait(10)
    outcome = child.outcome(command)
    assert (outcome.raised if outcome.raised is not None else outcome.value) == expected
    assert child.call("client", "connected").value is False

    # The same robot back under the same serial number: found again, its streams flow again.
    controlled_sim(robot.serial, args=["--rate", "200"])
    child.call_until("client", "connected", lambda o: o.value is True, timeout=20.0)
    child.call_until("client", "states", lambda o: o.value and dict(o.value)[
        int(JointGroup.ALL)]["timestamp"] > stamp, timeout=20.0)
    assert child.call("client", "plan_info").value["assigned_plan_name"] == "PickAndPlace"


def _threads_and_descriptors(pid: int) -> tuple[int, int]:
    return len(os.listdir(f"/proc/{pid}/task")), len(os.listdir(f"/proc/{pid}/fd"))


@pytest.mark.network
def test_clients_created_and_destroyed_leave_no_thread_or_descriptor_behind(
        sim, client_process) -> None:
    robot = sim()
    child = client_process()
    # The first client starts Zenoh's runtime, which stays; each later one opens and closes the
    # session again, since no other client holds it meanwhile.
    assert child.connect("first", robot.serial, verbose=False, attempts=5).raised is None
    assert child.drop("first").raised is None
    threads, descriptors = _threads_and_descriptors(child.proc.pid)
    for i in range(20):
        assert child.connect(f"c{i}", robot.serial, verbose=False, attempts=5).raised is None
        assert child.call(f"c{i}", "connected").value is True
        assert child.drop(f"c{i}").raised is None
    # Zenoh's runtime adds worker threads under load and lets them go once idle (about 10 s):
    # a leak stays, a busy runtime does not.
    def settled() -> bool:
        now_threads, now_descriptors = _threads_and_descriptors(child.proc.pid)
        return now_threads <= threads and now_descriptors <= descriptors

    assert _wait_until(settled, timeout=30.0), _threads_and_descriptors(child.proc.pid)


def _client_process_stdout(serial: str) -> str:
    """Constructs and destroys one client in a child process (inside this test's namespace) and
    returns what the child printed; the library logs to the default logger on stdout. A fresh
    session may miss the robot's queryable at first: each failed connection attempt is printed
    as "ATTEMPT" too, and each one must have logged the exit line as well."""
    snippet = (
        "import sys, time, korvantyr\n"
        "for attempt in range(5):\n"
        "    print('ATTEMPT', flush=True)\n"
        "    try:\n"
        "        client = korvantyr.Client(sys.argv[1], False)\n"
        "    except Exception as exc:\n"
        "        if 'Failed to connect to [' in str(exc) and attempt < 4:\n"
        "            time.sleep(0.2)\n"
        "            continue\n"
        "        print('RAISED', type(exc).__name__, flush=True)\n"
        "    else:\n"
        "        print('CONNECTED', client.connected(), flush=True)\n"
        "        del client\n"
        "    break\n"
        "print('AFTER', flush=True)\n"
    )
    done = subprocess.run([sys.executable, "-c", snippet, serial], capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.mark.network
def test_exit_line_is_logged_once_per_client_that_got_a_connection(sim) -> None:
    robot = sim()
    out = _client_process_stdout(robot.serial)
    assert "CONNECTED True" in out
    assert out.count(EXIT_LINE) == out.count("ATTEMPT")
    assert out.rindex(EXIT_LINE) < out.index("AFTER")  # logged by the destructor, not at exit

    old = sim(args=["--server-version", "v2.2"])
    out = _client_process_stdout(old.serial)
    assert "RAISED RuntimeError" in out
    assert out.count(EXIT_LINE) == out.count("ATTEMPT")
    assert out.rindex(EXIT_LINE) < out.index("RAISED")

    out = _client_process_stdout("KV_7-0001")
    assert "RAISED ValueError" in out and out.count("ATTEMPT") == 1
    assert EXIT_LINE not in out


@pytest.mark.network
def test_robot_that_comes_up_while_the_client_probes_is_found(netns) -> None:
    # Nothing answers the first probes: Zenoh ends them at once. Each probe still spends its
    # time-out, so a robot that is ready within them is found instead of failing in milliseconds.
    from conftest import sim_env

    serial = "KV-7-LATE"
    robot = subprocess.Popen(
        [sys.executable, "-m", "korvantyr_sim", "--serial", serial, "--rate", "200"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
        env=sim_env())
    try:
        client = Client(serial, verbose=False)
        assert client.connected()
        del client
    finally:
        robot.terminate()
        robot.wait(timeout=10)

