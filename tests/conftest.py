import os

import pytest


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
