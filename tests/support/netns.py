#!/usr/bin/env python3
"""Private network namespace for tests that open Zenoh sessions.

Each namespace is named ``kvn-<pid>-<rand>`` and holds ``lo`` plus one veth pair whose two ends both
stay inside it (``kvn0`` 10.213.X.1/24, ``kvn1`` 10.213.X.2/24, multicast on, ``224.0.0.0/4`` routed
on ``kvn0``). Zenoh's multicast scouting therefore finds peers in the same namespace, and with no
default route and no link to the host nothing can leave it. Removing the namespace removes the veth
pair with it.

Two ways in:

* ``python3 tests/support/netns.py run -- CMD ARGS...`` runs CMD inside a fresh namespace through
  ``ip netns exec``, exits with its status (128+N when it died of signal N) and always removes the
  namespace, also on SIGINT/SIGTERM (which are passed on to CMD first).
* ``with entered() as ns:`` creates a namespace and moves the calling thread (the main thread,
  before any Zenoh session exists) into it with ``setns``. Threads and subprocesses started
  afterwards are inside as well. On exit the thread moves back to the namespace it came from and
  the namespace is removed, also when the process is interrupted or terminated (SIGTERM is turned
  into KeyboardInterrupt meanwhile).

For tests that need several computers, ``Hosts`` makes namespaces joined by veth pairs (no
multicast route, no default route), each link carrying multicast or dropping it on both ends with a
traffic-control rule (an htb class that holds nothing), and ``probe_link`` shows which of multicast
and unicast cross a link. Commands run in a host through ``host.argv(...)``.

Processes still inside a namespace when it is removed (left behind by the command or the tests) are
terminated. Creating namespaces needs root (CAP_SYS_ADMIN and CAP_NET_ADMIN); without it
``NamespaceError`` says so. Pure standard library, Python 3.12.
"""

from __future__ import annotations

import atexit
import contextlib
import os
import secrets
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Collection, Iterator, Sequence
from dataclasses import dataclass

NETNS_DIR = "/run/netns"
NAME_PREFIX = "kvn-"
MULTICAST_ROUTE = "224.0.0.0/4"
VETH_A = "kvn0"
VETH_B = "kvn1"
_ROOT_MESSAGE = (
    "network tests need root: creating a private network namespace requires CAP_SYS_ADMIN and "
    "CAP_NET_ADMIN (run them as root, as CI does)"
)


class NamespaceError(RuntimeError):
    """The namespace could not be created, entered or verified."""


def _ip(*args: str, check: bool = True) -> subprocess.CompletedProcess[str]:
    try:
        result = subprocess.run(["ip", *args], capture_output=True, text=True, check=False)
    except FileNotFoundError as exc:
        raise NamespaceError("the 'ip' command (iproute2) is missing") from exc
    if check and result.returncode != 0:
        raise NamespaceError(f"ip {' '.join(args)} failed: {result.stderr.strip()}")
    return result


def require_root() -> None:
    """Raise ``NamespaceError`` with a clear message unless the process can create namespaces."""
    if os.geteuid() != 0:
        raise NamespaceError(_ROOT_MESSAGE)


@dataclass
class Namespace:
    """A created namespace; ``delete()`` removes it (idempotent)."""

    name: str
    subnet: int
    deleted: bool = False

    @property
    def path(self) -> str:
        return os.path.join(NETNS_DIR, self.name)

    @property
    def addresses(self) -> tuple[str, str]:
        return (f"10.213.{self.subnet}.1", f"10.213.{self.subnet}.2")

    @classmethod
    def create(cls) -> Namespace:
        require_root()
        name = f"{NAME_PREFIX}{os.getpid()}-{secrets.token_hex(3)}"
        ns = cls(name=name, subnet=secrets.randbelow(254) + 1)
        _ip("netns", "add", name)
        # From here on the namespace exists: remove it whatever happens next.
        atexit.register(ns.delete)
        try:
            ns._configure()
        except BaseException:
            ns.delete()
            raise
        return ns

    def _configure(self) -> None:
        a, b = self.addresses
        n = ("-n", self.name)
        _ip(*n, "link", "set", "lo", "up")
        # Without duplicate address detection the veth's IPv6 link-local addresses are usable at
        # once instead of "tentative" for a second or two (Zenoh advertises every address it has).
        # Best effort: without sysctl the addresses only settle a little later.
        for scope in ("all", "default"):
            _ip("netns", "exec", self.name, "sysctl", "-qw", f"net.ipv6.conf.{scope}.accept_dad=0",
                check=False)
        _ip(*n, "link", "add", VETH_A, "type", "veth", "peer", "name", VETH_B)
        for dev, addr in ((VETH_A, a), (VETH_B, b)):
            _ip(*n, "link", "set", dev, "multicast", "on")
            _ip(*n, "addr", "add", f"{addr}/24", "dev", dev)
            _ip(*n, "link", "set", dev, "up")
        _ip(*n, "route", "add", MULTICAST_ROUTE, "dev", VETH_A)
        self._wait_until_up()

    def _wait_until_up(self, timeout: float = 5.0) -> None:
        # A fresh veth pair gets its carrier a moment after it is set up; wait for it, so that the
        # first sockets opened in the namespace do not race the link.
        deadline = time.monotonic() + timeout
        while True:
            out = _ip("-n", self.name, "-o", "link", "show", "up").stdout
            if all("LOWER_UP" in _line_of(out, dev) for dev in (VETH_A, VETH_B)):
                return
            if time.monotonic() > deadline:
                raise NamespaceError(f"veth pair in {self.name} did not come up:\n{out}")
            time.sleep(0.02)

    def verify_isolated(self) -> None:
        """Check that the namespace holds only lo and the veth pair and has no route out."""
        links = _ip("-n", self.name, "-o", "link", "show").stdout
        names = sorted(line.split(":")[1].strip().split("@")[0] for line in links.splitlines())
        if names != sorted(["lo", VETH_A, VETH_B]):
            raise NamespaceError(f"unexpected interfaces in {self.name}: {names}")
        for family in ("-4", "-6"):
            routes = _ip("-n", self.name, family, "route", "show", "default").stdout.strip()
            if routes:
                raise NamespaceError(f"{self.name} has a default route: {routes}")
        for target in ("1.1.1.1", "192.168.0.1", "172.16.0.1"):
            probe = _ip("-n", self.name, "route", "get", target, check=False)
            if probe.returncode == 0:
                raise NamespaceError(f"{self.name} routes {target}: {probe.stdout.strip()}")

    def pids(self) -> list[int]:
        out = _ip("netns", "pids", self.name, check=False).stdout
        return [int(p) for p in out.split()]

    def delete(self) -> None:
        if self.deleted:
            return
        self.deleted = True
        with contextlib.suppress(Exception):
            atexit.unregister(self.delete)
        _reap_leftovers(self)
        result = _ip("netns", "del", self.name, check=False)
        if result.returncode != 0 and os.path.exists(self.path):
            print(f"netns: could not remove {self.name}: {result.stderr.strip()}", file=sys.stderr)


def _line_of(out: str, dev: str) -> str:
    return next((line for line in out.splitlines() if f" {dev}@" in line), "")


def _reap_leftovers(ns: Namespace, grace: float = 3.0) -> None:
    """End processes that the namespace's users left behind in it (never this process)."""
    own = os.getpid()
    pids = [p for p in ns.pids() if p != own]
    if not pids:
        return
    for pid in pids:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGTERM)
    deadline = time.monotonic() + grace
    while time.monotonic() < deadline:
        pids = [p for p in pids if os.path.exists(f"/proc/{p}")]
        if not pids:
            return
        time.sleep(0.05)
    for pid in pids:
        with contextlib.suppress(ProcessLookupError):
            os.kill(pid, signal.SIGKILL)


def _netns_inode(path: str) -> int:
    return os.stat(path).st_ino


def _foreign_threads(ns_inode: int) -> list[int]:
    """Threads of this process whose network namespace is not ``ns_inode``."""
    foreign = []
    for tid in os.listdir("/proc/self/task"):
        with contextlib.suppress(FileNotFoundError):
            if _netns_inode(f"/proc/self/task/{tid}/ns/net") != ns_inode:
                foreign.append(int(tid))
    return foreign


@contextlib.contextmanager
def _sigterm_as_interrupt() -> Iterator[None]:
    """Treat SIGTERM like Ctrl-C, so that ``finally`` blocks (and the cleanup) run; test runners
    stop on KeyboardInterrupt and still tear their fixtures down."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return

    def on_term(_signum: int, _frame: object) -> None:
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGTERM, on_term)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)


@contextlib.contextmanager
def entered(bystanders: Collection[int] = ()) -> Iterator[Namespace]:
    """Create a namespace and move the calling (main) thread into it for the ``with`` block.

    Must run before any Zenoh session is opened: Zenoh's runtime threads, once started, stay in the
    namespace where they were created. Raises ``NamespaceError`` if another thread of the process
    would be left outside, except the threads in ``bystanders`` (native thread ids of threads that
    never touch the network, such as a test runner's own pipe readers).
    """
    if threading.current_thread() is not threading.main_thread():
        raise NamespaceError("enter the network namespace from the main thread")
    require_root()
    with _sigterm_as_interrupt():
        ns = Namespace.create()
        original = os.open("/proc/self/ns/net", os.O_RDONLY | os.O_CLOEXEC)
        moved = False
        try:
            target = os.open(ns.path, os.O_RDONLY | os.O_CLOEXEC)
            try:
                os.setns(target, os.CLONE_NEWNET)
                moved = True
            finally:
                os.close(target)
            foreign = [tid for tid in _foreign_threads(_netns_inode("/proc/self/ns/net"))
                       if tid not in bystanders]
            if foreign:
                raise NamespaceError(
                    f"threads {foreign} of this process stay outside {ns.name}; enter the "
                    "namespace before any Zenoh session (or other networking thread) starts"
                )
            ns.verify_isolated()
            yield ns
        finally:
            try:
                if moved:
                    os.setns(original, os.CLONE_NEWNET)
            finally:
                os.close(original)
                ns.delete()


def run(argv: Sequence[str]) -> int:
    """Run ``argv`` in a fresh namespace; return its exit status (128+N for signal N)."""
    if not argv:
        raise NamespaceError("nothing to run: give the command after '--'")
    require_root()
    child: subprocess.Popen[bytes] | None = None
    received: list[int] = []

    def forward(signum: int, _frame: object) -> None:
        received.append(signum)
        if child is not None and child.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                child.send_signal(signum)

    # Catch the signals before the namespace exists, so that none can end us with it left behind.
    previous = {s: signal.signal(s, forward) for s in (signal.SIGINT, signal.SIGTERM)}
    ns: Namespace | None = None
    try:
        ns = Namespace.create()
        ns.verify_isolated()
        if received:
            return 128 + received[0]
        try:
            child = subprocess.Popen(["ip", "netns", "exec", ns.name, *argv])
        except OSError as exc:
            print(f"netns: cannot start {argv[0]}: {exc}", file=sys.stderr)
            return 127
        if received:  # arrived between the check and Popen's return
            forward(received[0], None)
        status = child.wait()
        if status < 0:
            return 128 - status
        if not status and received:
            return 128 + received[0]
        return status
    finally:
        if ns is not None:
            ns.delete()
        for sig, handler in previous.items():
            signal.signal(sig, handler)


# ------------------------------------------------------------------------------------------------
# Several hosts

MULTICAST_GROUP = "224.0.0.0/4"


@dataclass
class Host(Namespace):
    """A namespace standing for one computer; ``label`` says which ("pc", "robot")."""

    label: str = ""

    def argv(self, *command: str) -> list[str]:
        """``command`` run inside this host."""
        return ["ip", "netns", "exec", self.name, *command]


@dataclass
class Link:
    """A veth pair between two hosts: ``dev_a``/``addr_a`` in ``a``, ``dev_b``/``addr_b`` in
    ``b``, on the /24 ``prefix``."""

    a: Host
    b: Host
    dev_a: str
    dev_b: str
    addr_a: str
    addr_b: str
    prefix: str
    drops_multicast: bool


def _drop_multicast(host: Host, dev: str) -> None:
    # No tc action modules are needed: traffic to 224.0.0.0/4 is classified into an htb class
    # whose queue holds nothing, and everything else goes to the default class. Multicast that a
    # host sends still reaches its own sockets (the kernel loops it back before the queue).
    tc = ["tc", "-n", host.name]
    for args in (
        ["qdisc", "add", "dev", dev, "root", "handle", "1:", "htb", "default", "10"],
        ["class", "add", "dev", dev, "parent", "1:", "classid", "1:10", "htb", "rate", "10gbit"],
        ["class", "add", "dev", dev, "parent", "1:", "classid", "1:20", "htb", "rate", "10gbit"],
        ["qdisc", "add", "dev", dev, "parent", "1:20", "handle", "20:", "pfifo", "limit", "0"],
        ["filter", "add", "dev", dev, "parent", "1:", "protocol", "ip", "prio", "1", "u32",
         "match", "ip", "dst", MULTICAST_GROUP, "flowid", "1:20"],
    ):
        try:
            result = subprocess.run([*tc, *args], capture_output=True, text=True, check=False)
        except FileNotFoundError as exc:
            raise NamespaceError("the 'tc' command (iproute2) is missing") from exc
        if result.returncode != 0:
            raise NamespaceError(f"tc {' '.join(args)} failed: {result.stderr.strip()}")


def multicast_drops(host: Host, dev: str) -> int:
    """Packets the multicast-dropping rule on ``dev`` of ``host`` has dropped so far."""
    out = subprocess.run(["tc", "-n", host.name, "-s", "qdisc", "show", "dev", dev],
                         capture_output=True, text=True, check=False).stdout
    after = out.split("qdisc pfifo 20:", 1)
    if len(after) < 2:
        return 0
    for word, count in zip(after[1].split(), after[1].split()[1:]):
        if word == "(dropped":
            return int(count.rstrip(","))
    return 0


class Hosts:
    """Namespaces joined by veth pairs. Use as a context manager: every namespace is removed on
    exit (and at interpreter exit), with the processes left in it."""

    def __init__(self) -> None:
        require_root()
        self.hosts: list[Host] = []
        self.links: list[Link] = []
        self._subnets: set[int] = set()

    def __enter__(self) -> Hosts:
        return self

    def __exit__(self, *_exc: object) -> None:
        self.delete()

    def add(self, label: str) -> Host:
        name = f"{NAME_PREFIX}{os.getpid()}-{label}-{secrets.token_hex(2)}"
        _ip("netns", "add", name)
        host = Host(name=name, subnet=0, label=label)
        atexit.register(host.delete)
        self.hosts.append(host)
        _ip("-n", name, "link", "set", "lo", "up")
        for scope in ("all", "default"):
            _ip("netns", "exec", name, "sysctl", "-qw", f"net.ipv6.conf.{scope}.accept_dad=0",
                check=False)
        return host

    def link(self, a: Host, b: Host, *, drop_multicast: bool) -> Link:
        """A veth pair between ``a`` and ``b`` on a fresh /24 (``a`` has .1, ``b`` .2)."""
        subnet = secrets.randbelow(254) + 1
        while subnet in self._subnets:
            subnet = secrets.randbelow(254) + 1
        self._subnets.add(subnet)
        index = len(self.links)
        link = Link(a, b, f"kvl{index}a", f"kvl{index}b", f"10.214.{subnet}.1",
                    f"10.214.{subnet}.2", f"10.214.{subnet}.0/24", drop_multicast)
        _ip("-n", a.name, "link", "add", link.dev_a, "type", "veth", "peer", "name", link.dev_b,
            "netns", b.name)
        for host, dev, addr in ((a, link.dev_a, link.addr_a), (b, link.dev_b, link.addr_b)):
            _ip("-n", host.name, "link", "set", dev, "multicast", "on")
            _ip("-n", host.name, "addr", "add", f"{addr}/24", "dev", dev)
            if drop_multicast:
                _drop_multicast(host, dev)
            _ip("-n", host.name, "link", "set", dev, "up")
        deadline = time.monotonic() + 5.0
        for host, dev in ((a, link.dev_a), (b, link.dev_b)):
            while "LOWER_UP" not in _ip("-n", host.name, "-o", "link", "show", dev).stdout:
                if time.monotonic() > deadline:
                    raise NamespaceError(f"{dev} in {host.name} did not come up")
                time.sleep(0.02)
        self.links.append(link)
        return link

    def route(self, host: Host, prefix: str, via: str) -> None:
        """Route ``prefix`` from ``host`` through the gateway address ``via``."""
        _ip("-n", host.name, "route", "add", prefix, "via", via)

    def forwarding(self, host: Host) -> None:
        """Let ``host`` forward IPv4 between its links (a router between subnets)."""
        _ip("netns", "exec", host.name, "sysctl", "-qw", "net.ipv4.ip_forward=1")

    def delete(self) -> None:
        for host in reversed(self.hosts):
            host.delete()


_PROBE_RECEIVER = r"""
import socket, sys
group, port, iface, seconds = sys.argv[1], int(sys.argv[2]), sys.argv[3], float(sys.argv[4])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("", port))
s.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
             socket.inet_aton(group) + socket.inet_aton(iface))
# The sender is a fresh interpreter that may take seconds to start on a busy machine: the first
# datagram gets a long wait, the other kind only `seconds` after it.
s.settimeout(max(seconds, 15.0))
print("READY", flush=True)
seen = set()
try:
    while len(seen) < 2:
        data, _ = s.recvfrom(64)
        seen.add(data.decode())
        s.settimeout(seconds)
except socket.timeout:
    pass
print(" ".join(sorted(seen)), flush=True)
"""

_PROBE_SENDER = r"""
import socket, sys, time
group, port, iface, unicast = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(iface))
s.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_LOOP, 0)
for _ in range(5):
    s.sendto(b"multicast", (group, port))
    s.sendto(b"unicast", (unicast, port))
    time.sleep(0.02)
"""


def probe_link(link: Link, group: str = "224.0.0.224", port: int = 7449,
               seconds: float = 1.0) -> dict[str, bool]:
    """Sends multicast (to ``group``) and unicast datagrams from ``link.a`` to ``link.b`` and
    returns which kinds arrived: ``{"multicast": bool, "unicast": bool}``."""
    receiver = subprocess.Popen(
        link.b.argv(sys.executable, "-c", _PROBE_RECEIVER, group, str(port), link.addr_b,
                    str(seconds)), stdout=subprocess.PIPE, text=True)
    try:
        assert receiver.stdout is not None
        if receiver.stdout.readline().strip() != "READY":
            raise NamespaceError("the probe's receiver did not start")
        subprocess.run(link.a.argv(sys.executable, "-c", _PROBE_SENDER, group, str(port),
                                   link.addr_a, link.addr_b), check=True)
        seen = receiver.stdout.readline().split()
    finally:
        receiver.wait(seconds + 20.0)
        if receiver.stdout is not None:
            receiver.stdout.close()
    return {"multicast": "multicast" in seen, "unicast": "unicast" in seen}


def main(argv: Sequence[str] | None = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    usage = f"usage: {os.path.basename(sys.argv[0])} run -- CMD [ARGS...]"
    if not args or args[0] != "run":
        print(usage, file=sys.stderr)
        return 2
    rest = args[1:]
    if rest and rest[0] == "--":
        rest = rest[1:]
    try:
        return run(rest)
    except NamespaceError as exc:
        print(f"netns: {exc}", file=sys.stderr)
        return 2


if __name__ == "__main__":
    sys.exit(main())
