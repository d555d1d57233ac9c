#!/usr/bin/env python3
"""Checks what the built binaries show the dynamic linker: their exported symbols, the shared
libraries they need and whether they still carry symbol tables or debug information.

    check_binaries.py library libkorvantyr.so      exports only the korvan::tyr API
    check_binaries.py module korvantyr.cpython-312-x86_64-linux-gnu.so
                                                   exports only PyInit_korvantyr
    check_binaries.py wheel dist/korvantyr-*.whl   every ELF file in the wheel: exports as above
                                                   (executables export nothing of ours), needs
                                                   nothing beyond glibc, libstdc++ and libgcc_s,
                                                   stripped; the licence notices are there

Prints one line per problem and exits with 1 if there is any. Uses binutils (nm, readelf, c++filt).
Pure standard library otherwise.
"""

from __future__ import annotations

import argparse
import re
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

# Symbols the linker and the C runtime define in every shared object or executable.
ABI_SYMBOLS = {"_init", "_fini", "__bss_start", "_edata", "_end", "_IO_stdin_used",
               "__data_start", "data_start", "__dso_handle"}

# The library's interface: the public namespace and the type information and virtual tables the
# C++ ABI needs for its classes; the private implementation class is no part of it.
PUBLIC = re.compile(r"^(?:(?:typeinfo|typeinfo name|vtable) for )?korvan::tyr::")
PRIVATE = re.compile(r"korvan::tyr::Client::Impl\b")

# What a wheel's binaries may need at run time: glibc, libstdc++ and the GCC runtime under it.
RUNTIME_LIBRARIES = {"libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0",
                     "libutil.so.1", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1", "libstdc++.so.6",
                     "libgcc_s.so.1"}

# Code of ours or of what we compile in, by mangled or demangled name.
# The notices the wheel carries: its own licence and those of what is compiled into it.
LICENCES = ("LICENSE", "spdlog.txt", "rust-crates.txt")
OURS = re.compile(r"korvan::|spdlog|fmt::|^zb_|^_R[NMCIv]|::h[0-9a-f]{16}$|zenoh")


def run(*cmd: str) -> str:
    return subprocess.run(cmd, check=True, capture_output=True, text=True).stdout


def exported(path: Path) -> list[str]:
    """Demangled names of the defined dynamic symbols, without their version suffixes."""
    names = []
    for line in run("nm", "-D", "--defined-only", "--format=posix", str(path)).splitlines():
        name = line.split(" ", 1)[0]
        names.append(name.split("@", 1)[0])
    if not names:
        return []
    demangled = subprocess.run(["c++filt"], input="\n".join(names), check=True,
                               capture_output=True, text=True).stdout.splitlines()
    return sorted(set(demangled))


def needed(path: Path) -> list[str]:
    return re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", run("readelf", "-dW", str(path)))


def run_paths(path: Path) -> list[str]:
    return re.findall(r"\((?:RPATH|RUNPATH)\)\s+Library r(?:un)?path: \[([^\]]+)\]",
                      run("readelf", "-dW", str(path)))


def sections(path: Path) -> list[str]:
    return re.findall(r"^\s*\[\s*\d+\]\s+(\S+)", run("readelf", "-SW", str(path)), re.MULTILINE)


def is_executable(path: Path) -> bool:
    return "INTERP" in run("readelf", "-lW", str(path))


def library_problems(path: Path) -> list[str]:
    return [f"{path.name} exports {name}" for name in exported(path)
            if name not in ABI_SYMBOLS and (not PUBLIC.match(name) or PRIVATE.search(name))]


def module_problems(path: Path) -> list[str]:
    init = "PyInit_" + path.name.split(".", 1)[0]
    return [f"{path.name} exports {name}" for name in exported(path)
            if name not in ABI_SYMBOLS and name != init]


def executable_problems(path: Path) -> list[str]:
    # An executable's dynamic symbols are the copies of library data it references and the inline
    # definitions that preempt a library's; none of them may be code of ours.
    return [f"{path.name} exports {name}" for name in exported(path) if OURS.search(name)]


def is_elf(path: Path) -> bool:
    with open(path, "rb") as f:
        return f.read(4) == b"\x7fELF"


def wheel_problems(wheel: Path) -> list[str]:
    problems = []
    with tempfile.TemporaryDirectory() as tmp:
        with zipfile.ZipFile(wheel) as archive:
            archive.extractall(tmp)
        binaries = [p for p in sorted(Path(tmp).rglob("*")) if p.is_file() and is_elf(p)]
        licences = {p.name: p for p in Path(tmp).glob("*.dist-info/licenses/**/*") if p.is_file()}
        problems += [f"{wheel.name} carries no {name}" for name in LICENCES if name not in licences]
        if "rust-crates.txt" in licences and not re.search(
                r"^zenoh \S+ +EPL-2\.0 OR Apache-2\.0$",
                licences["rust-crates.txt"].read_text(encoding="utf-8"), re.MULTILINE):
            problems.append(f"{wheel.name}: rust-crates.txt does not name the zenoh crate")
        if not any(p.name.startswith("korvantyr.cpython-") for p in binaries):
            problems.append(f"{wheel.name} holds no korvantyr extension module")
        for path in binaries:
            where = path.relative_to(tmp)
            if is_executable(path):
                problems += executable_problems(path)
            elif path.name.startswith("korvantyr.cpython-"):
                problems += module_problems(path)
            else:
                problems.append(f"{where}: a shared library the wheel should not need")
            problems += [f"{where} needs {lib}" for lib in needed(path)
                         if lib not in RUNTIME_LIBRARIES]
            problems += [f"{where} has run path {rp}" for rp in run_paths(path)
                         if not rp.startswith("$ORIGIN")]
            problems += [f"{where} is not stripped: {name}" for name in sections(path)
                         if name in (".symtab", ".strtab") or name.startswith(".debug")]
        print(f"{wheel.name}: {len(binaries)} ELF file(s): "
              + ", ".join(str(p.relative_to(tmp)) for p in binaries))
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("kind", choices=["library", "module", "wheel"])
    parser.add_argument("path", type=Path)
    args = parser.parse_args()
    check = {"library": library_problems, "module": module_problems, "wheel": wheel_problems}
    problems = check[args.kind](args.path)
    for problem in problems:
        print(problem)
    if args.kind != "wheel":
        print(f"{args.path.name}: {len(exported(args.path))} exported symbol(s), "
              f"{len(problems)} outside the interface")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
