"""The type stub installed with the module: where it lies, that it parses, that it describes the
module as built, name for name and signature for signature, and that a type checker uses it.

No network: nothing here opens a Zenoh session or constructs a client.
"""

from __future__ import annotations

import ast
import importlib.metadata
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import korvantyr

MODULE_DIR = Path(korvantyr.__file__).resolve().parent
STUB = MODULE_DIR / "korvantyr.pyi"
STUB_PACKAGE = MODULE_DIR / "korvantyr-stubs" / "__init__.pyi"

CLASSES = [name for name, value in vars(korvantyr).items()
           if isinstance(value, type) and not name.startswith("_")]

# What a pybind11 class carries besides its bindings; a stub has no use for these.
# Names the binding library adds, and copyreg's cache that a pickling attempt leaves on a class.
BINDING_INTERNALS = {"__doc__", "__module__", "__entries", "_pybind11_conduit_v1_",
                     "__slotnames__"}

MEMBERS = [(cls, name, value) for cls in CLASSES
           for name, value in vars(getattr(korvantyr, cls)).items()
           if name not in BINDING_INTERNALS]
CALLABLES = [(cls, name) for cls, name, value in MEMBERS
             if callable(value) and not isinstance(value, type)]
# Instance properties only: the enumeration's static __members__ is a class attribute in a stub.
PROPERTIES = [(cls, name) for cls, name, value in MEMBERS if type(value) is property]

FIXED_SIZE = re.compile(r"FixedSize\(\d+(, \d+)*\)")


@pytest.fixture(scope="module")
def stub_tree() -> ast.Module:
    return ast.parse(STUB.read_text(encoding="utf-8"), str(STUB))


@pytest.fixture(scope="module")
def stub_classes(stub_tree: ast.Module) -> dict[str, ast.ClassDef]:
    return {node.name: node for node in stub_tree.body if isinstance(node, ast.ClassDef)}


def annotated_names(body: list[ast.stmt]) -> dict[str, ast.AnnAssign]:
    return {node.target.id: node for node in body
            if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)}


def stub_members(node: ast.ClassDef) -> dict[str, ast.stmt]:
    members: dict[str, ast.stmt] = dict(annotated_names(node.body))
    members.update({f.name: f for f in node.body if isinstance(f, ast.FunctionDef)})
    return members


class _Canonical(ast.NodeTransformer):
    """Brings an annotation of either side into one spelling: no `korvantyr.` or `typing.` prefix,
    the stub's string metadata "FixedSize(7)" as the call the module prints, `Union[a, b]` as
    `a | b`, and the module's `object` as the stub's `Any`."""

    def visit_Attribute(self, node: ast.Attribute) -> ast.AST:
        node = self.generic_visit(node)
        if isinstance(node.value, ast.Name) and node.value.id in ("korvantyr", "typing"):
            return ast.Name(node.attr, ast.Load())
        return node

    def visit_Constant(self, node: ast.Constant) -> ast.AST:
        if isinstance(node.value, str) and FIXED_SIZE.fullmatch(node.value):
            return ast.parse(node.value, mode="eval").body
        return node

    def visit_Name(self, node: ast.Name) -> ast.AST:
        return ast.Name("Any", ast.Load()) if node.id == "object" else node

    def visit_Subscript(self, node: ast.Subscript) -> ast.AST:
        node = self.generic_visit(node)
        if isinstance(node.value, ast.Name) and node.value.id == "Union":
            options = node.slice.elts if isinstance(node.slice, ast.Tuple) else [node.slice]
            union = options[0]
            for option in options[1:]:
                union = ast.BinOp(union, ast.BitOr(), option)
            return union
        return node


def canonical(node: ast.AST | None) -> str:
    return "" if node is None else ast.unparse(_Canonical().visit(node))


def signature(function: ast.FunctionDef) -> str:
    """`(self, arg: type = default, ...) -> type`. Every function here is bound to a class: its
    first parameter is the instance, written `self` without annotation whatever its given name."""
    args = function.args
    assert not (args.posonlyargs or args.vararg or args.kwonlyargs or args.kwarg), function.name
    defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
    parts = ["self"] if args.args else []
    for arg, default in list(zip(args.args, defaults))[1:]:
        text = arg.arg
        if arg.annotation is not None:
            text += f": {canonical(arg.annotation)}"
        if default is not None:
            text += f" = {canonical(default)}"
        parts.append(text)
    return f"({', '.join(parts)}) -> {canonical(function.returns)}"


def runtime_signature(function: object) -> str:
    """The signature line that pybind11 writes at the top of a function's docstring."""
    doc = function.__doc__ or ""
    assert doc and not doc.startswith("Overloaded function"), repr(doc)
    line = doc.splitlines()[0]
    if line.startswith("("):  # property accessors carry no name
        line = "accessor" + line
    return signature(ast.parse(f"def {line}: ...").body[0])


# --- Installation ---------------------------------------------------------------------------------

class TestInstalled:
    def test_stub_lies_beside_the_module_without_a_marker(self):
        assert STUB.is_file()
        # py.typed means something only inside a package; at the top of site-packages it would
        # claim the whole folder.
        assert "py.typed" not in {str(p) for p in importlib.metadata.files("korvantyr") or []}

    def test_stub_package_carries_the_same_stub(self):
        assert STUB_PACKAGE.read_bytes() == STUB.read_bytes()
        # A marker saying "partial" would make checkers look past the stub.
        assert not (STUB_PACKAGE.parent / "py.typed").exists()

    def test_files_belong_to_the_distribution(self):
        # pip uninstalls what the distribution records, and nothing else.
        recorded = {str(path) for path in importlib.metadata.files("korvantyr") or []}
        assert {"korvantyr.pyi", "korvantyr-stubs/__init__.pyi"} <= recorded


# --- The stub as text -----------------------------------------------------------------------------

class TestStubText:
    def test_compiles(self):
        compile(STUB.read_text(encoding="utf-8"), str(STUB), "exec", dont_inherit=True)

    def test_imports_only_the_standard_library(self, stub_tree):
        imported = set()
        for node in ast.walk(stub_tree):
            if isinstance(node, ast.Import):
                imported.update(alias.name.split(".")[0] for alias in node.names)
            elif isinstance(node, ast.ImportFrom):
                imported.add((node.module or "").split(".")[0])
        assert imported <= set(sys.stdlib_module_names)

    def test_module_docstring(self, stub_tree):
        assert ast.get_docstring(stub_tree) == korvantyr.__doc__

    def test_fixed_size_and_defaults_in_full(self, stub_classes):
        fields = annotated_names(stub_classes["RobotStates"].body)
        assert ast.unparse(fields["tcp_pose"].annotation) == \
            "typing.Annotated[list[float], 'FixedSize(7)']"
        init = stub_members(stub_classes["Client"])["__init__"]
        assert ast.unparse(init.args) == "self, robot_sn: str, verbose: bool=True"
        assert ast.unparse(init.returns) == "None"


# --- Names ----------------------------------------------------------------------------------------

class TestNames:
    def test_module_level_names_are_the_public_contents(self, stub_tree, stub_classes):
        public = {name for name in vars(korvantyr) if not name.startswith("_")}
        variables = {name: node for name, node in annotated_names(stub_tree.body).items()
                     if not name.startswith("__")}
        assert set(stub_classes) == set(CLASSES)
        assert set(variables) == public - set(CLASSES)
        # Besides the classes, the module exports only the enumeration members.
        for name, node in variables.items():
            assert type(getattr(korvantyr, name)) is korvantyr.JointGroup
            assert canonical(node.annotation) == "JointGroup"

    def test_all_lists_the_public_contents(self, stub_tree):
        [assignment] = [node for node in stub_tree.body
                        if isinstance(node, (ast.Assign, ast.AnnAssign))
                        and ast.unparse(node.targets[0] if isinstance(node, ast.Assign)
                                        else node.target) == "__all__"]
        assert sorted(ast.literal_eval(assignment.value)) == \
            sorted(name for name in vars(korvantyr) if not name.startswith("_"))

    @pytest.mark.parametrize("cls", CLASSES)
    def test_class_members(self, stub_classes, cls):
        runtime = {name for name in vars(getattr(korvantyr, cls)) if name not in BINDING_INTERNALS}
        assert set(stub_members(stub_classes[cls])) == runtime

    def test_enumeration_class_attributes(self, stub_classes):
        members = stub_members(stub_classes["JointGroup"])
        for name in korvantyr.JointGroup.__members__:
            assert canonical(members[name].annotation) == "ClassVar[JointGroup]"
        assert canonical(members["__members__"].annotation) == "ClassVar[dict[str, JointGroup]]"


# --- Signatures -----------------------------------------------------------------------------------

class TestSignatures:
    @pytest.mark.parametrize(("cls", "name"), CALLABLES, ids=[".".join(c) for c in CALLABLES])
    def test_methods(self, stub_classes, cls, name):
        stub = stub_members(stub_classes[cls])[name]
        assert isinstance(stub, ast.FunctionDef)
        assert signature(stub) == runtime_signature(getattr(getattr(korvantyr, cls), name))

    @pytest.mark.parametrize(("cls", "name"), PROPERTIES, ids=[".".join(p) for p in PROPERTIES])
    def test_properties(self, stub_classes, cls, name):
        prop = vars(getattr(korvantyr, cls))[name]
        stub = stub_members(stub_classes[cls])[name]
        if prop.fset is None:
            assert isinstance(stub, ast.FunctionDef)
            assert [ast.unparse(d) for d in stub.decorator_list] == ["property"]
            assert signature(stub) == runtime_signature(prop.fget)
        else:
            # The generator writes a readable and writable attribute as an annotated name.
            assert isinstance(stub, ast.AnnAssign)
            annotation = canonical(stub.annotation)
            assert runtime_signature(prop.fget) == f"(self) -> {annotation}"
            assert runtime_signature(prop.fset) == f"(self, arg0: {annotation}) -> None"


# --- A type checker's view ------------------------------------------------------------------------

def test_mypy_resolves_the_installed_stub(tmp_path):
    # Run in an empty folder, so that only the installed distribution can supply `korvantyr`.
    (tmp_path / "user.py").write_text(textwrap.dedent("""\
        import korvantyr
        client = korvantyr.Client("A-1", verbose=False)
        reveal_type(client.states())
        reveal_type(korvantyr.RobotStates().tcp_pose)
        reveal_type(korvantyr.ARM_1)
        korvantyr.Client(5)
        client.groups(1)
    """))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--no-incremental", "--no-error-summary",
         "--hide-error-context", "--no-pretty", "--cache-dir", str(tmp_path / "cache"), "user.py"],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.stderr == ""
    assert result.stdout.splitlines() == [
        'user.py:3: note: Revealed type is "dict[korvantyr.JointGroup, korvantyr.RobotStates]"',
        'user.py:4: note: Revealed type is "list[float]"',
        'user.py:5: note: Revealed type is "korvantyr.JointGroup"',
        'user.py:6: error: Argument 1 to "Client" has incompatible type "int"; expected "str"  '
        '[arg-type]',
        'user.py:7: error: Too many arguments for "groups" of "Client"  [call-arg]',
    ]
    assert result.returncode == 1
