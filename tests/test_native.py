"""Builds the C++ tests of the core and runs them.

The core is plain C++ with no interpreter in it; its unit tests live in
native/tests and are built here with CMake into build/native-tests, so that
the one test command runs them too.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
BUILD = ROOT / "build" / "native-tests"


def _cmake() -> str:
    found = shutil.which("cmake")
    if found is None:
        pytest.skip("cmake is not installed")
    return found


@pytest.fixture(scope="module")
def core_tests(pytestconfig: pytest.Config) -> Path:
    if not (ROOT / "native" / "tests").is_dir():
        pytest.skip("not run from a source checkout")
    cmake = _cmake()
    # The first build of a checkout takes a minute or two; later ones only
    # what changed. Said, so that a quiet pause is not taken for a hang.
    reporter = pytestconfig.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None:
        reporter.write_line(f"building the C++ tests of the core in {BUILD} (once per checkout, then what changed)")
    configure = [cmake, "-S", str(ROOT), "-B", str(BUILD), "-DQVTOK_PYTHON=OFF",
                 "-DQVTOK_NATIVE_TESTS=ON", "-DCMAKE_BUILD_TYPE=RelWithDebInfo"]
    if os.environ.get("QVTOK_BASELINE_KERNELS"):
        configure.append("-DQVTOK_BASELINE_KERNELS=ON")
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(BUILD), "--parallel", "2", "--target", "qvtok_core_tests"],
                   check=True, stdout=subprocess.DEVNULL)
    return BUILD / "qvtok_core_tests"


def test_core_unit_tests_pass(core_tests: Path) -> None:
    run = subprocess.run([str(core_tests)], capture_output=True, text=True)
    sys.stderr.write(run.stderr)
    assert run.returncode == 0, run.stdout + run.stderr
    assert " passed, 0 failed" in run.stdout
