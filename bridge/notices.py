#!/usr/bin/env python3
"""Writes the notices of the Rust crates compiled into the Zenoh bridge: every crate that Cargo.lock
resolves for the target (the host unless named) and that ends up in the library (normal dependencies; build scripts,
procedural macros and their own dependencies stay behind at build time), with its version, its
licence and the licence texts its package carries, each text written once.

    python3 bridge/notices.py --cargo CARGO --output FILE [--target TRIPLE]

Runs after the bridge is built, so cargo already holds every crate and never touches the network.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Any

MANIFEST = Path(__file__).resolve().parent / "Cargo.toml"
LICENCE_FILE_PREFIXES = ("LICENSE", "LICENCE", "COPYING", "COPYRIGHT", "NOTICE", "UNLICENSE")


def rustc_facts(cargo: str) -> tuple[str, str, Path]:
    """The host triple, the release and the sysroot of the rustc beside cargo."""
    rustc = Path(cargo).with_name("rustc")
    rustc_cmd = str(rustc) if rustc.exists() else "rustc"
    facts = dict(line.split(": ", 1) for line in subprocess.run(
        [rustc_cmd, "-vV"], check=True, capture_output=True, text=True).stdout.splitlines()
        if ": " in line)
    sysroot = subprocess.run([rustc_cmd, "--print", "sysroot"], check=True, capture_output=True,
                             text=True).stdout.strip()
    return facts["host"], facts["release"], Path(sysroot)


def shipped_packages(metadata: dict[str, Any]) -> list[dict[str, Any]]:
    packages = {p["id"]: p for p in metadata["packages"]}
    nodes = {n["id"]: n for n in metadata["resolve"]["nodes"]}
    root = metadata["resolve"]["root"]

    def is_proc_macro(package: dict[str, Any]) -> bool:
        return any("proc-macro" in target["kind"] for target in package["targets"])

    seen: set[str] = set()
    stack = [root]
    while stack:
        current = stack.pop()
        if current in seen or is_proc_macro(packages[current]):
            continue
        seen.add(current)
        for dep in nodes[current]["deps"]:
            if any(kind["kind"] is None for kind in dep["dep_kinds"]):
                stack.append(dep["pkg"])
    seen.discard(root)
    return sorted((packages[i] for i in seen), key=lambda p: (p["name"], p["version"]))


def licence_files(package: dict[str, Any]) -> list[Path]:
    folder = Path(package["manifest_path"]).parent
    found = [folder / name for name in os.listdir(folder)
             if name.upper().startswith(LICENCE_FILE_PREFIXES) and (folder / name).is_file()]
    if package.get("license_file"):
        found.append(folder / package["license_file"])
    return sorted(set(found))


def render(packages: list[dict[str, Any]], triple: str, release: str, sysroot: Path) -> str:
    texts: dict[str, list[str]] = {}  # licence text -> the crates that carry it
    rows = []
    without_files = []
    for package in packages:
        crate = f"{package['name']} {package['version']}"
        licence = " ".join((package.get("license") or "see its licence files").split())
        rows.append(f"{crate:<40} {licence}")
        files = licence_files(package)
        for path in files:
            text = path.read_text(encoding="utf-8", errors="replace").strip()
            texts.setdefault(text, []).append(f"{crate} ({path.name})")
        if not files:
            where = package.get("repository") or "crates.io"
            without_files.append(f"{crate:<40} {licence} ({where})")
    rows.append(f"{'Rust standard library ' + release:<40} MIT OR Apache-2.0")
    out = [
        "Rust crates compiled into korvantyr's Zenoh bridge",
        "",
        f"{len(packages)} crates from crates.io, as Cargo.lock resolves them for {triple}, and the",
        "Rust standard library. Where a crate offers a choice of licences that includes the Apache",
        "License 2.0, korvantyr uses it under that licence; its text is in this package's LICENSE.",
        "",
        *rows,
        "",
        "-" * 100,
        "Crates whose package carries no licence file (their licence as their manifest states it):",
        "",
        *without_files,
    ]
    mit = sysroot / "share" / "doc" / "rust" / "licenses" / "MIT.txt"
    if mit.is_file():
        out += ["", "The MIT licence, as the Rust toolchain ships it:", "",
                mit.read_text(encoding="utf-8", errors="replace").strip()]
    out += ["", "The Rust standard library's copyright notices: share/doc/rust/COPYRIGHT-library.html",
            f"of the Rust {release} toolchain, and https://github.com/rust-lang/rust/blob/{release}/COPYRIGHT."]
    for number, (text, carriers) in enumerate(texts.items(), 1):
        out += ["", "-" * 100, f"Licence text {number}, carried by {', '.join(carriers)}:", "", text]
    return "\n".join(out) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cargo", default="cargo")
    parser.add_argument("--output", type=Path, required=True)
    parser.add_argument("--target", help="Rust's target triple of a cross build (default: the host)")
    args = parser.parse_args()
    triple, release, sysroot = rustc_facts(args.cargo)
    triple = args.target or triple
    metadata = json.loads(subprocess.run(
        [args.cargo, "metadata", "--format-version", "1", "--locked", "--offline",
         "--filter-platform", triple, "--manifest-path", str(MANIFEST)],
        check=True, capture_output=True, text=True).stdout)
    args.output.write_text(render(shipped_packages(metadata), triple, release, sysroot), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
