"""Signals while a call waits on its file: handlers run, and an exception
they raise ends the call with the file closed."""

import os
import signal

import pytest

from qvtok import bigjson


class Stop(Exception):
    pass


@pytest.fixture
def fifo(tmp_path):
    """A named pipe with a writer held open, so reads block until we act."""
    path = tmp_path / "pipe.jsonl"
    os.mkfifo(path)
    writer = os.open(path, os.O_RDWR)  # opening read-write never blocks
    yield str(path), writer
    try:
        os.close(writer)
    except OSError:
        pass


@pytest.fixture
def alarm():
    old = signal.getsignal(signal.SIGALRM)
    yield lambda handler: (signal.signal(signal.SIGALRM, handler), signal.setitimer(signal.ITIMER_REAL, 0.2))
    signal.setitimer(signal.ITIMER_REAL, 0)
    signal.signal(signal.SIGALRM, old)


@pytest.mark.parametrize(
    "call",
    [
        lambda p: bigjson.count(p),
        lambda p: bigjson.load(p),
        lambda p: bigjson.load(p, "json"),
        lambda p: bigjson.schema(p),
        lambda p: next(bigjson.iter_records(p)),
        lambda p: bigjson.count(p, "json"),
    ],
)
def test_raising_handler_ends_a_blocked_read(fifo, alarm, call):
    path, _writer = fifo
    before = set(os.listdir("/proc/self/fd"))

    def handler(signum, frame):
        raise Stop()

    alarm(handler)
    with pytest.raises(Stop):
        call(path)
    assert set(os.listdir("/proc/self/fd")) <= before


def test_quiet_handler_lets_the_read_go_on(fifo, alarm):
    path, writer = fifo

    def handler(signum, frame):
        os.write(writer, b'1\n{"a": 2}\n')
        os.close(writer)

    alarm(handler)
    assert bigjson.load(path) == [1, {"a": 2}]
