"""The README and the getting-started page, followed as a reader follows them: every Python block
runs as written against a simulated robot with the serial number the text uses, every command the
shell blocks name exists (a project command answers --help, a script is executable), and every
relative link of the README leads to a file of the repository."""

from __future__ import annotations

import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import installed_command

REPO = Path(__file__).resolve().parents[2]
PAGES = [REPO / "README.md", REPO / "docs" / "getting-started.md", REPO / "docs" / "index.md"]
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```", re.DOTALL | re.MULTILINE)
SERIAL = "DEMO-ARM-0001"  # the serial number the examples connect to


def blocks(language: str) -> list[tuple[str, int, str]]:
    """(page, index on that page, code) of every block in ``language``."""
    found = []
    for page in PAGES:
        codes = [code for lang, code in BLOCK.findall(page.read_text(encoding="utf-8"))
                 if lang == language]
        found += [(page.relative_to(REPO).as_posix(), i, code) for i, code in enumerate(codes)]
    return found


PYTHON_BLOCKS = blocks("python")
SHELL_BLOCKS = blocks("sh")


def commands(code: str) -> list[list[str]]:
    """The commands of a shell block: one per line and per "&&", comments and sudo left out."""
    found = []
    for line in code.splitlines():
        line = line.split(" #", 1)[0].strip()
        if not line or line.startswith("#"):
            continue
        for part in line.split("&&"):
            words = shlex.split(part)
            if words and words[0] == "sudo":
                words = words[1:]
            if words:
                found.append(words)
    return found


def test_the_readme_opens_with_the_example_the_wheel_smoke_test_runs() -> None:
    # scripts/wheel-smoke.sh runs the README's first Python block and expects the joint groups.
    assert PYTHON_BLOCKS[0][0] == "README.md"
    assert "print(robot.groups())" in PYTHON_BLOCKS[0][2]


@pytest.mark.network
@pytest.mark.parametrize(("page", "index", "code"), PYTHON_BLOCKS,
                         ids=[f"{p}-{i}" for p, i, _ in PYTHON_BLOCKS])
def test_python_block_runs_against_the_simulated_robot(sim, tmp_path: Path, page: str,
                                                       index: int, code: str) -> None:
    assert SERIAL in code, f"{page}: block {index} connects to another robot"
    sim(serial=SERIAL)
    script = tmp_path / "example.py"
    script.write_text(code, encoding="utf-8")
    for _ in range(3):
        result = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                                timeout=60, cwd=tmp_path)
        # groups() and states() are empty until the first basic message arrives, which a busy
        # machine may deliver only after the constructor returned (as documented): run it again.
        if not (result.returncode == 0 and re.search(r"^\{\}$", result.stdout, re.MULTILINE)):
            break
    assert result.returncode == 0, result.stderr
    assert "Traceback" not in result.stderr
    if "print(robot.groups())" in code:
        assert "<JointGroup.ALL: 0>: 'ALL'" in result.stdout, result.stdout
    if "print(group.name" in code:  # a line for each of the dual-arm robot's five groups
        assert re.findall(r"^(\w+) \[", result.stdout, re.MULTILINE) == \
            ["ALL", "ARMS", "ARM_1", "ARM_2", "EXT_AXIS"], result.stdout
    if '"fresh"' in code:  # the robot streams, so the first read is fresh
        assert re.search(r"^fresh \(\d+, \d+\)$", result.stdout, re.MULTILINE), result.stdout


@pytest.mark.network
@pytest.mark.parametrize(("page", "index", "code"), SHELL_BLOCKS,
                         ids=[f"{p}-{i}" for p, i, _ in SHELL_BLOCKS])
def test_shell_block_names_commands_that_exist(page: str, index: int, code: str) -> None:
    for words in commands(code):
        name = Path(words[0]).name
        if name.startswith("korvantyr-"):
            result = subprocess.run([str(installed_command(name)), "--help"],
                                    capture_output=True, text=True, timeout=60)
            assert result.returncode == 0, f"{page}: {name} --help: {result.stderr}"
            for option in (w.split("=", 1)[0] for w in words[1:] if w.startswith("--")):
                assert option in result.stdout, f"{page}: {name} has no option {option}"
        elif words[0].startswith("./scripts/"):
            script = REPO / words[0]
            assert script.is_file() and script.stat().st_mode & 0o111, f"{page}: {words[0]}"


def test_readme_links_lead_to_files_of_the_repository() -> None:
    readme = (REPO / "README.md").read_text(encoding="utf-8")
    links = [target.split("#", 1)[0] for target in re.findall(r"\]\(([^)\s]+)\)", readme)
             if "://" not in target and not target.startswith("#")]
    assert links
    missing = [link for link in links if not (REPO / link).exists()]
    assert not missing, missing
