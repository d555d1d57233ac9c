"""A robot that moves smoothly: presets of joint groups and the stream messages at a given time.

Presets (joint-group number: start index, DoF):

* ``dual-arm``: two 7-joint arms and a 2-axis external axis, 16 joints. ALL 0: 0, 16; ARMS 2: 0, 14;
  ARM_1 3: 0, 7; ARM_2 4: 7, 7; EXT_AXIS 5: 14, 2.
* ``single-arm``: one 7-joint arm. ALL 0: 0, 7; ARM_1 3: 0, 7. A single arm is announced as ARM_1
  only, without an ARMS group (ARMS would be the same joints twice under another name).

Any other robot is made with ``custom_preset("ARM_1:7,EXT_AXIS:2")``: the physical groups (ARM_1,
ARM_2, EXT_AXIS) with their DoF, in the order of their joints in the robot-wide vectors. ALL spans
every joint; ARMS is added when ARM_2 directly follows ARM_1, as on the dual-arm robot.

Every value is a smooth function of time: joints follow sines with per-joint phases, orientations
turn about a slowly wandering axis (always unit quaternions, w first), wrenches wobble around a
gravity load, and the flags and the 20 digital inputs and outputs change every few seconds.

The remote procedures' answers follow the same clock: every joint group runs a plan that cycles
through ``PRIMITIVES`` (``PRIMITIVE_PERIOD`` seconds each), and the manipulability of a group is
computed from its current joint positions, so it changes as the robot moves.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

from .messages import (
    AllBasicStreamData,
    AllExtraStreamData,
    CartesianStateData,
    DesiredCartesianData,
    DesiredJointData,
    JointStateData,
    SafetyIoData,
)

ALL, ARMS, ARM_1, ARM_2, EXT_AXIS = 0, 2, 3, 4, 5


@dataclass(frozen=True)
class Group:
    number: int
    start: int
    dof: int


@dataclass(frozen=True)
class Preset:
    name: str
    groups: tuple[Group, ...]

    @property
    def dof(self) -> int:
        return next(g.dof for g in self.groups if g.number == ALL)

    def group(self, number: int) -> Group | None:
        return next((g for g in self.groups if g.number == number), None)


PRESETS = {
    "dual-arm": Preset(
        "dual-arm",
        (Group(ALL, 0, 16), Group(ARMS, 0, 14), Group(ARM_1, 0, 7), Group(ARM_2, 7, 7),
         Group(EXT_AXIS, 14, 2)),
    ),
    "single-arm": Preset("single-arm", (Group(ALL, 0, 7), Group(ARM_1, 0, 7))),
}

GROUP_NUMBERS = {"ALL": ALL, "ARMS": ARMS, "ARM_1": ARM_1, "ARM_2": ARM_2, "EXT_AXIS": EXT_AXIS}
_PHYSICAL = ("ARM_1", "ARM_2", "EXT_AXIS")
MAX_GROUP_DOF = 64


def custom_preset(text: str) -> Preset:
    """A preset from ``"NAME:DOF,..."``; raises ``ValueError`` with the reason if malformed."""
    start, groups, seen = 0, [], set()
    for item in (part.strip() for part in text.split(",")):
        name, sep, dof_text = item.partition(":")
        name = name.strip().upper()
        if not sep or name not in _PHYSICAL:
            raise ValueError(f"{item!r}: expected NAME:DOF with NAME one of {', '.join(_PHYSICAL)}")
        if name in seen:
            raise ValueError(f"{name} given twice")
        try:
            dof = int(dof_text)
        except ValueError:
            dof = 0
        if not 1 <= dof <= MAX_GROUP_DOF:
            raise ValueError(f"{item!r}: DoF must be a whole number from 1 to {MAX_GROUP_DOF}")
        seen.add(name)
        groups.append(Group(GROUP_NUMBERS[name], start, dof))
        start += dof
    groups.append(Group(ALL, 0, start))
    by_number = {g.number: g for g in groups}
    arm_1, arm_2 = by_number.get(ARM_1), by_number.get(ARM_2)
    if arm_1 is not None and arm_2 is not None and arm_2.start == arm_1.start + arm_1.dof:
        groups.append(Group(ARMS, arm_1.start, arm_1.dof + arm_2.dof))
    return Preset("custom", tuple(sorted(groups, key=lambda g: g.number)))


_N_IO = 20
_N_AUX_FLAGS = 8

# The plan every joint group runs, over and over; it waits for a step during "Hold".
PLAN_NAME = "PickAndPlace"
PRIMITIVES = ("MoveJ", "MoveL", "Contact", "Hold")
PRIMITIVE_PERIOD = 4.0
PACKED_MANIPULABILITY_SIZE = 8


def _fmt(x: float) -> str:
    """A double as the robot writes it: always with a decimal point, never with a blank."""
    return f"{x:.6f}"


def _quaternion(t: float, seed: float) -> list[float]:
    """A unit quaternion (w, x, y, z) turning about an axis that itself drifts."""
    angle = 0.8 * math.sin(0.3 * t + seed)
    ax, ay, az = math.cos(0.1 * t + seed), math.sin(0.1 * t + seed), 0.5 + 0.3 * math.sin(0.07 * t)
    norm = math.sqrt(ax * ax + ay * ay + az * az)
    s = math.sin(angle / 2) / norm
    return [math.cos(angle / 2), ax * s, ay * s, az * s]


def _pose(t: float, seed: float) -> list[float]:
    position = [
        0.45 + 0.1 * math.sin(0.5 * t + seed),
        0.1 * math.cos(0.5 * t + seed) + (0.3 if seed > 1 else -0.3),
        0.6 + 0.05 * math.sin(0.9 * t + seed),
    ]
    return position + _quaternion(t, seed)


def _wrench(t: float, seed: float, load: float) -> list[float]:
    """Force (N) then moment (Nm): a hanging load plus a small wobble."""
    w = 0.5 * math.sin(2.0 * t + seed)
    return [w, 0.3 * w, -9.81 * load + w, 0.05 * w, -0.02 * w, 0.01 * w]


def _slow_bits(t: float, count: int, period: float, offset: int) -> list[bool]:
    """``count`` flags, flag i toggling every ``period * (i + 1)`` seconds."""
    return [bool(int(t / (period * (i + 1)) + offset + i) % 2) for i in range(count)]


class Robot:
    """Produces the messages of a robot of one preset (a name or a ``Preset``); ``t`` is seconds since the robot started."""

    def __init__(self, preset: str | Preset = "dual-arm") -> None:
        self.preset = PRESETS[preset] if isinstance(preset, str) else preset
        n = self.preset.dof
        self._phases = [0.4 * j for j in range(n)]
        # External axes move less than the arms' joints.
        ext = self.preset.group(EXT_AXIS)
        ext_joints = range(ext.start, ext.start + ext.dof) if ext is not None else range(0)
        self._amplitudes = [0.2 if j in ext_joints else 0.6 for j in range(n)]

    @property
    def group_numbers(self) -> list[int]:
        return [g.number for g in self.preset.groups]

    def _joints(self, t: float, lag: float = 0.0) -> tuple[list[float], list[float]]:
        q, dq = [], []
        for a, p in zip(self._amplitudes, self._phases):
            w = 0.5 + 0.05 * p
            q.append(a * math.sin(w * (t + lag) + p))
            dq.append(a * w * math.cos(w * (t + lag) + p))
        return q, dq

    def safety_io(self, t: float) -> SafetyIoData:
        return SafetyIoData(
            aux_code=int(t) % 4,
            aux_value=int(100 * math.sin(0.2 * t)),
            estop_released=True,
            enabling_device_on=int(t / 5.0) % 2 == 0,
            aux_flags=_slow_bits(t, _N_AUX_FLAGS, 3.0, 0),
            digital_inputs=_slow_bits(t, _N_IO, 2.0, 0),
            digital_outputs=_slow_bits(t, _N_IO, 2.5, 1),
        )

    def basic(self, t: float, wall_ns: int) -> AllBasicStreamData:
        n = self.preset.dof
        q, dq = self._joints(t)
        tau = [5.0 * math.sin(0.7 * t + p) for p in self._phases]
        joints = JointStateData(
            q=q,
            theta=[v + 1e-3 * math.sin(3.0 * t) for v in q],
            dq=dq,
            dtheta=[v * 1.001 for v in dq],
            tau=tau,
            tau_dot=[3.5 * math.cos(0.7 * t + p) for p in self._phases],
            tau_ext=[0.2 * math.sin(1.3 * t + p) for p in self._phases],
            tau_interact=[0.1 * math.sin(1.1 * t + p) for p in self._phases],
            temperature=[35.0 + 2.0 * math.sin(0.01 * t + p) for p in self._phases],
            aux_triples_1=[[v, d, 0.0] for v, d in zip(q, dq)],
            aux_triples_2=[[float(j), 0.0, 1.0] for j in range(n)],
        )
        cartesian = []
        for g in self.preset.groups:
            seed = 0.7 * g.number
            pose = _pose(t, seed)
            wrench = _wrench(t, seed, load=1.0 + 0.1 * g.number)
            cartesian.append(
                CartesianStateData(
                    flange_pose=_pose(t - 0.01, seed),
                    tcp_pose=pose,
                    tcp_twist=[0.05 * math.cos(0.5 * t + seed), -0.05 * math.sin(0.5 * t + seed),
                               0.045 * math.cos(0.9 * t + seed), 0.0, 0.0,
                               0.1 * math.cos(0.3 * t + seed)],
                    tcp_wrench_local=wrench,
                    aux_array6=[0.0] * 6,
                    raw_tcp_wrench_local=[v + 0.05 for v in wrench],
                    raw_ft_sensor=[v + 0.1 for v in wrench],
                )
            )
        sec, nsec = divmod(wall_ns, 1_000_000_000)
        return AllBasicStreamData(
            safety_io=self.safety_io(t),
            joint_group_indices=self.group_numbers,
            joint_data=joints,
            cartesian_data=cartesian,
            timestamp_sec=sec,
            timestamp_nsec=nsec,
        )

    def extra(self, t: float) -> AllExtraStreamData:
        # The commanded motion leads the measured one by a few milliseconds.
        q_d, dq_d = self._joints(t, lag=0.005)
        return AllExtraStreamData(
            joint_group_indices=self.group_numbers,
            desired_joint_data=DesiredJointData(
                q_d=q_d, dq_d=dq_d, tau_d=[5.0 * math.sin(0.7 * t + p) for p in self._phases]
            ),
            cartesian_data=[
                DesiredCartesianData(
                    tcp_pose_d=_pose(t + 0.005, 0.7 * g.number),
                    tcp_twist_d=[0.05 * math.cos(0.5 * t), -0.05 * math.sin(0.5 * t), 0.0, 0.0,
                                 0.0, 0.0],
                    tcp_wrench_d=_wrench(t, 0.7 * g.number, load=1.0),
                )
                for g in self.preset.groups
            ],
        )

    # -- remote procedures -----------------------------------------------------------------------

    def primitive(self, t: float) -> tuple[int, str, float]:
        """Number of the primitive run so far (from 0), its name and the seconds spent in it."""
        index = int(t // PRIMITIVE_PERIOD)
        return index, PRIMITIVES[index % len(PRIMITIVES)], t - index * PRIMITIVE_PERIOD

    def primitive_states(self, t: float) -> list[str]:
        """Text entries "name = value", one block per joint group, each led by its marker."""
        index, name, elapsed = self.primitive(t)
        q, _ = self._joints(t)
        entries = []
        for g in self.preset.groups:
            joints = q[g.start : g.start + g.dof]
            distance = math.sqrt(sum(v * v for v in joints))
            entries += [
                f"jointGroup = {g.number}",
                f"primitiveName = {name}",
                f"cycleCount = {index // len(PRIMITIVES)}",
                f"reachedTarget = {int(elapsed > 0.75 * PRIMITIVE_PERIOD)}",
                f"timePeriod = {_fmt(elapsed)}",
                f"jointDistance = {_fmt(distance)}",
                f"phase = {'Approach' if elapsed < PRIMITIVE_PERIOD / 2 else 'Settle'}",
            ]
        return entries

    def plan_info(self, t: float) -> list[str]:
        """The eight plan-info texts: primitive, node, node path, its time period and number,
        plan, velocity scale, waiting for a step (0 or 1)."""
        index, name, elapsed = self.primitive(t)
        number = index % len(PRIMITIVES) + 1
        node = f"{name}{number}"
        return [name, node, f"rootNode/mainLoop/{node}", f"{elapsed:.3f}", str(number), PLAN_NAME,
                f"{0.5 + 0.25 * (1.0 + math.sin(0.05 * t)):.2f}", str(int(name == "Hold"))]

    def manipulability(self, t: float) -> tuple[list[int], list[list[float]]]:
        """Per joint group a packed vector of 8 floats: a condition number, the DoF, then six
        manipulability values that follow the group's joint positions."""
        q, _ = self._joints(t)
        packed = []
        for g in self.preset.groups:
            s = sum(abs(math.sin(v + 0.9)) for v in q[g.start : g.start + g.dof]) / g.dof
            packed.append([1.0 / (0.05 + s), float(g.dof), 0.3 * s, 0.6 * s, 0.05 + 0.2 * s,
                           0.2 * s, 0.4 * s, 0.1 + 0.7 * s])
        return self.group_numbers, packed
