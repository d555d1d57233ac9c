"""korvantyr-relay between two computers whose network drops multicast: a "pc" host where the
clients run and a "robot" host, joined by a link on which a traffic-control rule drops multicast
(the module's fixture proves it does, and that unicast still crosses). The clients keep Zenoh's
default configuration: without the relay they cannot find the robot; with it every call goes
through the relay, also when the robot's own address is unreachable (a forwarded port), and they
recover when the relay comes back. The relay's listener is on loopback only unless told otherwise.

Every process runs in its host through ``ip netns exec``; the hosts are removed afterwards."""

from __future__ import annotations

import os
import queue
import re
import signal
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from dataclasses import dataclass
from pathlib import Path

import netns as netns_harness
import pytest
from conftest import (REPO, ClientProcess, ControlledSim, check_sim_stderr, installed_command,
                      start_controlled_sim)

pytestmark = pytest.mark.network

SERIAL = f"KV-RLY-{os.getpid()}-1"
ROBOT_PORT = 7447
NOT_FOUND = f"[korvan::tyr::Client] Failed to connect to [{SERIAL}]."
PLAN_INFO_FAILS = ("RuntimeError", "[korvan::tyr::Client] plan_info: No reply from the robot")
PRIMITIVES_FAIL = ("RuntimeError",
                   "[korvan::tyr::Client::primitive_states] No reply from the robot")
SCORE_FAILS = ("RuntimeError", "[korvan::tyr::Model::configuration_score] No reply from the robot")
REMOTE_CALLS = ("plan_info", "primitive_states", "configuration_score")
FORWARDER = REPO / "tests" / "support" / "forward.py"


class Relay:
    """korvantyr-relay running in a host, its output lines collected as they come."""

    def __init__(self, host: netns_harness.Host, *args: str) -> None:
        self.proc = subprocess.Popen(host.argv(str(installed_command("korvantyr-relay")), *args),
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.seen: list[str] = []
        self.errors = ""
        self._lines: queue.Queue[str | None] = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self) -> None:
        assert self.proc.stdout is not None
        with self.proc.stdout:
            for line in self.proc.stdout:
                self._lines.put(line.rstrip("\n"))
        self._lines.put(None)

    def wait_for(self, text: str, timeout: float = 20.0) -> str:
        """The next line that contains ``text``."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self._lines.get(timeout=max(0.0, deadline - time.monotonic()))
            except queue.Empty:
                line = None
            if line is None:
                self.proc.poll()
                pytest.fail(f"the relay did not say {text!r}; it said {self.seen}, exit status "
                            f"{self.proc.returncode}", pytrace=False)
            self.seen.append(line)
            if text in line:
                return line

    def stop(self, sig: int = signal.SIGTERM, timeout: float = 10.0) -> int:
        """Sends ``sig`` (SIGKILL if it does not end in time) and returns the exit status; the
        lines written until then can still be waited for."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout)
        assert self.proc.stderr is not None
        if not self.proc.stderr.closed:
            self.errors = self.proc.stderr.read()
            self.proc.stderr.close()
        return self.proc.returncode


@dataclass
class Lab:
    pc: netns_harness.Host
    robot: netns_harness.Host
    link: netns_harness.Link
    directory: Path

    @property
    def endpoint(self) -> str:
        return f"tcp/{self.link.addr_b}:{ROBOT_PORT}"

    def client(self, name: str) -> ClientProcess:
        return ClientProcess(self.directory / f"client-{name}.stderr", prefix=self.pc.argv())

    def established(self) -> list[tuple[str, str, int]]:
        """The pc's established TCP connections: (local, remote, pid of the owner)."""
        out = subprocess.run(self.pc.argv("ss", "-Htnp", "state", "established"),
                             capture_output=True, text=True, check=True).stdout
        found = []
        for line in out.splitlines():
            fields = line.split()
            pid = re.search(r"pid=(\d+)", line)
            found.append((fields[2], fields[3], int(pid[1]) if pid else -1))
        return found


@pytest.fixture(scope="module")
def lab(netns: netns_harness.Namespace, tmp_path_factory: pytest.TempPathFactory) -> Iterator[Lab]:
    with netns_harness.Hosts() as hosts:
        pc, robot = hosts.add("pc"), hosts.add("robot")
        link = hosts.link(pc, robot, drop_multicast=True)
        # The rule is in effect: multicast does not cross (either way), unicast does.
        assert netns_harness.probe_link(link) == {"multicast": False, "unicast": True}
        reverse = netns_harness.Link(robot, pc, link.dev_b, link.dev_a, link.addr_b, link.addr_a,
                                     link.prefix, True)
        assert netns_harness.probe_link(reverse) == {"multicast": False, "unicast": True}
        assert netns_harness.multicast_drops(pc, link.dev_a) > 0
        yield Lab(pc, robot, link, tmp_path_factory.mktemp("relay"))


@pytest.fixture(scope="module")
def robot(lab: Lab) -> Iterator[ControlledSim]:
    """A robot with a fixed endpoint on the robot host, as a real robot has."""
    sim = start_controlled_sim(lab.directory, SERIAL, prefix=lab.robot.argv(),
                               args=["--rate", "200", "--listen", lab.endpoint])
    try:
        yield sim
    finally:
        sim.stop()
    check_sim_stderr([sim])


@pytest.fixture
def relay(lab: Lab) -> Iterator[list[Relay]]:
    """Relays started by the test (appended to the list); stopped at teardown."""
    started: list[Relay] = []
    yield started
    for one in started:
        one.stop(signal.SIGKILL)


def answers_every_call(client: ClientProcess) -> None:
    assert client.call("r", "connected").value is True
    first = client.call_until("r", "states", lambda o: bool(o.value))
    client.call_until("r", "states", lambda o: o.value != first.value)
    for method in REMOTE_CALLS:
        outcome = client.call("r", method)
        assert outcome.raised is None and outcome.value, (method, outcome)


# ------------------------------------------------------------------------------------------------


def test_the_client_reaches_the_robot_only_through_the_relay(lab: Lab, robot: ControlledSim,
                                                             relay: list[Relay]) -> None:
    client = lab.client("through")
    try:
        alone = client.connect("r", SERIAL, verbose=False)
        assert alone.raised is not None and alone.raised[1].startswith(NOT_FOUND), alone

        relay.append(Relay(lab.pc, lab.endpoint))
        relay[0].wait_for("relaying " + lab.endpoint + " to the clients on this computer")
        assert "(peer " in relay[0].wait_for(lab.endpoint + " connected")
        assert client.connect("r", SERIAL, verbose=False, attempts=3).raised is None
        answers_every_call(client)

        # Everything passes through the relay: the client's only connections are to loopback
        # (the relay), and the one connection to the robot host is the relay's.
        connections = lab.established()
        assert {remote.rsplit(":", 1)[0] for _, remote, pid in connections
                if pid == client.proc.pid} == {"127.0.0.1"}, connections
        assert [pid for _, remote, pid in connections
                if remote.startswith(lab.link.addr_b + ":")] == [relay[0].proc.pid], connections
    finally:
        client.stop()


def test_a_robot_behind_a_forwarded_port_is_reached(lab: Lab, relay: list[Relay]) -> None:
    # The robot listens on an address only its own host has (a container's, say); the robot host
    # forwards one port of its reachable address to it, as a published Docker port or a NAT does.
    hidden = "10.215.77.2"
    subprocess.run(lab.robot.argv("ip", "addr", "add", f"{hidden}/32", "dev", "lo"), check=True)
    unreachable = subprocess.run(lab.pc.argv("ip", "route", "get", hidden), capture_output=True)
    assert unreachable.returncode != 0, "the pc must have no route to the robot's own address"
    serial = SERIAL + "-NAT"
    sim = start_controlled_sim(lab.directory, serial, prefix=lab.robot.argv(),
                               args=["--listen", f"tcp/{hidden}:{ROBOT_PORT}"])
    forwarder = subprocess.Popen(
        lab.robot.argv(sys.executable, str(FORWARDER), lab.link.addr_b, "17447", hidden,
                       str(ROBOT_PORT)), stdout=subprocess.PIPE, text=True)
    client = lab.client("nat")
    try:
        assert forwarder.stdout is not None and forwarder.stdout.readline().strip() == "READY"
        relay.append(Relay(lab.pc, f"tcp/{lab.link.addr_b}:17447"))
        relay[0].wait_for(f"tcp/{lab.link.addr_b}:17447 connected")
        assert client.connect("r", serial, verbose=False, attempts=3).raised is None
        answers_every_call(client)
    finally:
        client.stop()
        forwarder.terminate()
        forwarder.wait(10)
        assert forwarder.stdout is not None
        forwarder.stdout.close()
        sim.stop()
    check_sim_stderr([sim])


def thread_and_fd_counts(pid: int) -> tuple[int, int]:
    return len(os.listdir(f"/proc/{pid}/task")), len(os.listdir(f"/proc/{pid}/fd"))


RELAY_CYCLES = 3


def test_a_client_recovers_when_the_relay_comes_back(lab: Lab, robot: ControlledSim,
                                                     relay: list[Relay]) -> None:
    relay.append(Relay(lab.pc, lab.endpoint))
    relay[-1].wait_for(lab.endpoint + " connected")
    client = lab.client("recover")
    try:
        assert client.connect("r", SERIAL, verbose=False, attempts=3).raised is None
        counts = []
        for _ in range(RELAY_CYCLES):
            relay[-1].stop(signal.SIGKILL)
            assert client.call("r", "plan_info").raised == PLAN_INFO_FAILS
            assert client.call("r", "primitive_states").raised == PRIMITIVES_FAIL
            assert client.call("r", "configuration_score").raised == SCORE_FAILS
            assert client.call("r", "connected").value is False

            relay.append(Relay(lab.pc, lab.endpoint))
            relay[-1].wait_for(lab.endpoint + " connected")
            # The same client object answers again once its scouting finds the relay.
            client.call_until("r", "connected", lambda o: o.value is True, timeout=30.0)
            answers_every_call(client)
            counts.append(thread_and_fd_counts(client.proc.pid))
        # Each cycle leaves the client as the one before did: no thread and no descriptor more.
        assert max(c[0] for c in counts[1:]) <= counts[0][0] + 2, counts
        assert max(c[1] for c in counts[1:]) <= counts[0][1], counts
    finally:
        client.stop()


def test_the_relay_listens_on_loopback_unless_told_otherwise(lab: Lab, robot: ControlledSim,
                                                             relay: list[Relay]) -> None:
    relay.append(Relay(lab.pc, lab.endpoint))
    relay[0].wait_for(lab.endpoint + " connected")
    listening = subprocess.run(lab.pc.argv("ss", "-Hltnp"), capture_output=True, text=True,
                               check=True).stdout
    own = [line.split()[3] for line in listening.splitlines()
           if f"pid={relay[0].proc.pid}," in line]
    assert own == ["127.0.0.1:7447"], listening
    assert not _accepts(lab, lab.link.addr_a, 7447)
    assert relay[0].stop(signal.SIGTERM) == 0
    assert relay[0].wait_for("stopped (SIGTERM)")

    # Told otherwise, it says so, and the other network can then connect.
    relay.append(Relay(lab.pc, "--listen", "tcp/0.0.0.0:7447", lab.endpoint))
    assert "shared on purpose" in relay[1].wait_for("relaying")
    relay[1].wait_for(lab.endpoint + " connected")
    assert _accepts(lab, lab.link.addr_a, 7447)


def _accepts(lab: Lab, address: str, port: int) -> bool:
    """Whether a TCP connection from the robot host to ``address:port`` is accepted."""
    probe = ("import socket, sys\n"
             "try:\n"
             f"    socket.create_connection(({address!r}, {port}), timeout=3).close()\n"
             "except OSError:\n"
             "    sys.exit(1)\n")
    return subprocess.run(lab.robot.argv(sys.executable, "-c", probe)).returncode == 0


def test_a_relay_that_cannot_listen_exits_1(lab: Lab, relay: list[Relay]) -> None:
    relay.append(Relay(lab.pc, lab.endpoint))
    relay[0].wait_for("relaying")
    second = subprocess.run(
        lab.pc.argv(str(installed_command("korvantyr-relay")), lab.endpoint),
        capture_output=True, text=True, timeout=30)
    assert second.returncode == 1, second.stdout + second.stderr
    [line] = second.stderr.splitlines()
    assert line.startswith("korvantyr-relay: cannot listen on tcp/127.0.0.1:7447: "), line


def test_the_relay_reports_a_robot_lost_and_back(lab: Lab, relay: list[Relay]) -> None:
    serial = SERIAL + "-LOST"
    endpoint = f"tcp/{lab.link.addr_b}:7448"
    sim = start_controlled_sim(lab.directory, serial, prefix=lab.robot.argv(),
                               args=["--listen", endpoint])
    relay.append(Relay(lab.pc, endpoint))
    relay[0].wait_for(endpoint + " connected")
    sim.stop()
    assert relay[0].wait_for(endpoint + " lost").endswith("lost; reconnecting")
    sim = start_controlled_sim(lab.directory, serial, prefix=lab.robot.argv(),
                               args=["--listen", endpoint])
    try:
        relay[0].wait_for(endpoint + " back")
    finally:
        sim.stop()
    check_sim_stderr([sim])
    # Ctrl-C ends it as SIGTERM does.
    assert relay[0].stop(signal.SIGINT) == 0
    relay[0].wait_for("stopped (Ctrl-C)")


def scan(host: netns_harness.Host, seconds: str = "2") -> subprocess.CompletedProcess[str]:
    return subprocess.run(host.argv(str(installed_command("korvantyr-scan")), "--seconds",
                                    seconds), capture_output=True, text=True, timeout=60)


def test_the_scan_lists_the_robot_through_the_relay_and_says_why_it_sees_none(
        lab: Lab, robot: ControlledSim, relay: list[Relay]) -> None:
    alone = scan(lab.pc)
    assert alone.returncode == 1 and alone.stdout == ""
    [line] = alone.stderr.splitlines()
    assert f"Nothing answered Zenoh's scouting on {lab.link.dev_a}." in line, line
    assert "run 'korvantyr-relay tcp/ROBOT_ADDRESS:PORT'" in line, line

    nobody = f"tcp/{lab.link.addr_b}:7449"  # nothing listens there
    relay.append(Relay(lab.pc, nobody))
    relay[0].wait_for("relaying")
    empty = scan(lab.pc)
    assert empty.returncode == 1
    assert "Zenoh routers answer (1) but no robot is behind them" in empty.stderr, empty.stderr

    # A second relay beside it is told: a client routes through one router at a time.
    relay.append(Relay(lab.pc, "--listen", "tcp/127.0.0.1:7450", lab.endpoint))
    relay[1].wait_for(lab.endpoint + " connected")
    relay[1].wait_for("another Zenoh router answers scouting on this computer")
    relay[0].stop()
    # As long as the scan of the commands' tests: a fresh session on a loaded machine.
    found = scan(lab.pc, "3")
    assert found.returncode == 0, found.stderr
    assert re.search(rf"^{re.escape(SERIAL)} +yes +v2\.1 ", found.stdout,
                     re.MULTILINE), found.stdout


def test_without_a_multicast_interface_the_relay_turns_it_on_for_loopback(
        netns: netns_harness.Namespace, tmp_path: Path) -> None:
    with netns_harness.Hosts() as hosts:
        pc, robot_host = hosts.add("pc"), hosts.add("robot")
        link = hosts.link(pc, robot_host, drop_multicast=True)
        subprocess.run(pc.argv("ip", "link", "set", link.dev_a, "multicast", "off"), check=True)
        told = scan(pc)
        assert told.returncode == 1
        assert "No interface of this computer carries multicast" in told.stderr, told.stderr

        serial = SERIAL + "-LO"
        endpoint = f"tcp/{link.addr_b}:{ROBOT_PORT}"
        sim = start_controlled_sim(tmp_path, serial, prefix=robot_host.argv(),
                                   args=["--listen", endpoint])
        started = Relay(pc, endpoint)
        client = ClientProcess(tmp_path / "client.stderr", prefix=pc.argv())
        try:
            started.wait_for("turned it on for loopback")
            started.wait_for(endpoint + " connected")
            assert client.connect("r", serial, verbose=False, attempts=3).raised is None
            assert client.call("r", "plan_info").raised is None
        finally:
            client.stop()
            started.stop()
            sim.stop()
        check_sim_stderr([sim])


# A site's Zenoh router: router mode, listening on argv[1], connecting to argv[2:]; READY once
# open, ends at the end of its stdin.
SITE_ROUTER = r"""
import json, sys
import zenoh
config = zenoh.Config()
config.insert_json5("mode", '"router"')
config.insert_json5("listen/endpoints", json.dumps([sys.argv[1]]))
config.insert_json5("connect/endpoints", json.dumps(sys.argv[2:]))
with zenoh.open(config):
    print("READY", flush=True)
    sys.stdin.read()
"""


def test_a_fleet_on_two_subnets_behind_linked_site_routers(netns: netns_harness.Namespace,
                                                           tmp_path: Path) -> None:
    # Each cell is a subnet with its robot and its router, which the robot finds by scouting;
    # the two routers are linked, and the relay connects to one of them.
    with netns_harness.Hosts() as hosts:
        pc, cell_a, cell_b = hosts.add("pc"), hosts.add("cell-a"), hosts.add("cell-b")
        to_a = hosts.link(pc, cell_a, drop_multicast=True)
        a_to_b = hosts.link(cell_a, cell_b, drop_multicast=True)
        routers = [
            subprocess.Popen(cell_a.argv(sys.executable, "-c", SITE_ROUTER, "tcp/0.0.0.0:7447"),
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True),
            subprocess.Popen(cell_b.argv(sys.executable, "-c", SITE_ROUTER, "tcp/0.0.0.0:7447",
                                         f"tcp/{a_to_b.addr_a}:7447"),
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True),
        ]
        serials = [SERIAL + "-CELL-A", SERIAL + "-CELL-B"]
        sims: list[ControlledSim] = []
        started = Relay(pc, f"tcp/{to_a.addr_b}:7447")
        client = ClientProcess(tmp_path / "client.stderr", prefix=pc.argv())
        try:
            for router in routers:
                assert router.stdout is not None and router.stdout.readline().strip() == "READY"
            sims = [start_controlled_sim(tmp_path, serial, prefix=host.argv())
                    for serial, host in zip(serials, (cell_a, cell_b))]
            assert "(router " in started.wait_for(f"tcp/{to_a.addr_b}:7447 connected")
            for name, serial in zip("ab", serials):
                assert client.connect(name, serial, verbose=False, attempts=5).raised is None
            for name in "ab":
                assert client.call(name, "plan_info").raised is None
                client.call_until(name, "states", lambda o: bool(o.value))
            listed = scan(pc, "3")
            assert listed.returncode == 0, listed.stderr
            for serial in serials:
                assert re.search(rf"^{re.escape(serial)} +yes +v2\.1 ", listed.stdout,
                                 re.MULTILINE), listed.stdout
        finally:
            client.stop()
            started.stop()
            for sim in sims:
                sim.stop()
            for router in routers:
                assert router.stdin is not None and router.stdout is not None
                router.stdin.close()
                router.wait(10)
                router.stdout.close()
        check_sim_stderr(sims)


def test_the_relay_says_when_scouting_reaches_the_robot_as_well(
        netns: netns_harness.Namespace, tmp_path: Path) -> None:
    # Through the relay, a client that also finds the robot by scouting would receive its data on
    # both paths.
    with netns_harness.Hosts() as hosts:
        pc, robot_host = hosts.add("pc"), hosts.add("robot")
        link = hosts.link(pc, robot_host, drop_multicast=False)
        endpoint = f"tcp/{link.addr_b}:{ROBOT_PORT}"
        sim = start_controlled_sim(tmp_path, SERIAL + "-MC", prefix=robot_host.argv(),
                                   args=["--listen", endpoint])
        started = Relay(pc, endpoint)
        try:
            started.wait_for(endpoint + " connected")
            line = started.wait_for(endpoint + " also answers Zenoh's scouting on this computer")
            assert line.endswith("relay only robots that multicast does not reach"), line
        finally:
            started.stop()
            sim.stop()
        check_sim_stderr([sim])
