"""Partitions: read apart, in any order or place, they give every record of
the file once; validation on threads gives what one thread gives."""

import gzip
import io
import json
import pickle
import random
import subprocess
import sys
import threading
import time

import pytest

import qvtok

# Values whose text trips naive cutting: line feeds, commas, brackets and
# escaped quotes inside strings, nesting, and long runs.
TRICKY = ["a\nb", "x,]", 'q"],', "\\", "}{", "é" * 3]


def values(n, seed):
    rng = random.Random(seed)
    out = []
    for i in range(n):
        v = {"i": i, "s": rng.choice(TRICKY) * rng.randrange(1, 4)}
        if rng.random() < 0.1:
            v["long"] = "y" * rng.randrange(200, 3000)
        if rng.random() < 0.2:
            v["nest"] = [[1, {"k": rng.choice(TRICKY)}], []]
        out.append(v)
    return out


def write_jsonl(path, vals, seed):
    rng = random.Random(seed)
    parts = [b"\xef\xbb\xbf"] if seed % 2 else []
    for v in vals:
        parts.append(json.dumps(v, ensure_ascii=False).encode())
        parts.append(rng.choice([b"\n", b"\r\n", b"\n\n", b"\n \t\n"]))
    path.write_bytes(b"".join(parts))


def split_read(records, size):
    parts = records.partitions(size)
    # Each partition read on its own, as another process would.
    got = [v for p in pickle.loads(pickle.dumps(parts)) for v in p]
    raw = [r for p in parts for r in p.raw()]
    return parts, got, raw


@pytest.mark.parametrize("seed", range(6))
def test_jsonl_partitions_give_every_record_once(tmp_path, seed):
    vals = values(400, seed)
    path = tmp_path / "x.jsonl"
    write_jsonl(path, vals, seed)
    whole = qvtok.open(path)
    size = random.Random(seed).choice([1, 37, 500, 4096, 10**6])
    if seed % 2:
        # A byte order mark is no JSON: the first record fails in the first
        # partition as it does in the whole file.
        with pytest.raises(qvtok.JSONDecodeError) as expected:
            whole.load()
        with pytest.raises(qvtok.JSONDecodeError) as caught:
            whole.partitions(size)[0].load()
        assert error_tuples([caught.value]) == error_tuples([expected.value])
        path.write_bytes(path.read_bytes()[3:])
    parts, got, raw = split_read(whole, size)
    assert got == whole.load() and raw == list(whole.raw())
    assert [p.offset for p in parts] == sorted({p.offset for p in parts})
    assert sum(p.length for p in parts) == path.stat().st_size
    assert sum(p.count() for p in parts) == len(vals)
    if size < 4096:
        assert len(parts) > 10


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("at", [None, "/data/rows"])
def test_array_partitions_give_every_record_once_and_know_their_place(tmp_path, seed, at):
    vals = values(300, seed)
    rows = json.dumps(vals, indent=seed % 3 or None, ensure_ascii=False)
    text = rows if at is None else '{"meta": {"rows": [1]}, "data": {"rows": ' + rows + '}, "tail": "]"}'
    path = tmp_path / "x.json"
    path.write_text(text, encoding="utf-8")
    whole = qvtok.open(path, at=at)
    parts, got, raw = split_read(whole, random.Random(seed).choice([1, 100, 2000]))
    assert len(parts) > 5
    assert got == vals and raw == list(whole.raw())
    data = path.read_bytes()
    seen = 0
    for p in parts:
        # Where each starts, as counted from the text itself.
        before = data[: p.offset]
        assert (p.line, p.column) == (before.count(b"\n") + 1, p.offset - (before.rfind(b"\n") + 1) + 1)
        assert p.first_record == seen
        seen += p.count()


def test_partition_errors_are_placed_in_the_file(tmp_path):
    rows = [json.dumps(v) for v in values(200, 1)]
    rows[150] = '{"bad": }'
    path = tmp_path / "x.json"
    path.write_text("[\n" + ",\n".join(rows) + "\n]")
    whole = qvtok.open(path)
    with pytest.raises(qvtok.JSONDecodeError) as expected:
        whole.load()
    e = expected.value
    broken = [p for p in whole.partitions(500) if p.first_record <= 150 < p.first_record + p.count()]
    with pytest.raises(qvtok.JSONDecodeError) as caught:
        broken[0].load()
    c = caught.value
    assert (c.msg, c.pos, c.lineno, c.colno, c.record) == (e.msg, e.pos, e.lineno, e.colno, e.record)


def test_jsonl_partitions_past_the_first_count_from_their_start(tmp_path):
    path = tmp_path / "x.jsonl"
    path.write_bytes(b'{"a": 1}\n' * 100 + b'{"a": }\n')
    part = qvtok.open(path).partitions(300)[-1]
    assert (part.first_record, part.line, part.column) == (None, None, None)
    with pytest.raises(qvtok.JSONDecodeError) as caught:
        part.load()
    e = caught.value
    assert e.pos == 900 + 6 and (e.lineno, e.colno) == (1, 7)


@pytest.mark.parametrize("size, count", [("1KiB", 1024), ("2kB", 2000), ("0.5 MiB", 2**19), (4096, 4096), ("3m", 3 * 10**6)])
def test_sizes(tmp_path, size, count):
    path = tmp_path / "x.jsonl"
    path.write_bytes(b"1\n" * 5 * 10**6)
    parts = qvtok.open(path).partitions(size)
    assert all(count <= p.length <= count + 2 for p in parts[:-1])


@pytest.mark.parametrize("size", ["abc", 0, -1, "12XB", "", 1.5])
def test_bad_sizes(tmp_path, size):
    path = tmp_path / "x.jsonl"
    path.write_bytes(b"1\n")
    with pytest.raises((ValueError, TypeError)):
        qvtok.open(path).partitions(size)


def test_sources_that_cannot_be_cut(tmp_path):
    path = tmp_path / "x.jsonl.gz"
    path.write_bytes(gzip.compress(b"1\n2\n" * 1000))
    (part,) = qvtok.open(path).partitions(10)
    assert (part.offset, part.length, part.compression, list(part)) == (0, path.stat().st_size, "gzip", [1, 2] * 1000)
    with pytest.raises(ValueError, match="partitions need a path"):
        qvtok.open(io.BytesIO(b"1\n2\n")).partitions(1)
    obj = tmp_path / "o.json"
    obj.write_text(json.dumps({"rows": {str(i): i for i in range(100)}}))
    assert len(qvtok.open(obj, at="/rows").partitions(10)) == 1  # members need their keys
    broken = tmp_path / "b.json"
    broken.write_text("[1, 2, 3] [4]")  # the whole-file reader reports what is wrong
    (part,) = qvtok.open(broken).partitions(2)
    with pytest.raises(qvtok.JSONDecodeError, match="Extra data"):
        part.load()


def error_tuples(errors):
    return [(e.msg, e.pos, e.lineno, e.colno, e.record) for e in errors]


@pytest.mark.parametrize("fmt", ["jsonl", "json"])
def test_validate_on_threads_gives_what_one_thread_gives(tmp_path, fmt):
    rows = [json.dumps(v) for v in values(3000, 5)]
    for i in range(7, 3000, 211):
        rows[i] = '{"bad": ' + "x" * (i % 5) + "}"
    path = tmp_path / f"x.{fmt}"
    path.write_text("\n".join(rows) + "\n" if fmt == "jsonl" else "[\n" + ",\n".join(rows) + "\n]")
    records = qvtok.open(path)
    one = records._validate(1, 1000)
    for workers, part_size in [(2, 1000), (3, 5000), (8, 100)]:
        many = records._validate(workers, 1000, part_size)
        assert many[:2] == one[:2] and error_tuples(many[2]) == error_tuples(one[2])
    good, errors = records.validate(workers=2)
    assert (good, error_tuples(errors)) == (one[0], error_tuples(one[2]))
    assert one[1] == len(range(7, 3000, 211))
    assert len(records._validate(2, 3, 1000)[2]) == 3  # only the first ones are kept


@pytest.mark.parametrize("fmt", ["jsonl", "json"])
def test_validate_counts_the_invalid_records_past_the_kept_errors(tmp_path, fmt):
    rows = ['{"i": %d, "pad": "%s"}' % (i, "x" * 20) for i in range(300_000)]
    bad = range(3, len(rows), 50)
    for i in bad:
        rows[i] = '{"i": }'
    path = tmp_path / f"x.{fmt}"
    path.write_text("\n".join(rows) + "\n" if fmt == "jsonl" else array_text(rows))
    assert path.stat().st_size > 8 * 2**20  # cut for two threads
    records = qvtok.open(path)
    one, two = records.validate(workers=1), records.validate(workers=2)
    for result in (one, two):
        good, errors = result
        assert (good, len(errors), result.invalid) == (len(rows) - len(bad), 1000, len(bad))
        assert result == (good, errors)  # still equal to the plain pair
    assert error_tuples(two[1]) == error_tuples(one[1])
    kept = pickle.loads(pickle.dumps(one))
    assert (kept[0], error_tuples(kept[1]), kept.invalid) == (one[0], error_tuples(one[1]), one.invalid)
    parts = [p.validate() for p in records.partitions("4MiB")]
    assert len(parts) > 1 and any(r.invalid > len(r[1]) for r in parts)
    assert (sum(r[0] for r in parts), sum(r.invalid for r in parts)) == (one[0], one.invalid)


def test_threads_share_the_module(tmp_path):
    # count and validate let the GIL go: others run, and nothing is shared
    # that should not be.
    path = tmp_path / "x.jsonl"
    write_jsonl(path, values(2000, 2), 2)
    results = []
    threads = [threading.Thread(target=lambda: results.append((qvtok.open(path).count(),
                                                               qvtok.open(path).validate()[0])))
               for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [(2000, 2000)] * 4


def test_command_line_jobs_give_the_same_report(tmp_path):
    rows = [json.dumps(v) for v in values(20000, 9)] * 5
    for i in range(5, len(rows), 7919):
        rows[i] = "[1, }"
    path = tmp_path / "big.jsonl"
    path.write_text("\n".join(rows) + "\n")
    assert path.stat().st_size > 16 * 2**20  # more than one partition by default

    def run(*args):
        return subprocess.run([sys.executable, "-m", "qvtok", "validate", str(path), *args],
                              capture_output=True, timeout=120)
    one, two = run("--jobs", "1"), run("--jobs", "2", "--max-errors", "3")
    assert one.returncode == two.returncode == 1
    assert two.stdout.splitlines()[:3] == one.stdout.splitlines()[:3]
    assert two.stdout.splitlines()[-1] == one.stdout.splitlines()[-1]
    assert run("--jobs", "0").returncode == 2


# --- to_jsonl on threads ------------------------------------------------------

def jsonl_outcome(records, write):
    """What a to_jsonl pass gives: the count or the error, and the bytes written."""
    sink = io.BytesIO()
    try:
        result = write(records, sink)
    except qvtok.JSONDecodeError as e:
        result = error_tuples([e])[0]
    return result, sink.getvalue()


def array_text(rows):
    return "[\n" + ",\n".join(rows) + "\n]\n"


# Each case breaks the file near `where` (a fraction of its records): a part
# then does not read whole, or the scan that cuts the array stops, and the
# records after the written parts come from one pass as they would alone.
ARRAY_DAMAGE = {
    "whole": lambda rows, k: array_text(rows),
    "broken element": lambda rows, k: array_text(rows[:k] + ['{"a": x}'] + rows[k:]),
    "blank element": lambda rows, k: array_text(rows[:k] + [""] + rows[k:]),
    "wrong closer": lambda rows, k: array_text(rows[:k] + ['{"a": [1}'] + rows[k:]),
    "control byte": lambda rows, k: array_text(rows[:k] + ['"a\tb"'] + rows[k:]),
    "bad UTF-8": lambda rows, k: array_text(rows[:k] + ['"\udcff"'] + rows[k:]),
    "text after": lambda rows, k: array_text(rows) + "x",
    "unclosed": lambda rows, k: array_text(rows)[:-3],
}


@pytest.mark.parametrize("on_error", ["raise", "skip"])
@pytest.mark.parametrize("where", [0.0, 0.5, 1.0])
@pytest.mark.parametrize("damage", ARRAY_DAMAGE)
def test_to_jsonl_on_threads_writes_what_one_pass_writes(tmp_path, damage, where, on_error):
    rows = [json.dumps(v, indent=1, ensure_ascii=False) for v in values(600, 3)]
    text = ARRAY_DAMAGE[damage](rows, int(len(rows) * where))
    path = tmp_path / "x.json"
    path.write_bytes(text.encode("utf-8", "surrogateescape"))
    records = qvtok.open(path, on_error=on_error)
    one = jsonl_outcome(qvtok.open(io.BytesIO(path.read_bytes()), on_error=on_error),
                        lambda r, sink: r.to_jsonl(sink))
    for size in (997, 20000):
        assert jsonl_outcome(records, lambda r, sink: r._to_jsonl(sink, size)) == one
    if damage == "whole":
        assert one[0] == 600 and one[1].count(b"\n") == 600


@pytest.mark.parametrize("on_error", ["raise", "skip"])
@pytest.mark.parametrize("bad", [[], [0], [17, 18, 400], [1999]])
def test_to_jsonl_of_lines_on_threads_writes_what_one_pass_writes(tmp_path, bad, on_error):
    rows = [json.dumps(v, ensure_ascii=False) for v in values(2000, 4)]
    for i in bad:
        rows[i] = '{"bad": ' + "}" * (i % 3)
    path = tmp_path / "x.jsonl"
    path.write_text("\n".join(rows) + "\n", encoding="utf-8")
    one = jsonl_outcome(qvtok.open(io.BytesIO(path.read_bytes()), format="jsonl", on_error=on_error),
                        lambda r, sink: r.to_jsonl(sink))
    for size in (1, 3000, 10**5):
        assert jsonl_outcome(qvtok.open(path, on_error=on_error), lambda r, sink: r._to_jsonl(sink, size)) == one


def test_to_jsonl_on_threads_into_paths_and_compressed_files(tmp_path):
    rows = [json.dumps(v) for v in values(20000, 6)] * 5
    path = tmp_path / "x.json"
    path.write_text(array_text(rows))
    assert path.stat().st_size > 16 * 2**20  # cut for threads by default
    expected = "".join(json.dumps(json.loads(r), separators=(",", ":")) + "\n" for r in rows).encode()
    out = tmp_path / "out.jsonl"
    assert qvtok.open(path).to_jsonl(str(out)) == len(rows)
    assert out.read_bytes() == expected
    assert qvtok.open(path).to_jsonl(tmp_path / "out.jsonl.gz") == len(rows)
    assert gzip.decompress((tmp_path / "out.jsonl.gz").read_bytes()) == expected


@pytest.mark.parametrize("fmt", ["jsonl", "json"])
def test_to_jsonl_on_threads_stops_when_the_destination_fails(tmp_path, fmt):
    rows = [json.dumps(v) for v in values(30000, 7)]
    path = tmp_path / f"x.{fmt}"
    path.write_text("\n".join(rows) + "\n" if fmt == "jsonl" else array_text(rows))

    class Full(io.RawIOBase):
        calls = 0

        def writable(self):
            return True

        def write(self, b):
            Full.calls += 1
            if Full.calls > 2:
                time.sleep(0.1)  # the threads meanwhile fill all the room they have
                raise OSError(28, "No space left on device")
            return len(b)

    with pytest.raises(OSError, match="No space"):
        qvtok.open(path)._to_jsonl(Full(), 500)
    assert Full.calls == 3


@pytest.mark.parametrize("name", ["x.jsonl", "x.json", "x.jsonl.gz"])
def test_a_partition_will_not_write_over_its_file(tmp_path, name):
    text = array_text([json.dumps(v) for v in values(100, 2)]) if name == "x.json" else "1\n2\n" * 100
    data = gzip.compress(text.encode()) if name.endswith(".gz") else text.encode()
    path = tmp_path / name
    path.write_bytes(data)
    (tmp_path / "link").symlink_to(path)
    parts = qvtok.open(path).partitions(100)
    assert len(parts) == 1 if name.endswith(".gz") else len(parts) > 1
    for part in parts:
        for dest in (path, tmp_path / "link"):
            with pytest.raises(ValueError, match="same file"):
                part.to_jsonl(dest)
    assert path.read_bytes() == data


# --- on_error -----------------------------------------------------------------

def outcome(records):
    """What iteration gives: each record, or ("raised", pos) where one raised;
    and the errors the pass counted and kept."""
    got = []
    it = iter(records)
    while True:
        try:
            got.append(next(it))
        except StopIteration:
            break
        except qvtok.JSONDecodeError as e:
            got.append(("raised", e.pos))
    return got, it.error_count, [e.pos for e in it.errors]


def damaged_lines(rows, k):
    return "\n".join(rows[:k] + ['{"a": x}', "[1, }", '{"b": '] + rows[k:]) + "\n"


@pytest.mark.parametrize("on_error", ["raise", "skip"])
@pytest.mark.parametrize("fmt, damage", [("jsonl", damaged_lines)] + [("json", d) for d in ARRAY_DAMAGE.values()],
                         ids=["lines"] + list(ARRAY_DAMAGE))
def test_partitions_give_what_their_records_give_in_either_mode(tmp_path, fmt, damage, on_error):
    rows = [json.dumps(v, ensure_ascii=False) for v in values(300, 11)]
    path = tmp_path / f"x.{fmt}"
    path.write_bytes(damage(rows, 150).encode("utf-8", "surrogateescape"))
    records = qvtok.open(path, on_error=on_error)
    whole = outcome(records)
    for size in (200, 5000):
        parts = pickle.loads(pickle.dumps(records.partitions(size)))
        assert {p.on_error for p in parts} == {on_error}
        read = [outcome(p) for p in parts]
        assert ([r for got, _, _ in read for r in got], sum(n for _, n, _ in read),
                [pos for _, _, kept in read for pos in kept]) == whole
    if on_error == "skip" and damage is not ARRAY_DAMAGE["whole"]:
        assert whole[1] > 0 and not any(isinstance(r, tuple) for r in whole[0])


def test_a_partition_made_without_on_error_raises(tmp_path):
    # As one pickled before partitions carried it reads.
    path = tmp_path / "x.jsonl"
    path.write_bytes(b'1\n{"a": x}\n3\n')
    part = qvtok.Partition(str(path), 0, path.stat().st_size, "jsonl")
    assert part.on_error == "raise"
    with pytest.raises(qvtok.JSONDecodeError):
        part.load()
