"""The native commands (korvantyr-scan, korvantyr-relay, korvantyr-record-native): one C++ executable shipped inside this
package, run under the command's name, which picks the command. The process is replaced, so
signals and the exit status are the native command's own."""

from __future__ import annotations

import os
import sys
from pathlib import Path

EXECUTABLE = Path(__file__).resolve().parent / "_bin" / "korvantyr-native"
EXIT_FAILURE = 1


def _run(name: str) -> int:
    try:
        os.execv(EXECUTABLE, [name, *sys.argv[1:]])
    except OSError as exc:
        print(f"{name}: cannot run {EXECUTABLE}: {exc.strerror} (reinstall korvantyr)",
              file=sys.stderr)
    return EXIT_FAILURE


def scan() -> int:
    return _run("korvantyr-scan")


def relay() -> int:
    return _run("korvantyr-relay")


def record_native() -> int:
    return _run("korvantyr-record-native")
