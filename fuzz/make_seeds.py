"""Writes the fuzz targets' seed corpora from what the simulated robot sends.

    PYTHONPATH=sim .venv/bin/python fuzz/make_seeds.py [--out build/fuzz/corpus] [--committed]

Every target gets a directory ``<out>/<what>`` (``what`` as in ``fuzz/fuzz_<what>.cpp``) of
payloads and texts of the simulated robot: several presets at several moments of their motion,
packed both by the direct packer and by eclipse-zenoh's serializer (identical bytes are written
once), the stream faults and RPC misbehaviours the simulator can play, and the inputs that the
segmentation, primitive-state and plan-info targets expect around them. ``--committed`` writes
only the small seed set kept in git, into ``fuzz/corpus``.
"""

from __future__ import annotations

import argparse
import hashlib
import struct
import sys
from collections.abc import Iterator
from pathlib import Path

from korvantyr_sim.faults import STREAM_FAULTS, Rule, faulty_payload, replies
from korvantyr_sim.messages import RPCRequest, encode, encode_with_zenoh
from korvantyr_sim.robot import Robot, custom_preset
from korvantyr_sim.service import (
    REQ_MANIPULABILITY,
    REQ_PING,
    REQ_PLAN_INFO,
    REQ_PRIMITIVE_STATES,
    REQ_SERVER_VERSION,
    REQ_START_ID_AND_DOF,
    answer,
)

ROOT = Path(__file__).resolve().parent.parent
ALL_GROUPS = [0, 2, 3, 4, 5]  # what the client asks the start indices and DoF of
WALL_NS = 1_700_000_000_123_456_789

# Robots of the corpora, by name: the two presets and custom robots of other shapes.
ROBOTS = {
    "dual_arm": "dual-arm",
    "single_arm": "single-arm",
    "ext_first": "EXT_AXIS:2,ARM_1:6",
    "two_arms": "ARM_1:3,ARM_2:4",
}
TIMES = [0.0, 1.3, 4.1, 7.7, 9.25, 13.0, 15.9, 31.4]

# The committed seed set: a handful of small inputs per target, by file name.
COMMITTED = {
    "basic_stream": ["dual_arm_t0", "single_arm_t1.3", "dual_arm_cut", "dual_arm_wrong-array",
                     "dual_arm_short-cartesian"],
    "extra_stream": ["dual_arm_t0", "single_arm_t1.3", "dual_arm_wrong-array",
                     "dual_arm_unknown-group"],
    "rpc_reply": ["dual_arm_ping", "dual_arm_version", "dual_arm_primitive_states",
                  "dual_arm_plan_info", "dual_arm_manipulability", "dual_arm_start_ids"],
    "segmentation": ["dual_arm_states", "dual_arm_actions", "single_arm_states",
                     "dual_arm_states_short-joints", "dual_arm_actions_missing_dof",
                     "single_arm_states_negative_start"],
    "serial_number": ["canonical", "blank_model", "two_words", "underscore", "unit_blank"],
    "primitive_states": ["dual_arm_t0", "single_arm_t4.1", "dual_arm_retry", "no_groups"],
    "plan_info": ["dual_arm_t0", "dual_arm_t13", "seven_strings"],
    "manipulability": ["dual_arm_t0", "single_arm_t7.7", "two_arms_t1.3"],
    "start_id_and_dof": ["dual_arm", "single_arm", "ext_first", "repeated_group"],
}


def robot(name: str) -> Robot:
    preset = ROBOTS[name]
    return Robot(preset if preset in ("dual-arm", "single-arm") else custom_preset(preset))


def both_packings(name: str, record: object) -> Iterator[tuple[str, bytes]]:
    yield name, encode(record)
    yield name + "_zenoh", encode_with_zenoh(record)


# -- decoders --------------------------------------------------------------------------------


def stream_seeds(stream: str) -> Iterator[tuple[str, bytes]]:
    for name in ROBOTS:
        r = robot(name)
        for t in TIMES:
            msg = r.basic(t, WALL_NS) if stream == "basic" else r.extra(t)
            yield from both_packings(f"{name}_t{t:g}", msg)
        msg = r.basic(2.0, WALL_NS) if stream == "basic" else r.extra(2.0)
        for fault in STREAM_FAULTS:
            yield f"{name}_{fault}", faulty_payload(fault, msg)


def rpc_replies(r: Robot, t: float) -> Iterator[tuple[str, object]]:
    for label, request_id in (("ping", REQ_PING), ("version", REQ_SERVER_VERSION),
                              ("primitive_states", REQ_PRIMITIVE_STATES),
                              ("plan_info", REQ_PLAN_INFO),
                              ("manipulability", REQ_MANIPULABILITY)):
        yield label, answer(r, RPCRequest(request_id), "v2.1", t)
    yield "start_ids", answer(r, RPCRequest(REQ_START_ID_AND_DOF, list(ALL_GROUPS)), "v2.1", t)


def rpc_reply_seeds() -> Iterator[tuple[str, bytes]]:
    for name in ROBOTS:
        r = robot(name)
        for t in TIMES[:3]:
            for label, reply in rpc_replies(r, t):
                suffix = "" if t == 0.0 else f"_t{t:g}"
                yield from both_packings(f"{name}_{label}{suffix}", reply)
        for label, reply in rpc_replies(r, 2.0):
            for behaviour in ("trailing-byte", "truncated", "undecodable", "wrong-id",
                              "flip-success"):
                for i, (_, data) in enumerate(replies(Rule(behaviour), reply)):
                    yield f"{name}_{label}_{behaviour}_{i}", data


# -- reply interpretation ----------------------------------------------------------------------


def manipulability_seeds() -> Iterator[tuple[str, bytes]]:
    for name in ROBOTS:
        r = robot(name)
        for t in TIMES:
            yield from both_packings(f"{name}_t{t:g}",
                                     answer(r, RPCRequest(REQ_MANIPULABILITY), "v2.1", t))


def start_id_seeds() -> Iterator[tuple[str, bytes]]:
    for name in ROBOTS:
        r = robot(name)
        yield from both_packings(name, answer(r, RPCRequest(REQ_START_ID_AND_DOF, ALL_GROUPS),
                                              "v2.1"))
        for number in ALL_GROUPS:
            reply = answer(r, RPCRequest(REQ_START_ID_AND_DOF, [number]), "v2.1")
            yield f"{name}_group{number}", encode(reply)
    reply = answer(robot("dual_arm"), RPCRequest(REQ_START_ID_AND_DOF, [3, 4, 3]), "v2.1")
    yield "repeated_group", encode(reply)


# -- segmentation ------------------------------------------------------------------------------


def tables(entries: list[tuple[int, int, int, int]]) -> bytes:
    """The target's table header: count, then (group, listed bits, start, DoF) per entry."""
    out = bytes([len(entries)])
    for number, listed, start, dof in entries:
        out += struct.pack("<HBiQ", number, listed, start, dof)
    return out


def robot_tables(r: Robot) -> list[tuple[int, int, int, int]]:
    """The client's tables for a robot: every group named, with its start index and DoF."""
    return [(g.number, 7, g.start, g.dof) for g in r.preset.groups]


def segmentation_input(actions: bool, entries: list[tuple[int, int, int, int]],
                       payload: bytes) -> bytes:
    head = bytes([1 if actions else 0]) + tables(entries)
    if actions:
        head += struct.pack("<iI", *divmod(WALL_NS, 1_000_000_000))
    return head + payload


def segmentation_seeds() -> Iterator[tuple[str, bytes]]:
    for name in ROBOTS:
        r = robot(name)
        good = robot_tables(r)
        variants = {
            "": good,
            "_missing_dof": [(n, 3 if i == 0 else 7, s, d) for i, (n, _, s, d) in enumerate(good)],
            "_missing_start": [(n, 5 if i == 0 else 7, s, d)
                               for i, (n, _, s, d) in enumerate(good)],
            "_dof_one_more": [(n, 7, s, d + 1) for n, _, s, d in good],
            "_negative_start": [(n, 7, -1 if i == 0 else s, d)
                                for i, (n, _, s, d) in enumerate(good)],
            "_huge_dof": [(n, 7, s, 2**64 - 1 if i == 0 else d)
                          for i, (n, _, s, d) in enumerate(good)],
            "_zero_dof": [(n, 7, s, 0) for n, _, s, d in good],
            "_unlisted": [(n, 6, s, d) for n, _, s, d in good],
        }
        for t in TIMES[:3]:
            suffix = "" if t == 0.0 else f"_t{t:g}"
            basic, extra = encode(r.basic(t, WALL_NS)), encode(r.extra(t))
            for label, entries in variants.items():
                if t != 0.0 and label:
                    continue
                yield f"{name}_states{label}{suffix}", segmentation_input(False, entries, basic)
                yield f"{name}_actions{label}{suffix}", segmentation_input(True, entries, extra)
        for fault in ("short-joints", "short-cartesian", "unknown-group", "unnamed-group"):
            yield (f"{name}_states_{fault}",
                   segmentation_input(False, good, faulty_payload(fault, r.basic(2.0, WALL_NS))))
            yield (f"{name}_actions_{fault}",
                   segmentation_input(True, good, faulty_payload(fault, r.extra(2.0))))


# -- texts -------------------------------------------------------------------------------------


def group_bits(r: Robot) -> bytes:
    return bytes([sum(1 << g.number for g in r.preset.groups)])


def primitive_state_seeds() -> Iterator[tuple[str, bytes]]:
    for name in ROBOTS:
        r = robot(name)
        for t in TIMES:
            yield f"{name}_t{t:g}", group_bits(r) + "\n".join(r.primitive_states(t)).encode()
    r = robot("dual_arm")
    entries = r.primitive_states(3.0)
    corrupted = "\n".join(entries[:3] + [""] + entries[3:]).encode()
    yield "dual_arm_retry", group_bits(r) + corrupted + b"\0" + "\n".join(entries).encode()
    yield "no_groups", b"\0" + "\n".join(robot("single_arm").primitive_states(0.0)).encode()


def plan_info_seeds() -> Iterator[tuple[str, bytes]]:
    for name in ROBOTS:
        r = robot(name)
        for t in TIMES:
            yield f"{name}_t{t:g}", "\n".join(r.plan_info(t)).encode()
    yield "seven_strings", "\n".join(robot("dual_arm").plan_info(1.0)[:7]).encode()


def serial_number_seeds() -> Iterator[tuple[str, bytes]]:
    yield "canonical", b"DEMO-ARM-0001"
    yield "blank_model", b"DEMO ARM-0001"
    yield "two_words", b"KVN SIM-7"
    yield "underscore", b"DEMO_ARM-0001"
    yield "unit_blank", b"DEMO-ARM-00 01"
    yield "trailing_hyphen", b"DEMO-ARM-"
    yield "doubled_blank", b"DEMO  ARM-0001"
    yield "wildcard_unit", b"DEMO-ARM-*"


TARGETS = {
    "basic_stream": lambda: stream_seeds("basic"),
    "extra_stream": lambda: stream_seeds("extra"),
    "rpc_reply": rpc_reply_seeds,
    "segmentation": segmentation_seeds,
    "serial_number": serial_number_seeds,
    "primitive_states": primitive_state_seeds,
    "plan_info": plan_info_seeds,
    "manipulability": manipulability_seeds,
    "start_id_and_dof": start_id_seeds,
}


def write(directory: Path, seeds: Iterator[tuple[str, bytes]], only: list[str] | None) -> int:
    directory.mkdir(parents=True, exist_ok=True)
    seen: set[bytes] = set()
    written = 0
    for name, data in seeds:
        if only is not None and name not in only:
            continue
        digest = hashlib.sha1(data).digest()
        if digest in seen:
            continue
        seen.add(digest)
        (directory / name).write_bytes(data)
        written += 1
    if only is not None and written != len(only):
        sys.exit(f"make_seeds: {directory.name}: expected {len(only)} committed seeds, "
                 f"wrote {written}")
    return written


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=ROOT / "build" / "fuzz" / "corpus",
                        help="directory of the corpora (default: build/fuzz/corpus)")
    parser.add_argument("--committed", action="store_true",
                        help="write only the small committed seed set into fuzz/corpus")
    args = parser.parse_args()
    out = ROOT / "fuzz" / "corpus" if args.committed else args.out
    for what, seeds in TARGETS.items():
        count = write(out / what, seeds(), COMMITTED[what] if args.committed else None)
        print(f"{what}: {count} inputs in {out / what}")


if __name__ == "__main__":
    main()
