"""Records of a large file are read and parsed on a thread of their own,
ahead of the values built from them: every pass must give what the same
bytes give when read from a file object, which is read on the caller's
thread."""

import io
import json
import random

import pytest

import qvtok

BIG = 3 * 2**20  # above the size from which a path is read ahead


def rows(seed, damaged):
    rng = random.Random(seed)
    out = []
    size = 0
    while size < BIG:
        v = {"i": len(out), "s": "é\n" * rng.randrange(3), "n": [rng.random(), 10**30, -0.0, None, True],
             "o": {"k": "x" * rng.randrange(50)}}
        text = json.dumps(v, ensure_ascii=rng.random() < 0.5)
        if damaged and rng.random() < 0.002:
            text = rng.choice(['{"a": }', '{"a": 1', "[1, 2]]", '"\\x"', "tru", "1 2"])
        out.append(text)
        size += len(text) + 2
    return out


def fault(e):
    # Bytes left unread end where the file does, which a path knows and a
    # file object read as a stream does not: their start is what must agree.
    if isinstance(e, qvtok.StructureLostError):
        return ("unread", e.start, e.record)
    return ("error", e.msg, e.pos, e.lineno, e.colno, e.record)


def outcome(records, limit=None):
    """Each step of an iteration: a value, or the error it raised (after
    which the iterator goes on), and the iterator's counters at the end."""
    it = iter(records)
    steps = []
    while limit is None or len(steps) < limit:
        try:
            steps.append(("value", next(it)))
        except StopIteration:
            break
        except qvtok.JSONDecodeError as e:
            steps.append(fault(e))
    errors = [fault(e) for e in it.errors]
    return steps, errors, it.records_read, it.error_count


def files(tmp_path, fmt, damaged):
    body = rows(7 if damaged else 3, damaged)
    if fmt == "jsonl":
        data = ("\n".join(body) + "\n").encode()
    elif fmt == "json":
        data = ("[\n" + ",\n".join(body) + "\n]\n").encode()
    else:  # members of an object under a pointer
        data = ('{"meta": 1, "rows": {' + ",\n".join(f'"k{i}": {t}' for i, t in enumerate(body)) + "}}").encode()
    path = tmp_path / ("x.jsonl" if fmt == "jsonl" else "x.json")
    path.write_bytes(data)
    return path, data


@pytest.mark.parametrize("on_error", ["raise", "skip"])
@pytest.mark.parametrize("damaged", [False, True])
@pytest.mark.parametrize("fmt", ["jsonl", "json", "members"])
def test_values_read_ahead_are_those_read_in_step(tmp_path, fmt, damaged, on_error):
    path, data = files(tmp_path, fmt, damaged)
    at = "/rows" if fmt == "members" else None
    ahead = qvtok.open(path, at=at, on_error=on_error)
    in_step = qvtok.open(io.BytesIO(data), format="jsonl" if fmt == "jsonl" else "json", at=at, on_error=on_error)
    expected = outcome(in_step)
    assert outcome(ahead) == expected
    if on_error == "skip":
        assert ahead.load() == [s[1] for s in expected[0]]
    if fmt == "members":
        keys = [k for k, _ in qvtok.open(path, at=at, on_error="skip").items()]
        assert keys == [k for k, _ in qvtok.open(io.BytesIO(data), at=at, on_error="skip").items()]


def test_a_pass_left_early_ends_its_thread(tmp_path):
    path, data = files(tmp_path, "jsonl", False)
    for n in (0, 1, 100, 5000):
        assert qvtok.open(path).head(n) == [json.loads(line) for line in data.splitlines()[:n]]
    it = iter(qvtok.open(path))
    next(it)
    del it  # the thread is stopped and joined, not left reading


def test_progress_follows_the_records_handed_out(tmp_path):
    path, data = files(tmp_path, "jsonl", False)
    it = iter(qvtok.open(path))
    seen = []
    for _ in it:
        seen.append(it.bytes_read)
    assert seen == sorted(seen) and seen[-1] == it.total_bytes == len(data)
    # Read ahead, the progress is that of the records handed out, not of
    # what the thread has read.
    it = iter(qvtok.open(path))
    next(it)
    assert it.bytes_read < len(data) // 2


def test_the_end_of_a_broken_file_is_told_as_in_step(tmp_path):
    path, data = files(tmp_path, "json", False)
    cut = data[: len(data) - 5]
    path.write_bytes(cut)
    expected = outcome(qvtok.open(io.BytesIO(cut)))
    assert outcome(qvtok.open(path)) == expected
    assert expected[0][-1][0] == "error"
