"""Every example of the README runs as written from the repository root:
each Python block in a fresh interpreter, and each `$ command` of a shell
block with the output shown under it."""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import UNDER_ASAN

ROOT = Path(__file__).resolve().parent.parent
README = (ROOT / "README.md").read_text()
BLOCKS = re.findall(r"^```(\w*)\n(.*?)^```", README, re.S | re.M)
PYTHON = [body for lang, body in BLOCKS if lang == "python"]
SHELL = [body for lang, body in BLOCKS if lang == "" and body.startswith("$ ")]


@pytest.fixture
def root_copy(tmp_path):
    """The repository root as the examples see it, without writing into the
    checkout: the bundled files, and room for what the examples write."""
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    return tmp_path


def test_the_readme_has_examples_to_run():
    assert len(PYTHON) >= 6 and len(SHELL) >= 2


def run_python(root, body):
    script = root / "example.py"
    script.write_text(body)
    return subprocess.run([sys.executable, str(script)], cwd=root, capture_output=True, text=True, timeout=120)


def test_python_blocks_run_in_order(root_copy):
    # One session, as a reader goes down the page: later blocks use what
    # earlier ones imported.
    session = [body for body in PYTHON if "distributed" not in body]
    for i in range(len(session)):
        out = run_python(root_copy, "\n".join(session[: i + 1]))
        assert out.returncode == 0, f"block {i}:\n{session[i]}\n{out.stderr}"


@pytest.mark.skipif(UNDER_ASAN, reason="a Dask cluster's processes end with threads of their own alive, "
                    "which LeakSanitizer reports as leaks of the interpreter's")
def test_dask_block_runs(root_copy):
    # Dask's workers are spawned processes: a script starts them under its
    # main guard, as the README says.
    (body,) = [body for body in PYTHON if "distributed" in body]
    guarded = "if __name__ == '__main__':\n" + "".join(f"    {line}\n" for line in body.splitlines())
    out = run_python(root_copy, guarded)
    assert out.returncode == 0, out.stderr


@pytest.mark.parametrize("body", SHELL, ids=[f"shell-{i}" for i in range(len(SHELL))])
def test_shell_block_prints_what_the_readme_shows(root_copy, body):
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", ""))
    for chunk in re.split(r"^\$ ", body, flags=re.M)[1:]:
        command, _, expected = chunk.partition("\n")
        out = subprocess.run(command, shell=True, cwd=root_copy, capture_output=True, text=True, timeout=120, env=env)
        assert out.returncode in (0, 1), f"{command}: {out.stderr}"  # validate says 1 for invalid records
        assert out.stdout == expected, command


@pytest.mark.parametrize("script", sorted((ROOT / "examples").glob("*.py")), ids=lambda p: p.name)
def test_bundled_example_runs(script):
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
