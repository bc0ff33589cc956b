"""The progress= argument of the long passes: calls (done, total) at the
start, now and then and at the end, and a tqdm bar for True."""

import gzip
import io
import os
import sys
import threading
import time

import pytest

import qvtok

# Large enough to be cut for threads by validate and to_jsonl.
BIG_RECORDS = 300_000


def lines(n):
    return "".join(f'{{"i": {i}, "pad": "{"x" * 40}"}}\n' for i in range(n)).encode()


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    path = tmp_path_factory.mktemp("progress") / "big.jsonl"
    path.write_bytes(lines(BIG_RECORDS))
    return str(path)


class Recorder:
    def __init__(self):
        self.calls = []
        self.started = time.monotonic()

    def __call__(self, done, total):
        self.calls.append((done, total))

    def check(self, total):
        """Starts at 0, never goes back, ends at the size, and is not called
        per record: at most ten times a second, with the first and last."""
        dones = [d for d, _ in self.calls]
        assert dones[0] == 0
        assert dones == sorted(dones)
        assert {t for _, t in self.calls} == {total}
        if total is not None:
            assert dones[-1] == total
        elapsed = time.monotonic() - self.started
        assert len(self.calls) <= 3 + 10 * elapsed


PASSES = {
    "count": lambda r, p: r.count(progress=p),
    "load": lambda r, p: r.load(progress=p),
    "schema": lambda r, p: r.schema(sample=None, progress=p),
    "validate": lambda r, p: r.validate(progress=p),
    "validate on one thread": lambda r, p: r.validate(workers=1, progress=p),
    "to_jsonl to a file object": lambda r, p: r.to_jsonl(io.BytesIO(), progress=p),
}


@pytest.mark.parametrize("run", PASSES.values(), ids=PASSES.keys())
def test_calls_climb_to_the_size(big, run):
    recorder = Recorder()
    run(qvtok.open(big), recorder)
    recorder.check(os.path.getsize(big))


def test_to_jsonl_to_a_path(big, tmp_path):
    recorder = Recorder()
    assert qvtok.open(big).to_jsonl(str(tmp_path / "out.jsonl"), progress=recorder) == BIG_RECORDS
    recorder.check(os.path.getsize(big))


@pytest.mark.parametrize("run", PASSES.values(), ids=PASSES.keys())
def test_compressed_input_counts_its_compressed_bytes(tmp_path, run):
    path = tmp_path / "x.jsonl.gz"
    path.write_bytes(gzip.compress(lines(20_000)))
    recorder = Recorder()
    run(qvtok.open(str(path)), recorder)
    recorder.check(path.stat().st_size)


class Stream(io.RawIOBase):
    """A file object of unknown size."""

    def __init__(self, data):
        self._inner = io.BytesIO(data)

    def readable(self):
        return True

    def readinto(self, buffer):
        return self._inner.readinto(buffer)


@pytest.mark.parametrize("run", PASSES.values(), ids=PASSES.keys())
def test_unknown_size_is_none(run):
    recorder = Recorder()
    run(qvtok.open(Stream(lines(1000)), format="jsonl"), recorder)
    recorder.check(None)


class Stop(Exception):
    pass


def stop_after_start(done, total):
    if done > 0:
        raise Stop


@pytest.mark.parametrize("run", PASSES.values(), ids=PASSES.keys())
def test_an_exception_of_the_callable_ends_the_pass(big, run):
    with pytest.raises(Stop):
        run(qvtok.open(big), stop_after_start)


def test_an_exception_leaves_no_file(big, tmp_path):
    out = tmp_path / "out.jsonl"
    with pytest.raises(Stop):
        qvtok.open(big).to_jsonl(str(out), progress=stop_after_start)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("run", PASSES.values(), ids=PASSES.keys())
def test_true_draws_a_tqdm_bar(big, run, capsys):
    pytest.importorskip("tqdm")
    before = set(threading.enumerate())
    run(qvtok.open(big), True)
    assert "100%" in capsys.readouterr().err
    assert set(threading.enumerate()) - before == set()  # no monitor thread left behind


def test_true_without_tqdm_says_what_is_missing(big, monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with pytest.raises(ImportError, match=r"tqdm.*qvtok\[progress\]"):
        qvtok.open(big).count(progress=True)


@pytest.mark.parametrize("value", [1, "yes", object()])
def test_progress_must_be_callable(big, value):
    with pytest.raises(TypeError, match="progress"):
        qvtok.open(big).count(progress=value)


@pytest.mark.parametrize("value", [None, False])
def test_no_progress(big, value):
    assert qvtok.open(big).count(progress=value) == BIG_RECORDS


def test_validate_hands_over_errors_as_parts_finish(tmp_path):
    # A fault in the first part is told once that part is checked, before
    # the threads are through with the rest of the file.
    data = bytearray(lines(BIG_RECORDS))
    data[data.index(b"\n", 1000) + 1] = ord("x")
    path = tmp_path / "broken.jsonl"
    path.write_bytes(bytes(data))
    total = path.stat().st_size
    events = []
    good, invalid, errors, failure = qvtok.open(str(path))._validate(
        2, 20, 1 << 20, lambda done, size: events.append(done), lambda error: events.append(error)
    )
    assert (good, invalid, failure) == (BIG_RECORDS - 1, 1, None)
    first = next(i for i, e in enumerate(events) if isinstance(e, qvtok.JSONDecodeError))
    assert events[first] is errors[0]
    assert total not in events[:first]
    assert events[-1] == total
