"""The typed stub: mypy checks a usage file and the command line against it,
stubtest compares it with the compiled module, and the usage file runs."""

import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

import qvtok

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

needs_mypy = pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")


def run(*args):
    done = subprocess.run(
        [sys.executable, "-m", *args], cwd=ROOT, capture_output=True, text=True, timeout=600
    )
    return done.returncode, done.stdout + done.stderr


@needs_mypy
def test_mypy_accepts_the_usage_file_and_the_command_line():
    # Files, strictness and the stub's location come from [tool.mypy].
    status, output = run("mypy", "--config-file", str(ROOT / "pyproject.toml"))
    assert status == 0, output


@needs_mypy
def test_stub_matches_the_compiled_module():
    status, output = run(
        "mypy.stubtest", "--mypy-config-file", str(ROOT / "pyproject.toml"), "qvtok.bigjson", "qvtok.lib._qvtok"
    )
    assert status == 0, output


def test_usage_file_runs_against_the_module():
    spec = importlib.util.spec_from_file_location("usage", ROOT / "tests" / "typecheck" / "usage.py")
    usage = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(usage)
    usage.main(str(EXAMPLES / "events.jsonl"), str(EXAMPLES / "catalog.json"))


def test_package_ships_its_type_information():
    package = Path(qvtok.__file__).parent
    for name in ["py.typed", "bigjson.pyi", "lib/_qvtok.pyi"]:
        assert (package / name).is_file(), name
