import os
from pathlib import Path

import pytest

# Under AddressSanitizer (the CI's sanitizer stage preloads it) every
# allocation is padded and freed memory is held back, and everything runs
# several times slower: limits on the address space and timings mean nothing.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "no_sanitizer: measures memory or time, which AddressSanitizer distorts; skipped under it"
    )


def pytest_collection_modifyitems(config, items):
    if not UNDER_ASAN:
        return
    skip = pytest.mark.skip(reason="AddressSanitizer distorts memory and timing")
    for item in items:
        if item.get_closest_marker("no_sanitizer"):
            item.add_marker(skip)


# The benchmark corpus (real-world documents such as twitter.json) lies
# beside the repository, in ../shared/corpus.
CORPUS_DIR = Path(__file__).resolve().parents[1].parent / "shared" / "corpus"


def corpus_files():
    """The corpus's JSON files, sorted; fails the collection when there are
    none, so that a moved corpus cannot quietly leave its tests out."""
    files = sorted(CORPUS_DIR.glob("*.json"))
    if not files:
        pytest.fail(f"no benchmark corpus: expected JSON files in {CORPUS_DIR}", pytrace=False)
    return files


def open_fds():
    return set(os.listdir("/proc/self/fd"))


@pytest.fixture
def no_fd_leak():
    """Fails the test when it leaves a file descriptor open."""
    before = open_fds()
    yield
    leaked = open_fds() - before
    assert not leaked, f"file descriptors left open: {leaked}"


@pytest.fixture
def write(tmp_path):
    """Writes bytes or text to a file under tmp_path and returns its path as str."""

    def write(name, content):
        path = tmp_path / name
        path.write_bytes(content.encode() if isinstance(content, str) else content)
        return str(path)

    return write
