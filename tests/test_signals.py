"""Signals while a call waits on its file: handlers run, and an exception
they raise ends the call with the file closed."""

import os
import signal
import subprocess
import sys
import textwrap

import pytest

from conftest import default_sigint
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


def test_counters_can_be_read_during_next(fifo, alarm):
    # A progress report from a signal handler runs in the middle of next().
    path, writer = fifo
    it = bigjson.iter_records(path, "jsonl")
    seen = []

    def handler(signum, frame):
        seen.append((it.bytes_read, it.total_bytes))
        os.write(writer, b'{"a": 1}\n')

    alarm(handler)
    assert next(it) == {"a": 1}
    assert seen == [(0, 0)]
    assert it.bytes_read == len(b'{"a": 1}\n')


def run_script(script, *args, timeout=30):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        preexec_fn=default_sigint,
    )


# A thread waits on a named pipe (for a writer to come, or for data); the
# main thread must keep running meanwhile, take Ctrl-C, and let the waiting
# thread finish once there is something to read.
BLOCKED_THREAD = """
import os, signal, sys, threading, time
from qvtok import bigjson

path, waits_in = sys.argv[1], sys.argv[2]
os.mkfifo(path)
writer = os.open(path, os.O_RDWR) if waits_in == "read" else None
got = []
worker = threading.Thread(target=lambda: got.extend(bigjson.iter_records(path, "jsonl")), daemon=True)
worker.start()
time.sleep(0.2)
print("main runs", flush=True)
start = time.monotonic()
try:
    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
    time.sleep(10)
except KeyboardInterrupt:
    print("interrupted", time.monotonic() - start < 2, flush=True)
if writer is None:
    writer = os.open(path, os.O_WRONLY)
os.write(writer, b"1\\n[2]\\n")
os.close(writer)
worker.join(10)
print(got)
"""


@pytest.mark.parametrize("waits_in", ["open", "read"])
def test_thread_blocked_on_a_pipe_lets_others_run(tmp_path, waits_in):
    out = run_script(BLOCKED_THREAD, str(tmp_path / "pipe"), waits_in)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["main runs", "interrupted True", "[1, [2]]"]


# Another thread keeps running Python code while count reads a large file.
COUNT_WITH_TICKER = """
import sys, threading, time
from qvtok import bigjson

path = sys.argv[1]
ticks = []
stop = False
def tick():
    while not stop:
        ticks.append(time.monotonic())
        time.sleep(0.001)
ticker = threading.Thread(target=tick)
ticker.start()
time.sleep(0.05)
# Counted again until the counts have taken 0.3 s in all: one count of a
# file in the page cache can be over in a few milliseconds.
calls = []
while sum(end - start for start, end in calls) < 0.3:
    start = time.monotonic()
    counted = bigjson.count(path, "jsonl")
    calls.append((start, time.monotonic()))
stop = True
ticker.join()
during = sum(any(start < t < end for start, end in calls) for t in ticks)
print(counted, during >= 3, flush=True)
"""


def test_other_threads_run_during_count(tmp_path):
    path = tmp_path / "big.jsonl"
    with open(path, "wb") as f:
        for _ in range(64):
            f.write(b'{"k": 12345678}\n' * 250_000)  # 4 MB each
    out = run_script(COUNT_WITH_TICKER, str(path))
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["16000000", "True"]


# Ctrl-C (here a timer's SIGALRM raising KeyboardInterrupt) ends a load soon,
# whether it arrives while the file is read, parsed or turned into objects;
# prints how long each interruption took to arrive.
LOAD_INTERRUPTED = """
import signal, sys, time
from qvtok import bigjson

path, fmt = sys.argv[1], sys.argv[2]
signal.signal(signal.SIGALRM, signal.default_int_handler)
times = []
for _ in range(2):  # the first may pay for a cold cache
    start = time.monotonic()
    records = bigjson.load(path, fmt)
    times.append(time.monotonic() - start)
    del records
whole = min(times)
for delay in (0.03, 0.2, whole * 0.3, whole * 0.5):
    signal.setitimer(signal.ITIMER_REAL, delay)
    start = time.monotonic()
    try:
        records = bigjson.load(path, fmt)
        signal.setitimer(signal.ITIMER_REAL, 0)
        # The load ended before the alarm: nothing to answer.
        print("not-interrupted", delay, time.monotonic() - start)
        del records
    except KeyboardInterrupt:
        print(round(time.monotonic() - start - delay, 3), flush=True)
print("alive", len(bigjson.load(path, fmt)))
"""


@pytest.fixture(scope="module")
def big_files(tmp_path_factory):
    """Half a million small objects, about 35 MB, as a JSON array and as JSONL."""
    folder = tmp_path_factory.mktemp("big")
    rows = ['{"id": 12345, "name": "somebody", "tags": [1, 2.5, "x", null, true]}'] * 500_000
    (folder / "big.json").write_text("[" + ",\n".join(rows) + "]")
    (folder / "big.jsonl").write_text("\n".join(rows))
    return folder


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("fmt", ["json", "jsonl"])
def test_load_stops_soon_after_ctrl_c(big_files, fmt):
    out = run_script(LOAD_INTERRUPTED, str(big_files / f"big.{fmt}"), fmt, timeout=120)
    assert out.returncode == 0, out.stderr
    *late, alive = out.stdout.splitlines()
    assert alive == "alive 500000"
    assert len(late) == 4, out.stdout
    answered = [float(line) for line in late if not line.startswith("not-interrupted")]
    # A load on a busy machine may now and then end before a late alarm; the
    # early ones always come within it.
    assert len(answered) >= 2, out.stdout
    # Well under the time a whole load takes; most arrive in a few ms.
    assert all(seconds < 0.3 for seconds in answered), out.stdout


@pytest.mark.no_sanitizer
def test_load_of_an_endless_file_stops_at_ctrl_c():
    out = run_script(
        """
        import resource, signal, time
        from qvtok import bigjson
        # Should the signal be missed, memory runs out here, not on the machine.
        resource.setrlimit(resource.RLIMIT_AS, (2**32, resource.RLIM_INFINITY))
        signal.signal(signal.SIGALRM, signal.default_int_handler)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        start = time.monotonic()
        try:
            bigjson.load("/dev/zero", "json")
        except KeyboardInterrupt:
            print(time.monotonic() - start < 1)
        """
    )
    assert (out.returncode, out.stdout) == (0, "True\n"), out.stderr


# Ctrl-C ends a long call soon, wherever its time goes: a real SIGINT, sent
# by a shell that sleeps first, so that it comes on time whatever holds this
# process's GIL. Prints how late it was answered, as a share of the time the
# whole call takes.
CALL_INTERRUPTED = """
import os, signal, subprocess, sys, time
import qvtok

path, call = sys.argv[1], sys.argv[2]
run = {
    "schema": lambda: qvtok.open(path).schema(sample=None),
    "to_jsonl_xz": lambda: qvtok.open(path).to_jsonl(path + ".out.xz"),
    "partitions": lambda: qvtok.open(path).partitions(300),
}[call]
signal.signal(signal.SIGINT, signal.default_int_handler)
times = []
for _ in range(2):  # the first may pay for a cold cache
    start = time.monotonic()
    run()
    times.append(time.monotonic() - start)
whole = min(times)
delay = whole * 0.3
start = time.monotonic()
killer = subprocess.Popen(["sh", "-c", f"sleep {delay:.3f}; kill -INT {os.getpid()}"])
try:
    run()
    print("not-interrupted", whole)
except KeyboardInterrupt:
    print(round((time.monotonic() - start - delay) / whole, 3), flush=True)
killer.wait()
"""


@pytest.fixture(scope="module")
def large_files(tmp_path_factory):
    """1.4 million small objects, about 100 MB, as a JSON array and as JSONL:
    a second or more of schema inference over all of them."""
    folder = tmp_path_factory.mktemp("large")
    row = b'{"id": 12345, "name": "somebody", "tags": [1, 2.5, "x", null, true]}'
    with open(folder / "large.json", "wb") as f:
        f.write(b"[")
        for i in range(140):
            f.write((b",\n" if i else b"") + b",\n".join([row] * 10_000))
        f.write(b"]")
    with open(folder / "large.jsonl", "wb") as f:
        for _ in range(140):
            f.write(b"\n".join([row] * 10_000) + b"\n")
    return folder


@pytest.mark.no_sanitizer
@pytest.mark.parametrize(
    "call,name",
    [
        ("schema", "large.json"),
        ("schema", "large.jsonl"),
        ("to_jsonl_xz", "big.json"),
        ("partitions", "large.json"),
        ("partitions", "large.jsonl"),
    ],
)
def test_a_long_call_stops_soon_after_ctrl_c(request, call, name):
    # Records read ahead on another thread, and parts compressed one after
    # another, once kept the caller from its signal checks to the end.
    folder = request.getfixturevalue("large_files" if name.startswith("large") else "big_files")
    out = run_script(CALL_INTERRUPTED, str(folder / name), call, timeout=120)
    assert out.returncode == 0, out.stderr
    # Without checks the answer comes at the end, 0.7 of the call's time
    # after the signal; with them within milliseconds.
    assert float(out.stdout) < 0.3, out.stdout
