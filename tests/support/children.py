"""Ending a child process that serves commands read from its standard input."""

from __future__ import annotations

import contextlib
import subprocess


def end_child(proc: subprocess.Popen, timeout: float, terminate: bool = False) -> int:
    """Closes the child's standard input (its cue to finish), sends SIGTERM too if ``terminate``,
    waits up to ``timeout`` seconds for it to exit, kills it if it does not, and returns its exit
    status (negative: the signal that ended it)."""
    if proc.stdin is not None and not proc.stdin.closed:
        with contextlib.suppress(OSError):
            proc.stdin.close()
    if terminate and proc.poll() is None:
        proc.terminate()
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(timeout)
    return proc.returncode
