import os
import signal
from pathlib import Path

import pytest

# Under AddressSanitizer (the CI's sanitizer stage preloads it) every
# allocation is padded and freed memory is held back, and everything runs
# several times slower: limits on the address space and timings mean nothing.
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")

# This compiler's AddressSanitizer does not hold its allocator's and thread
# registry's locks across fork(): a child forked while another thread of the
# parent was inside them can hang in the sanitizer's own code. Tests that
# fork with qvtok's threads alive run everywhere else.
forks_with_threads = pytest.mark.skipif(UNDER_ASAN, reason="AddressSanitizer's runtime here is not fork-safe with threads")

# fsspec's network stores run on an event-loop thread of fsspec's that lives
# until the interpreter ends, and bring in libraries (moto's cryptography,
# cffi) whose import leaves what LeakSanitizer reports at exit; the URL
# tests on fsspec's memory store run under it.
network_stores = pytest.mark.skipif(UNDER_ASAN, reason="fsspec's network stores leave threads and imports "
                                    "that LeakSanitizer reports at exit")


# The slowest cases (many seconds each: large generated files, whole
# clusters) run where QVTOK_SLOW_TESTS=1 is set, as CI sets it; a plain
# `pytest` stays within a few minutes.
RUN_SLOW = os.environ.get("QVTOK_SLOW_TESTS") == "1"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "no_sanitizer: measures memory or time, which AddressSanitizer distorts; skipped under it"
    )
    config.addinivalue_line("markers", "slow: takes many seconds; run with QVTOK_SLOW_TESTS=1")


def pytest_collection_modifyitems(config, items):
    skip_asan = pytest.mark.skip(reason="AddressSanitizer distorts memory and timing")
    skip_slow = pytest.mark.skip(reason="slow; set QVTOK_SLOW_TESTS=1 to run it")
    for item in items:
        if UNDER_ASAN and item.get_closest_marker("no_sanitizer"):
            item.add_marker(skip_asan)
        if not RUN_SLOW and item.get_closest_marker("slow"):
            item.add_marker(skip_slow)


def default_sigint():
    """A child's SIGINT handling as at a terminal, for tests that send it
    Ctrl-C: a run started in the background ignores SIGINT, the child would
    inherit that, and Python keeps an ignored SIGINT ignored."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


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
