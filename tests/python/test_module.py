"""The extension module itself: import, JointGroup and the four record classes.

No network: nothing here opens a Zenoh session.
"""

from __future__ import annotations

import glob
import importlib.metadata
import json
import math
import operator
import os
import pickle
import random
import shutil
import struct
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import korvantyr

MODULE_PATH = korvantyr.__file__

FIXED7 = "Annotated[list[float], FixedSize(7)]"
FIXED6 = "Annotated[list[float], FixedSize(6)]"
FLOATS = "list[float]"
TIMESTAMP = "tuple[int, int]"

# Per class: every attribute in registration order, with its rendered Python type and the value a
# new record reads back.
FIELDS = {
    "RobotStates": [
        ("timestamp", TIMESTAMP, (0, 0)),
        ("q", FLOATS, []),
        ("theta", FLOATS, []),
        ("dq", FLOATS, []),
        ("dtheta", FLOATS, []),
        ("tau", FLOATS, []),
        ("tau_dot", FLOATS, []),
        ("tau_ext", FLOATS, []),
        ("tau_interact", FLOATS, []),
        ("temperature", FLOATS, []),
        ("flange_pose", FIXED7, [0.0] * 7),
        ("tcp_pose", FIXED7, [0.0] * 7),
        ("tcp_twist", FIXED6, [0.0] * 6),
        ("tcp_wrench", FIXED6, [0.0] * 6),
        ("tcp_wrench_local", FIXED6, [0.0] * 6),
        ("raw_tcp_wrench", FIXED6, [0.0] * 6),
        ("raw_tcp_wrench_local", FIXED6, [0.0] * 6),
        ("raw_ft_sensor", FIXED6, [0.0] * 6),
    ],
    "RobotActions": [
        ("timestamp", TIMESTAMP, (0, 0)),
        ("q_d", FLOATS, []),
        ("dq_d", FLOATS, []),
        ("tau_d", FLOATS, []),
        ("tcp_pose_d", FIXED7, [0.0] * 7),
        ("tcp_twist_d", FIXED6, [0.0] * 6),
        ("tcp_wrench_d", FIXED6, [0.0] * 6),
    ],
    "PrimitiveStates": [
        ("pt_name", "str", ""),
        ("names_and_values", "dict[str, Union[int, float, str]]", {}),
    ],
    "PlanInfo": [
        ("pt_name", "str", ""),
        ("node_name", "str", ""),
        ("node_path", "str", ""),
        ("node_path_time_period", "str", ""),
        ("node_path_number", "str", ""),
        ("assigned_plan_name", "str", ""),
        ("velocity_scale", "float", 0.0),
        ("waiting_for_step", "bool", False),
    ],
}

ALL_FIELDS = [(cls, name, rendered, default) for cls, fields in FIELDS.items()
              for name, rendered, default in fields]
FIELD_IDS = [f"{cls}.{name}" for cls, name, _, _ in ALL_FIELDS]

MEMBERS = [("UNKNOWN", -1), ("ALL", 0), ("ARMS", 2), ("ARM_1", 3), ("ARM_2", 4), ("EXT_AXIS", 5)]


def public_names(namespace) -> list[str]:
    return [name for name in vars(namespace) if not name.startswith("_")]


# --- The module ----------------------------------------------------------------------------------

class TestModule:
    def test_docstring(self):
        assert korvantyr.__doc__ == "Korvan Tyrlink (TYR)"

    def test_registers_enumeration_members_and_records_in_order(self):
        names = public_names(korvantyr)
        assert names[:11] == ["JointGroup", "UNKNOWN", "ALL", "ARMS", "ARM_1", "ARM_2",
                              "EXT_AXIS", "RobotStates", "RobotActions", "PrimitiveStates",
                              "PlanInfo"]
        # The client class is the only thing registered after the records.
        assert names[11:] in ([], ["Client"])


# --- JointGroup ----------------------------------------------------------------------------------

class TestJointGroup:
    def test_members_values_and_order(self):
        members = korvantyr.JointGroup.__members__
        assert [(name, member.value) for name, member in members.items()] == MEMBERS
        for name, value in MEMBERS:
            member = getattr(korvantyr.JointGroup, name)
            assert member.name == name
            assert int(member) == value
            assert operator.index(member) == value

    def test_members_are_exported_into_the_module(self):
        for name, _ in MEMBERS:
            assert getattr(korvantyr, name) is getattr(korvantyr.JointGroup, name)

    def test_constructed_from_int_equals_member(self):
        group = korvantyr.JointGroup(3)
        assert group == korvantyr.ARM_1
        assert not group != korvantyr.ARM_1
        assert group != korvantyr.ARM_2

    def test_str_and_repr(self):
        assert str(korvantyr.ARM_1) == "JointGroup.ARM_1"
        assert repr(korvantyr.ARM_1) == "<JointGroup.ARM_1: 3>"
        assert repr(korvantyr.UNKNOWN) == "<JointGroup.UNKNOWN: -1>"

    def test_is_not_a_plain_int(self):
        assert int(korvantyr.UNKNOWN) == -1
        assert korvantyr.ARM_1 != 3
        assert not korvantyr.ARM_1 == 3
        assert not isinstance(korvantyr.ARM_1, int)

    def test_usable_as_dict_key(self):
        names = {korvantyr.ALL: "ALL", korvantyr.ARM_1: "ARM_1"}
        assert names[korvantyr.JointGroup(3)] == "ARM_1"
        assert hash(korvantyr.JointGroup(0)) == hash(korvantyr.ALL)
        # The hash is the value's (so -1 hashes as -2), the one the client's dicts are built with.
        assert [hash(getattr(korvantyr, name)) for name, _ in MEMBERS] == [-2, 0, 2, 3, 4, 5]

    @pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge],
                             ids=["<", "<=", ">", ">="])
    def test_defines_no_ordering(self, op):
        with pytest.raises(TypeError):
            op(korvantyr.ARM_1, korvantyr.ARM_2)

    @pytest.mark.parametrize("op", [operator.or_, operator.and_, operator.xor],
                             ids=["|", "&", "^"])
    def test_defines_no_bitwise_operators(self, op):
        with pytest.raises(TypeError):
            op(korvantyr.ARM_1, korvantyr.ARM_2)


# --- Pickling ------------------------------------------------------------------------------------

def run_python(*parts: str, interpreter: str = sys.executable, env: dict | None = None,
               ) -> subprocess.CompletedProcess:
    """Runs the code `parts` in a fresh interpreter, with the module's path as sys.argv[1]."""
    code = "".join(textwrap.dedent(part) for part in parts)
    return subprocess.run([interpreter, "-I", "-c", code, MODULE_PATH],
                          capture_output=True, text=True, timeout=60, env=env)

# A copy named korvantyr.so imports under any interpreter version (its tag would not match).
PUT_ON_PATH = """
    import os, shutil, sys, tempfile
    _copy_dir = tempfile.mkdtemp()
    shutil.copy(sys.argv[1], os.path.join(_copy_dir, "korvantyr.so"))
    sys.path.insert(0, _copy_dir)
"""
LOAD_BY_PATH = PUT_ON_PATH + """
    import korvantyr
"""


class TestPickling:
    # Run apart from the test process: a regression in protocols 0 and 1 aborts the interpreter.
    def test_joint_group_round_trips_with_every_protocol(self):
        result = run_python(LOAD_BY_PATH, """
            import pickle
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                for member in korvantyr.JointGroup.__members__.values():
                    copy = pickle.loads(pickle.dumps(member, protocol))
                    assert type(copy) is korvantyr.JointGroup, (protocol, copy)
                    assert copy == member and copy.name == member.name, (protocol, copy)
            print("ok")
        """)
        assert (result.returncode, result.stdout, result.stderr) == (0, "ok\n", "")

    def test_records_refuse_every_protocol(self):
        result = run_python(LOAD_BY_PATH, """
            import pickle
            for name in ("RobotStates", "RobotActions", "PrimitiveStates", "PlanInfo"):
                for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                    try:
                        pickle.dumps(getattr(korvantyr, name)(), protocol)
                    except TypeError as error:
                        assert str(error) == f"cannot pickle 'korvantyr.{name}' object", error
                    else:
                        raise AssertionError(f"{name} pickled with protocol {protocol}")
            print("ok")
        """)
        assert (result.returncode, result.stdout, result.stderr) == (0, "ok\n", "")


# --- Records: shape -------------------------------------------------------------------------------

class TestRecordShape:
    @pytest.mark.parametrize("cls", FIELDS)
    def test_attributes_in_field_order_and_nothing_else(self, cls):
        record_type = getattr(korvantyr, cls)
        assert public_names(record_type) == [name for name, _, _ in FIELDS[cls]]
        for dunder in ("__repr__", "__eq__", "__getstate__", "__setstate__", "__reduce__"):
            assert dunder not in vars(record_type)
        assert record_type.__doc__ is None

    @pytest.mark.parametrize("cls", FIELDS)
    def test_constructor_takes_no_arguments(self, cls):
        record_type = getattr(korvantyr, cls)
        assert record_type.__init__.__doc__ == f"__init__(self: korvantyr.{cls}) -> None\n"
        with pytest.raises(TypeError):
            record_type(1)

    @pytest.mark.parametrize(("cls", "name", "rendered", "default"), ALL_FIELDS, ids=FIELD_IDS)
    def test_rendered_signatures(self, cls, name, rendered, default):
        prop = vars(getattr(korvantyr, cls))[name]
        assert prop.fget.__doc__ == f"(self: korvantyr.{cls}) -> {rendered}\n"
        assert prop.fset.__doc__ == f"(self: korvantyr.{cls}, arg0: {rendered}) -> None\n"

    @pytest.mark.parametrize(("cls", "name", "rendered", "default"), ALL_FIELDS, ids=FIELD_IDS)
    def test_new_record_is_value_initialised(self, cls, name, rendered, default):
        value = getattr(getattr(korvantyr, cls)(), name)
        assert value == default
        assert type(value) is type(default)


class TestAttributeGetters:
    """The getters read the record directly; what they are not made for goes to pybind11's."""

    @pytest.mark.parametrize(("cls", "name", "rendered", "default"), ALL_FIELDS, ids=FIELD_IDS)
    def test_getter_reads_like_a_binding_function(self, cls, name, rendered, default):
        getter = vars(getattr(korvantyr, cls))[name].fget
        assert (getter.__name__, getter.__qualname__, getter.__module__) == \
            ("", "PyCapsule.", "korvantyr")

    def test_subclass_reads_its_record(self):
        class Mine(korvantyr.RobotStates):
            pass

        record = Mine()
        record.q = [1.0, 2.0]
        record.timestamp = (3, 4)
        assert (record.q, record.timestamp, record.tcp_pose) == ([1.0, 2.0], (3, 4), [0.0] * 7)

    @pytest.mark.parametrize("wrong", [5, korvantyr.RobotActions(), None])
    def test_getter_called_with_another_object_raises_type_error(self, wrong):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            korvantyr.RobotStates.q.fget(wrong)


# --- Records: conversions ------------------------------------------------------------------------

class TestFixedSizeFields:
    @pytest.mark.parametrize(("name", "size"), [("tcp_pose", 7), ("flange_pose", 7),
                                                ("tcp_twist", 6), ("raw_ft_sensor", 6)])
    def test_wrong_length_raises_and_keeps_value(self, name, size):
        record = korvantyr.RobotStates()
        kept = [float(i + 1) for i in range(size)]
        setattr(record, name, kept)
        for wrong in ([1.0] * (size - 1), [1.0] * (size + 1), []):
            with pytest.raises(TypeError):
                setattr(record, name, wrong)
            assert getattr(record, name) == kept

    def test_exact_length_reads_back_equal(self):
        record = korvantyr.RobotStates()
        record.tcp_pose = [0.1, 0.2, 0.3, 1.0, 0.0, 0.0, 0.0]
        assert record.tcp_pose == [0.1, 0.2, 0.3, 1.0, 0.0, 0.0, 0.0]


class TestWrongTypes:
    @pytest.mark.parametrize(("cls", "name", "good", "bad"), [
        ("RobotStates", "q", [1.0, 2.0], "12"),
        ("RobotStates", "q", [1.0, 2.0], [1.0, "x"]),
        ("RobotStates", "timestamp", (1, 2), (1, 2, 3)),
        ("RobotStates", "timestamp", (1, 2), (2**31, 0)),
        ("RobotStates", "timestamp", (1, 2), (0, -2**31 - 1)),
        ("RobotActions", "q_d", [1.0], None),
        ("PrimitiveStates", "pt_name", "move", 5),
        ("PrimitiveStates", "names_and_values", {"a": 1}, {"a": None}),
        ("PrimitiveStates", "names_and_values", {"a": 1}, {1: 1}),
        ("PlanInfo", "velocity_scale", 0.5, "0.5"),
        ("PlanInfo", "node_name", "n", ["n"]),
    ])
    def test_raise_type_error_and_keep_value(self, cls, name, good, bad):
        record = getattr(korvantyr, cls)()
        setattr(record, name, good)
        with pytest.raises(TypeError):
            setattr(record, name, bad)
        assert getattr(record, name) == good

    def test_timestamp_holds_signed_32_bit_limits(self):
        record = korvantyr.RobotStates()
        record.timestamp = (-2**31, 2**31 - 1)
        assert record.timestamp == (-2**31, 2**31 - 1)


class TestNamesAndValues:
    def test_int_float_and_str_keep_their_kind(self):
        record = korvantyr.PrimitiveStates()
        record.names_and_values = {"count": 1, "ratio": 2.5, "mode": "idle"}
        values = record.names_and_values
        assert values == {"count": 1, "ratio": 2.5, "mode": "idle"}
        assert [type(values[k]) for k in ("count", "ratio", "mode")] == [int, float, str]

    def test_whole_float_stays_float(self):
        record = korvantyr.PrimitiveStates()
        record.names_and_values = {"x": 3.0}
        assert type(record.names_and_values["x"]) is float

    def test_int_beyond_32_bits_falls_back_to_float(self):
        # No alternative takes it as it is; the double takes it with conversion.
        record = korvantyr.PrimitiveStates()
        record.names_and_values = {"big": 2**40, "low": -2**31, "high": 2**31 - 1}
        assert record.names_and_values == {"big": float(2**40), "low": -2**31, "high": 2**31 - 1}
        assert type(record.names_and_values["big"]) is float
        assert type(record.names_and_values["low"]) is int

    def test_keys_come_back_in_byte_order(self):
        record = korvantyr.PrimitiveStates()
        record.names_and_values = {"b": 1, "a": 2, "B": 3, "\u00e9": 4, "aa": 5}
        assert list(record.names_and_values) == ["B", "a", "aa", "b", "\u00e9"]


class TestCopiesAreNotShared:
    def test_appending_to_a_read_list_leaves_record_unchanged(self):
        record = korvantyr.RobotStates()
        record.q.append(1.0)
        assert record.q == []

    def test_changing_a_read_fixed_array_leaves_record_unchanged(self):
        record = korvantyr.RobotStates()
        record.tcp_pose[0] = 5.0
        assert record.tcp_pose == [0.0] * 7

    def test_changing_a_read_dict_leaves_record_unchanged(self):
        record = korvantyr.PrimitiveStates()
        record.names_and_values = {"a": 1}
        record.names_and_values["b"] = 2
        assert record.names_and_values == {"a": 1}

    @pytest.mark.parametrize(("cls", "name", "rendered", "default"), ALL_FIELDS, ids=FIELD_IDS)
    def test_every_read_builds_a_new_object(self, cls, name, rendered, default):
        record = getattr(korvantyr, cls)()
        if isinstance(default, list):
            setattr(record, name, [float(i) for i in range(len(default) or 3)])
        first, second = getattr(record, name), getattr(record, name)
        assert first == second
        if isinstance(default, (list, dict)):
            assert first is not second

    def test_floats_read_back_with_their_exact_bits(self):
        # Reads may hand out float objects made for an earlier read of the same value: values
        # equal only numerically must still come back as themselves, whatever was read before.
        special = [0.0, -0.0, math.inf, -math.inf, 5e-324, -5e-324, 1.0, 1.0 + 2**-52,
                   struct.unpack("<d", bytes.fromhex("000000000000f87f"))[0],
                   struct.unpack("<d", bytes.fromhex("000000000000f8ff"))[0],
                   struct.unpack("<d", bytes.fromhex("010000000000f07f"))[0]]
        generator = random.Random(7)
        many = [generator.uniform(-10.0, 10.0) for _ in range(40_000)]
        bits = struct.Struct("<d").pack
        record = korvantyr.RobotStates()
        for values in (special, many, list(reversed(special)), many[:100] + special):
            record.q = values
            for _ in range(2):
                assert [bits(v) for v in record.q] == [bits(v) for v in values]
        record.tcp_pose = special[:7]
        plan = korvantyr.PlanInfo()
        for value in special:
            plan.velocity_scale = value
            assert bits(plan.velocity_scale) == bits(value)
        assert [bits(v) for v in record.tcp_pose] == [bits(v) for v in special[:7]]

    def test_changing_the_assigned_value_leaves_record_unchanged(self):
        record = korvantyr.RobotActions()
        source = [1.0, 2.0]
        record.q_d = source
        source.append(3.0)
        assert record.q_d == [1.0, 2.0]


# --- Interpreter version check -------------------------------------------------------------------

MISMATCH = ("Python version mismatch: module was compiled for Python 3.12, but the interpreter "
            "version is incompatible: {}.")

IMPORT_REPORT = PUT_ON_PATH + """
    import json
    try:
        import korvantyr
    except ImportError as error:
        outcome = f"ImportError: {error}"
    else:
        outcome = "imported"
    print(json.dumps([sys.version, outcome]))
"""


def find_interpreter(version: str) -> str | None:
    pattern = os.path.expanduser(f"~/.pyenv/versions/{version}.*/bin/python{version}")
    candidates = sorted(glob.glob(pattern)) + [shutil.which(f"python{version}")]
    for candidate in filter(None, candidates):
        probe = subprocess.run(
            [candidate, "-I", "-c", "import sys; print('%d.%d' % sys.version_info[:2])"],
            capture_output=True, text=True)
        if probe.returncode == 0 and probe.stdout.strip() == version:
            return candidate
    return None


def import_report(interpreter: str, env: dict | None = None) -> tuple[str, str]:
    """Imports the module under `interpreter`; returns its version text and the outcome."""
    result = run_python(IMPORT_REPORT, interpreter=interpreter, env=env)
    assert result.returncode == 0, result.stderr
    version, outcome = json.loads(result.stdout)
    return version, outcome


# Interpreter version texts, and whether the module accepts them.
VERSION_TEXTS = [
    ("3.12.1 (main, May  9 2026, 07:36:11) [GCC 12.2.0]", True),
    ("3.12", True),
    ("3.12.0rc1 (main)", True),
    ("3.120.0 (future)", False),
    ("3.13.0 (main)", False),
    ("3.11.9 (main)", False),
    ("3.1.5", False),
    ("4.12.0", False),
]


class TestInterpreterVersionCheck:
    @pytest.mark.parametrize("version", ["3.11", "3.10", "3.9"])
    def test_older_interpreter_gets_the_mismatch_message(self, version):
        interpreter = find_interpreter(version)
        if interpreter is None:
            pytest.skip(f"no Python {version} on this machine")
        full_version, outcome = import_report(interpreter)
        assert outcome == "ImportError: " + MISMATCH.format(full_version)

    def test_newer_interpreter_cannot_load_the_module(self):
        # Python 3.13 refuses the module before its init function runs: the dynamic loader misses
        # a C API symbol that 3.13 no longer exports. The import fails all the same.
        interpreter = find_interpreter("3.13")
        if interpreter is None:
            pytest.skip("no Python 3.13 on this machine")
        _, outcome = import_report(interpreter)
        assert outcome.startswith("ImportError: ")

    @pytest.fixture(scope="class")
    def fake_version_library(self, tmp_path_factory):
        """A preload library whose Py_GetVersion returns $KVN_FAKE_PY_VERSION."""
        if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
            pytest.skip("libpython is linked statically: Py_GetVersion cannot be replaced")
        compiler = shutil.which("cc") or shutil.which("gcc")
        if compiler is None:
            pytest.skip("no C compiler")
        directory = tmp_path_factory.mktemp("fake_version")
        source = directory / "fake_version.c"
        source.write_text(textwrap.dedent("""
            #include <stdlib.h>
            const char *Py_GetVersion(void) {
              const char *fake = getenv("KVN_FAKE_PY_VERSION");
              return fake ? fake : "";
            }
        """))
        library = directory / "fake_version.so"
        subprocess.run([compiler, "-shared", "-fPIC", "-o", str(library), str(source)], check=True)
        return library

    @pytest.mark.parametrize(("fake", "accepted"), VERSION_TEXTS)
    def test_version_text_decides(self, fake_version_library, fake, accepted):
        # After any preload already in force (a sanitizer runtime must stay first).
        preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(fake_version_library)]))
        env = dict(os.environ, LD_PRELOAD=preload, KVN_FAKE_PY_VERSION=fake)
        version, outcome = import_report(sys.executable, env)
        assert version == fake  # the interpreter itself sees the replaced function as well
        assert outcome == ("imported" if accepted else "ImportError: " + MISMATCH.format(fake))

    def test_requires_python_admits_the_interpreters_the_module_accepts(self):
        # pip decides by Requires-Python before anything is imported: both must draw one line.
        from packaging.specifiers import SpecifierSet

        requires = SpecifierSet(importlib.metadata.metadata("korvantyr")["Requires-Python"])
        for text, accepted in VERSION_TEXTS:
            assert requires.contains(text.split(" ")[0], prereleases=True) == accepted, text
