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
from collections.abc import Iterator, Sequence
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
def entered() -> Iterator[Namespace]:
    """Create a namespace and move the calling (main) thread into it for the ``with`` block.

    Must run before any Zenoh session is opened: Zenoh's runtime threads, once started, stay in the
    namespace where they were created. Raises ``NamespaceError`` if another thread of the process
    would be left outside.
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
            foreign = _foreign_threads(_netns_inode("/proc/self/ns/net"))
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
