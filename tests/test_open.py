"""qvtok.open: sources, formats, passes, operations and record errors,
checked against Python's json."""

import gzip
import io
import json
import os
import pathlib
import random
import subprocess
import sys

import pytest

import qvtok
from conftest import corpus_files
from qvtok import bigjson

CORPUS_FILES = corpus_files()


LINES = b'{"a": 1, "b": [1, 2]}\n\n{"a": 2, "b": null}\n"text"\n'
ARRAY = b'[\n  {"z": 1, "a": 1.5E2},\n  [true, false],\n  "\\u00e9",\n  -0\n]\n'


def by_json(data, jsonl):
    text = data.decode()
    if jsonl:
        return [json.loads(line) for line in text.splitlines() if line.strip()]
    value = json.loads(text)
    return value if isinstance(value, list) else [value]


class ReadOnly:
    """A file object with only `read`."""

    def __init__(self, data):
        self._inner = io.BytesIO(data)

    def read(self, n=-1):
        return self._inner.read(min(n, 7) if n > 0 else n)


# --- sources ---------------------------------------------------------------

@pytest.mark.parametrize("kind", ["str", "bytes", "path", "file", "bytesio", "read_only", "gzip"])
@pytest.mark.parametrize("data,jsonl", [(LINES, True), (ARRAY, False)])
def test_every_source_kind_gives_json_values(tmp_path, kind, data, jsonl):
    path = tmp_path / ("data.jsonl" if jsonl else "data.json")
    path.write_bytes(data)
    gz = tmp_path / "data.gz"
    gz.write_bytes(gzip.compress(data))
    files = []
    source = {
        "str": lambda: str(path),
        "bytes": lambda: os.fsencode(path),
        "path": lambda: path,
        "file": lambda: files.append(open(path, "rb")) or files[-1],
        "bytesio": lambda: io.BytesIO(data),
        "read_only": lambda: ReadOnly(data),
        "gzip": lambda: files.append(gzip.open(gz)) or files[-1],
    }[kind]()
    try:
        assert qvtok.open(source).load() == by_json(data, jsonl)
    finally:
        for f in files:
            f.close()


@pytest.mark.parametrize("data,jsonl", [(LINES, True), (ARRAY, False)])
def test_standard_input_from_a_pipe_and_a_file(tmp_path, data, jsonl):
    code = "import json, qvtok, sys; print(json.dumps(qvtok.open('-').load())); print(sys.stdin.closed)"
    path = tmp_path / "in"
    path.write_bytes(data)
    piped = subprocess.run([sys.executable, "-c", code], input=data, capture_output=True, timeout=60)
    with open(path, "rb") as f:
        redirected = subprocess.run([sys.executable, "-c", code], stdin=f, capture_output=True, timeout=60)
    for done in (piped, redirected):
        assert done.returncode == 0, done.stderr
        out, closed = done.stdout.decode().splitlines()
        assert json.loads(out) == by_json(data, jsonl)
        assert closed == "False"


def test_a_named_pipe_whose_writer_is_gone_is_read_once(tmp_path):
    """validate() and partitions() must not open a named pipe again: the
    writer is gone, and a second open would wait for it forever."""
    script = """
import os, sys, threading, qvtok
path = sys.argv[1]
def write():
    with open(path, "wb") as f:
        f.write(b'{"a": 1}\\n{"a": 2}\\n')
writer = threading.Thread(target=write)
writer.start()
records = qvtok.open(path, format="jsonl")
writer.join()
print(tuple(records.validate(workers=2)))
try:
    records.partitions("1MiB")
except ValueError as e:
    print("ValueError")
"""
    path = tmp_path / "pipe"
    os.mkfifo(path)
    done = subprocess.run([sys.executable, "-c", script, str(path)], capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout, done.stderr) == (0, "(2, [])\nValueError\n", "")


def test_missing_file_raises_file_not_found_with_path(tmp_path):
    missing = tmp_path / "nope.json"
    with pytest.raises(FileNotFoundError) as info:
        qvtok.open(missing)
    assert info.value.filename == missing
    assert info.value.errno == 2


def test_directory_raises_is_a_directory_at_open(tmp_path):
    with pytest.raises(IsADirectoryError):
        qvtok.open(str(tmp_path))


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_unreadable_file_raises_permission_error(write, no_fd_leak):
    path = write("secret.json", "[1]")
    os.chmod(path, 0)
    with pytest.raises(PermissionError):
        qvtok.open(path)


@pytest.mark.parametrize("bad", [1, None, object(), io.StringIO("[1]")])
def test_sources_that_are_no_binary_input_are_refused(bad):
    with pytest.raises(TypeError):
        qvtok.open(bad).load()


def test_nul_in_path_is_a_value_error():
    with pytest.raises(ValueError):
        qvtok.open("a\0b.json")


def test_records_is_not_instantiable():
    with pytest.raises(TypeError):
        qvtok.Records()
    with pytest.raises(TypeError):
        qvtok.RecordsIterator()


# --- formats ---------------------------------------------------------------

@pytest.mark.parametrize(
    "data,expected",
    [
        (b'{\n  "a": 1,\n  "b": 2\n}\n', [{"a": 1, "b": 2}]),  # a multi-line object is one document
        (b'{"a": 1}\n{"a": 2}\n', [{"a": 1}, {"a": 2}]),  # complete first line, a second line: JSONL
        (b'{"a": 1}\n\n  \n', [{"a": 1}]),
        (b"1\n2\n3", [1, 2, 3]),
        (b"  [1,\n2]", [1, 2]),
        (b'"s"', ["s"]),
        (b"", []),
    ],
)
def test_auto_format_by_content(data, expected):
    assert qvtok.open(io.BytesIO(data)).load() == expected


@pytest.mark.parametrize("name,fmt", [("x.JSONL", "jsonl"), ("x.ndjson", "jsonl"), ("x.Json", "json"), ("x.txt", None)])
def test_auto_format_by_extension_wins(write, name, fmt):
    # Two lines that are each a document: JSONL by content, an error as JSON.
    path = write(name, "[1]\n[2]\n")
    records = qvtok.open(path)
    if fmt == "jsonl":
        assert records.load() == [[1], [2]]
    else:
        with pytest.raises(json.JSONDecodeError):
            records.load()


def test_explicit_format_and_unknown_format(write):
    path = write("x.txt", '{"a": 1}\n{"a": 2}\n')
    assert qvtok.open(path, format="ndjson").count() == 2
    with pytest.raises(json.JSONDecodeError):
        qvtok.open(path, format="json").load()
    with pytest.raises(ValueError):
        qvtok.open(path, format="csv")


# --- passes and counters -----------------------------------------------------

def test_a_path_is_read_anew_by_every_pass(write, no_fd_leak):
    path = write("a.jsonl", LINES)
    records = qvtok.open(path)
    assert list(records) == list(records) == by_json(LINES, True)
    assert records.count() == 3
    assert records.head(2) == by_json(LINES, True)[:2]


@pytest.mark.parametrize(
    "n, error",
    [(-1, ValueError), (-(2**70), ValueError), (1.0, TypeError), ("2", TypeError), (None, TypeError)],
)
def test_head_takes_a_count_of_zero_or_more(write, n, error):
    records = qvtok.open(write("a.jsonl", LINES))
    with pytest.raises(error) as caught:
        records.head(n)
    if error is ValueError:
        assert "0 or more" in str(caught.value)
    assert records.head(0) == [] and records.head(True) == by_json(LINES, True)[:1]


@pytest.mark.parametrize("make", [lambda d: io.BytesIO(d), ReadOnly])
def test_a_stream_gives_one_pass(make):
    records = qvtok.open(make(LINES))
    assert records.count() == 3
    with pytest.raises(ValueError):
        iter(records)
    with pytest.raises(ValueError):
        records.load()


def test_counters_follow_the_pass(write):
    path = write("a.json", ARRAY)
    it = iter(qvtok.open(path))
    assert (it.records_read, it.total_bytes) == (0, len(ARRAY))
    values = list(it)
    assert it.records_read == len(values) == 4
    assert it.bytes_read == len(ARRAY)
    assert it.errors == [] and it.error_count == 0
    with pytest.raises(AttributeError):
        it.records_read = 0


def test_total_bytes_is_unknown_for_streams_and_known_for_plain_files(write):
    path = write("a.jsonl", LINES)
    assert iter(qvtok.open(io.BytesIO(LINES))).total_bytes is None
    with open(path, "rb") as f:
        assert iter(qvtok.open(f)).total_bytes == len(LINES)
    with gzip.open(io.BytesIO(gzip.compress(LINES))) as g:
        assert iter(qvtok.open(g)).total_bytes is None


# --- values -------------------------------------------------------------------

@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_corpus_values_equal_json_load(path):
    with open(path, "rb") as f:
        expected = json.load(f)
    assert qvtok.open(path).load() == (expected if isinstance(expected, list) else [expected])


def random_value(rng, depth=0):
    kind = rng.randrange(9 if depth < 4 else 6)
    if kind == 0:
        return rng.randrange(-(2**63), 2**63)
    if kind == 1:
        return rng.uniform(-1e9, 1e9)
    if kind == 2:
        return "".join(rng.choice("ab\"\\\n\u00e9\u20ac\U0001f600 ") for _ in range(rng.randrange(8)))
    if kind == 3:
        return rng.choice([True, False, None])
    if kind in (4, 5):
        return rng.randrange(-1000, 1000)
    if kind in (6, 7):
        return {f"k{rng.randrange(20)}": random_value(rng, depth + 1) for _ in range(rng.randrange(5))}
    return [random_value(rng, depth + 1) for _ in range(rng.randrange(5))]


@pytest.mark.parametrize("seed", range(20))
def test_random_documents_equal_json(seed, tmp_path):
    rng = random.Random(seed)
    docs = [random_value(rng) for _ in range(20)]
    indent = rng.choice([None, 2])
    array = json.dumps(docs, indent=indent).encode()
    lines = b"\n".join(json.dumps(d).encode() for d in docs) + b"\n"
    assert qvtok.open(io.BytesIO(array), format="json").load() == json.loads(array)
    assert qvtok.open(io.BytesIO(lines), format="jsonl").load() == docs


def test_big_integers_are_exact():
    big = 2**80 + 1
    assert qvtok.open(io.BytesIO(f"[{big}, -{big}]".encode())).load() == [big, -big]


def test_keys_come_in_document_order():
    (value,) = qvtok.open(io.BytesIO(b'{"z": 1, "a": 2, "m": 3}')).load()
    assert list(value) == ["z", "a", "m"]


def test_schema_text_equals_bigjson(write):
    path = write("events.jsonl", LINES)
    for sample in (1, 2, 100):
        assert qvtok.open(path).schema(sample) == bigjson.schema(path, sample)
    assert qvtok.open(path).schema(None) == bigjson.schema(path, 10**6)


def test_items_give_none_keys_without_a_pointer():
    assert list(qvtok.open(io.BytesIO(b"[1, 2]")).items()) == [(None, 1), (None, 2)]


@pytest.mark.parametrize(
    "at,expected",
    [("/rows", [(None, 1), (None, 2)]), ("/map", [("a", 1), ("b", 2)]), ("/m~1p", [("", 3)])],
)
def test_records_at_a_pointer(at, expected):
    doc = b'{"rows": [1, 2], "map": {"a": 1, "b": 2}, "m/p": {"": 3}}'
    assert list(qvtok.open(io.BytesIO(doc), at=at).items()) == expected


@pytest.mark.parametrize("at", ["/nothing", "/rows/0", "/rows/5"])
def test_a_pointer_that_names_no_container_is_a_record_error(at):
    with pytest.raises(qvtok.JSONDecodeError, match="matches nothing"):
        qvtok.open(io.BytesIO(b'{"rows": [1, 2]}'), at=at).load()


@pytest.mark.parametrize("at", ["rows", "/a~2"])
def test_invalid_pointer_is_a_value_error_at_open(write, at):
    path = write("a.json", "[]")
    with pytest.raises(ValueError):
        qvtok.open(path, at=at)


# --- raw texts and JSONL output ---------------------------------------------

COMPACTED = b'[ {"k" : "a b\\" \\\\", "n":1E2 , "e": [ ] },\n  -0.50 ,\t"  "\n]'


def test_raw_gives_each_record_text():
    assert list(qvtok.open(io.BytesIO(COMPACTED)).raw()) == [
        b'{"k" : "a b\\" \\\\", "n":1E2 , "e": [ ] }',
        b"-0.50",
        b'"  "',
    ]


def test_to_jsonl_compacts_each_record_and_round_trips(tmp_path):
    out = tmp_path / "out.jsonl"
    assert qvtok.open(io.BytesIO(COMPACTED)).to_jsonl(out) == 3
    written = out.read_bytes()
    assert written == b'{"k":"a b\\" \\\\","n":1E2,"e":[]}\n-0.50\n"  "\n'
    raws = list(qvtok.open(io.BytesIO(COMPACTED)).raw())
    assert [json.loads(line) for line in written.splitlines()] == [json.loads(r) for r in raws]


def test_to_jsonl_into_a_file_object_skips_broken_records():
    sink = io.BytesIO()
    records = qvtok.open(io.BytesIO(b"[1, x, 2]"), on_error="skip")
    assert records.to_jsonl(sink) == 2
    assert sink.getvalue() == b"1\n2\n"


def test_to_jsonl_writes_the_records_before_a_broken_one_and_places_it_in_the_file():
    sink = io.BytesIO()
    with pytest.raises(qvtok.JSONDecodeError) as info:
        qvtok.open(io.BytesIO(b'1\n{"a": x}\n3\n'), format="jsonl").to_jsonl(sink)
    assert sink.getvalue() == b"1\n"
    assert (info.value.lineno, info.value.colno, info.value.record) == (2, 7, 1)


@pytest.mark.parametrize("dest", ["missing/out.jsonl", ".", "/dev/full"])
@pytest.mark.parametrize("kind", [str, pathlib.Path, os.fsencode])
def test_to_jsonl_into_a_path_fails_as_writing_it_with_open_would(tmp_path, monkeypatch, dest, kind):
    if dest == "/dev/full" and not os.path.exists(dest):
        pytest.skip("no /dev/full")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(OSError) as expected:
        with open(kind(dest), "wb") as f:
            f.write(b"1\n")
    with pytest.raises(OSError) as caught:
        qvtok.open(io.BytesIO(b"[1]")).to_jsonl(kind(dest))
    e, c = expected.value, caught.value
    assert (type(c), c.errno) == (type(e), e.errno)
    # A failed write names the file too, which Python's own write does not.
    assert c.filename == (e.filename or os.fspath(kind(dest)))


@pytest.mark.parametrize("compressed", [False, True], ids=["plain", "gzip"])
@pytest.mark.parametrize("source", ["path", "file object"])
@pytest.mark.parametrize("dest", ["path", "bytes", "pathlib", "symlink", "hard link", "file object"])
def test_to_jsonl_refuses_to_write_over_its_input(tmp_path, compressed, source, dest):
    data = gzip.compress(LINES) if compressed else LINES
    path = tmp_path / ("x.jsonl.gz" if compressed else "x.jsonl")
    path.write_bytes(data)
    (tmp_path / "link").symlink_to(path)
    os.link(path, tmp_path / "hard")
    names = {"path": str(path), "bytes": os.fsencode(path), "pathlib": path,
             "symlink": tmp_path / "link", "hard link": str(tmp_path / "hard")}
    with open(path, "rb") as read, open(path, "ab") as append:
        records = qvtok.open(str(path) if source == "path" else read)
        target = append if dest == "file object" else names[dest]
        with pytest.raises(ValueError) as caught:
            records.to_jsonl(target)
        # Refused before the input was touched: the pass is still to come.
        assert records.count() == 3
    assert path.read_bytes() == data
    named = os.fsdecode(os.fspath(target)) if dest != "file object" else str(path)
    assert str(path) in str(caught.value) and named in str(caught.value)


def test_to_jsonl_writes_beside_its_input_and_through_devices(tmp_path):
    path = tmp_path / "x.jsonl"
    path.write_bytes(LINES)
    copy = tmp_path / "copy.jsonl"
    copy.write_bytes(LINES)  # the same bytes, another file
    assert qvtok.open(path).to_jsonl(copy) == 3
    # Reading and writing one device loses nothing.
    assert qvtok.open(os.devnull, format="jsonl").to_jsonl(os.devnull) == 0


# --- record errors ----------------------------------------------------------

BROKEN_LINES = b'{"a": 1}\n{"a": }\n[1, 2]\n\xff\n3\n'


def test_a_first_line_that_is_not_utf8_still_reads_as_jsonl():
    it = iter(qvtok.open(io.BytesIO(b'{"k": "\xff"}\n{"k": 1}\n'), on_error="skip"))
    assert list(it) == [{"k": 1}]
    assert it.error_count == 1


@pytest.mark.parametrize(
    "escape, what, column",
    [
        (b"\\udc00", "lone trailing surrogate in hex escape", 14),
        (b"\\udfff\\ud800", "lone trailing surrogate in hex escape", 14),
        (b"\\ud800\\u0041", "lone leading surrogate in hex escape", 20),
        (b"\\ud800x", "unexpected end of hex escape", 15),
    ],
)
@pytest.mark.parametrize("format", ["json", "jsonl"])
def test_surrogate_escapes_without_their_pair_are_named(escape, what, column, format):
    text = b'[1]\n{"k": "a%s"}\n' % escape
    if format == "json":
        text = b"[" + text.replace(b"\n", b",", 1).strip() + b"]"
        column += len(b"[[1],")
    with pytest.raises(qvtok.JSONDecodeError) as caught:
        qvtok.open(io.BytesIO(text), format=format).load()
    line = 1 if format == "json" else 2
    assert (caught.value.msg, caught.value.lineno, caught.value.colno) == (what, line, column)


def test_raise_mode_raises_then_goes_on():
    it = iter(qvtok.open(io.BytesIO(BROKEN_LINES), format="jsonl"))
    assert next(it) == {"a": 1}
    with pytest.raises(qvtok.JSONDecodeError) as info:
        next(it)
    assert next(it) == [1, 2]
    with pytest.raises(json.JSONDecodeError):
        next(it)
    assert list(it) == [3]
    assert it.error_count == 2
    error = info.value
    assert isinstance(error, ValueError)
    assert error.msg == "Expecting value"
    assert (error.lineno, error.colno) == (1, 7) or error.lineno == 2
    assert error.pos == BROKEN_LINES.index(b"}\n[")
    assert str(error) == f"{error.msg}: line {error.lineno} column {error.colno} (char {error.pos})"
    assert error.record == 1


def test_skip_mode_keeps_errors_and_counts():
    it = iter(qvtok.open(io.BytesIO(BROKEN_LINES), format="jsonl", on_error="skip"))
    assert list(it) == [{"a": 1}, [1, 2], 3]
    assert it.error_count == 2
    assert [e.record for e in it.errors] == [1, 3]
    assert all(isinstance(e, json.JSONDecodeError) for e in it.errors)


def test_skip_mode_keeps_only_the_first_thousand_errors():
    data = b"x\n" * 1500 + b"1\n"
    it = iter(qvtok.open(io.BytesIO(data), format="jsonl", on_error="skip"))
    assert list(it) == [1]
    assert (len(it.errors), it.error_count) == (1000, 1500)


@pytest.mark.parametrize(
    "data,good,bad,lost", [(BROKEN_LINES, 3, 2, 0), (b"[1, {], 2]", 1, 1, 1), (b"[1, 2]", 2, 0, 0)]
)
def test_validate_counts_good_records_and_never_raises(data, good, bad, lost):
    result = qvtok.open(io.BytesIO(data)).validate()
    count, errors = result
    unchecked = [e for e in errors if isinstance(e, qvtok.StructureLostError)]
    assert (count, len(errors) - len(unchecked), result.invalid, len(unchecked)) == (good, bad, bad, lost)


@pytest.mark.parametrize("text", [b"[1,,2]", b"[1, 2, ]", b"[,]", b"[\n1,\n\n,2]", b'{"f": [1,,2]}', b'{"f": {"a": 1,}}'])
@pytest.mark.parametrize("at", [None, "/f"])
def test_blank_elements_fail_where_json_fails(tmp_path, text, at):
    """A blank element is no record and no silent skip: the error json
    gives, at its place, in every pass; records on either side still come."""
    if at is None and text.startswith(b"{"):
        text = text[text.index(b":") + 1 : -1].strip()
    doc = b'{"f": %s}' % text if at and not text.startswith(b"{") else text
    with pytest.raises(json.JSONDecodeError) as expected:
        json.loads(doc)
    want = expected.value.pos
    path = tmp_path / "blank.json"
    path.write_bytes(doc)
    with pytest.raises(qvtok.JSONDecodeError) as got:
        qvtok.open(path, at=at).load()
    assert (got.value.pos, got.value.msg) == (want, expected.value.msg)
    assert (got.value.lineno, got.value.colno) == (doc.count(b"\n", 0, want) + 1, want - doc.rfind(b"\n", 0, want))
    it = iter(qvtok.open(path, at=at, on_error="skip"))
    good = list(it)
    assert it.error_count >= 1 and it.errors[0].pos == want
    places = [(e.pos, e.lineno, e.colno, e.record) for e in it.errors]
    for workers in (1, 2):
        count, errors = qvtok.open(path, at=at).validate(workers=workers)
        assert (count, [(e.pos, e.lineno, e.colno, e.record) for e in errors]) == (len(good), places)
    with pytest.raises(qvtok.JSONDecodeError):
        qvtok.open(path, at=at).to_jsonl(io.BytesIO())


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("at", [None, "/f"])
def test_count_gives_what_raw_gives(tmp_path, seed, at):
    """count() passes plain elements in bulk: the same number as raw()
    hands out, or the same error at the same place, across read blocks."""
    rng = random.Random(seed)
    good = ['1', '{"a": [1, {"b": "x,]"}]}', '"\\"],"', '"\u00e9"', " \n null", '{"k": [[[]]]}']
    bad = ["", "[1, 2}", '"a\u0001"', "\u00a0"] if seed % 2 else [""]
    items = [rng.choice(bad) if rng.random() < 0.01 else rng.choice(good) for _ in range(rng.choice([5, 5000]))]
    doc = "[" + ",".join(items) + "]"
    if at:
        doc = '{"x": [1], "f": %s}' % doc
    path = tmp_path / "c.json"
    path.write_bytes(doc.encode())

    def outcome(run):
        try:
            return run()
        except qvtok.JSONDecodeError as e:
            return (e.pos, e.lineno, e.colno, e.record, e.msg)

    assert outcome(lambda: qvtok.open(path, at=at).count()) == outcome(lambda: len(list(qvtok.open(path, at=at).raw())))


@pytest.mark.parametrize("doc", [b"[]", b"[ \n ]", b'{"f": []}', b'{"f": {}}'])
def test_empty_containers_hold_no_records(doc):
    at = "/f" if doc.startswith(b"{") else None
    records = qvtok.open(io.BytesIO(doc), at=at)
    assert records.load() == []
    assert qvtok.open(io.BytesIO(doc), at=at).validate() == (0, [])


def test_trailing_characters_after_the_array_are_a_record_error():
    with pytest.raises(qvtok.JSONDecodeError):
        qvtok.open(io.BytesIO(b"[1, 2] 3"), format="json").load()


def test_bad_on_error_is_refused(write):
    with pytest.raises(ValueError):
        qvtok.open(write("a.json", "[]"), on_error="ignore")


def test_a_failing_read_propagates_its_exception():
    class Failing(io.RawIOBase):
        def readable(self):
            return True

        def readinto(self, b):
            raise OSError(5, "device gone")

    with pytest.raises(OSError, match="device gone"):
        qvtok.open(Failing(), format="jsonl").load()


class ChunkAdapter(io.RawIOBase):
    """A file object over an iterator of chunks that reads past its end
    with next(), as adapters over a response body do: the read after the
    last chunk raises StopIteration. `failure` replaces that with another
    exception; `readinto` False leaves only `read`."""

    def __init__(self, chunks, failure=None):
        self._chunks = iter(chunks)
        self._rest = b""
        self._failure = failure

    def readable(self):
        return True

    def read(self, n=-1):
        if not self._rest:
            if self._failure is not None:
                try:
                    self._rest = next(self._chunks)
                except StopIteration:
                    raise self._failure from None
            else:
                self._rest = next(self._chunks)
        got, self._rest = self._rest[:n], self._rest[n:]
        return got

    def readinto(self, b):
        got = self.read(len(b))
        b[: len(got)] = got
        return len(got)


class ReadAdapter:
    """The same with only `read`."""

    def __init__(self, chunks, failure=None):
        self.read = ChunkAdapter(chunks, failure).read


FAILING_PASSES = {
    "values": lambda r: list(r),
    "raw": lambda r: list(r.raw()),
    "compact": lambda r: list(r.compact()),
    "items": lambda r: list(r.items()),
    "count": lambda r: r.count(),
    "load": lambda r: r.load(),
    "validate": lambda r: r.validate(),
}


@pytest.mark.parametrize("adapter", [ChunkAdapter, ReadAdapter])
@pytest.mark.parametrize("run", FAILING_PASSES.values(), ids=FAILING_PASSES.keys())
@pytest.mark.parametrize("fmt", ["jsonl", "json"])
def test_a_file_object_that_stops_mid_stream_is_an_error_not_the_end(adapter, run, fmt):
    # Records well past the first read, so that the failure comes after
    # some have been handed out, not while the format is found.
    values = [{"i": i, "s": "x" * 20} for i in range(30000)]
    data = (b"".join(json.dumps(v).encode() + b"\n" for v in values) if fmt == "jsonl"
            else json.dumps(values).encode())
    cut = data[: len(data) // 3]
    chunks = [cut[i : i + 4096] for i in range(0, len(cut), 4096)]
    records = qvtok.open(adapter(chunks), format=fmt)
    with pytest.raises(RuntimeError, match=r"read(into)?\(\)") as caught:
        run(records)
    assert type(caught.value.__cause__) is StopIteration


@pytest.mark.parametrize("adapter", [ChunkAdapter, ReadAdapter])
@pytest.mark.parametrize("run", FAILING_PASSES.values(), ids=FAILING_PASSES.keys())
def test_an_oserror_from_a_read_mid_stream_propagates_as_itself(adapter, run):
    data = b"".join(b'{"i": %d}\n' % i for i in range(30000))
    chunks = [data[i : i + 4096] for i in range(0, len(data) // 3, 4096)]
    failure = OSError(5, "device gone")
    with pytest.raises(OSError) as caught:
        run(qvtok.open(adapter(chunks, failure), format="jsonl"))
    assert caught.value is failure


def test_a_text_file_object_is_refused():
    class Text:
        def read(self, n=-1):
            return "[1]"

    with pytest.raises(TypeError):
        qvtok.open(Text()).load()


def test_a_file_object_cannot_keep_the_read_buffer():
    class Keeper(io.RawIOBase):
        def readable(self):
            return True

        done = False
        kept: list = []

        def readinto(self, b):
            self.kept.append(memoryview(b))  # outlives the call
            if self.done:
                return 0
            self.done = True
            b[:3] = b"[1]"
            return 3

    keeper = Keeper()
    assert qvtok.open(keeper, format="json").load() == [1]
    junk = [bytearray(b"z" * 65536) for _ in range(50)]  # reuse freed memory, were it freed
    assert len(junk) == 50 and bytes(keeper.kept[0][:3]) == b"[1]"


def test_readinto_and_read_objects_give_the_same_records():
    data = json.dumps([{"i": i, "s": "x" * i} for i in range(3000)]).encode()
    assert qvtok.open(ReadOnly(data)).load() == qvtok.open(io.BufferedReader(io.BytesIO(data))).load() == json.loads(data)


def test_abandoned_passes_and_records_close_their_files(write, no_fd_leak):
    path = write("a.json", ARRAY)
    for _ in range(200):
        records = qvtok.open(path)  # holds the file opened for its first pass
        it = iter(records)
        next(it)
        del it
        qvtok.open(path, format="json")
        records.head(1)
        del records


class Misbehaving(io.RawIOBase):
    def __init__(self, answer):
        self.answer = answer

    def readable(self):
        return True

    def readinto(self, b):
        return self.answer(b)


@pytest.mark.parametrize(
    "answer,error",
    [(lambda b: None, BlockingIOError), (lambda b: len(b) + 1, ValueError), (lambda b: -1, ValueError)],
)
def test_a_file_object_that_misreports_its_read_is_refused(answer, error):
    with pytest.raises(error):
        qvtok.open(Misbehaving(answer), format="json").load()


def test_errors_pickle_whole(tmp_path):
    # Errors cross process boundaries (Dask workers, multiprocessing) with
    # their place and record intact.
    import pickle

    with pytest.raises(qvtok.JSONDecodeError) as caught:
        qvtok.open(io.BytesIO(b'1\n2\n{"a": x}\n'), format="jsonl").load()
    e = caught.value
    e.add_note("seen here")
    back = pickle.loads(pickle.dumps(e))
    assert type(back) is qvtok.JSONDecodeError and str(back) == str(e)
    assert (back.msg, back.pos, back.lineno, back.colno, back.record, back.__notes__) == (
        e.msg, e.pos, e.lineno, e.colno, e.record, e.__notes__)
    path = tmp_path / "x.gz"
    path.write_bytes(gzip.compress(b"1\n" * 100)[:-9])
    with pytest.raises(qvtok.CompressionError) as caught:
        qvtok.open(path).load()
    c = pickle.loads(pickle.dumps(caught.value))
    assert (type(c), str(c), c.codec, c.offset) == (qvtok.CompressionError, str(caught.value), "gzip", caught.value.offset)


@pytest.fixture
def many_records(tmp_path):
    path = tmp_path / "many.jsonl"
    path.write_text("".join('{"id": %d, "tags": ["a", "b"]}\n' % i for i in range(60000)))
    return path


def test_objects_the_program_froze_stay_frozen(many_records):
    import gc

    keep = [{"k": i} for i in range(100)]
    gc.freeze()
    try:
        frozen = gc.get_freeze_count()
        data = qvtok.open(many_records).load()
        assert gc.get_freeze_count() == frozen
        del data
    finally:
        gc.unfreeze()
    del keep


def test_a_program_that_turned_the_collector_off_keeps_it_off(many_records):
    import gc

    gc.disable()
    try:
        qvtok.open(many_records).load()
        assert not gc.isenabled()
    finally:
        gc.enable()


# White space json.loads refuses, which bigjson's passes trim around a record.
NOT_JSON_SPACE = ["\u00a0", "\u0085", "\u2028", "\u2029", "\u3000", "\v", "\f"]


@pytest.mark.parametrize("space", NOT_JSON_SPACE, ids=lambda s: f"U+{ord(s):04X}")
@pytest.mark.parametrize(
    "fmt, template",
    [
        ("jsonl", '{s}{{"a": 1}}\n{{"b": 2}}\n'),
        ("jsonl", '{{"a": 1}}{s}\n'),
        ("jsonl", "{s}\n"),
        ("json", "[1,{s}2]"),
        ("json", "[1, 2{s}]"),
        ("json", "{s}[1, 2]"),
        ("json", "[1, 2]{s}"),
        ("json", '{s}{{"a": [1]}}'),
    ],
)
def test_only_json_white_space_may_stand_around_a_record(write, space, fmt, template):
    text = template.format(s=space)
    path = write(f"x.{fmt}", text)
    with pytest.raises(json.JSONDecodeError):
        qvtok.open(path).load()
    good, errors = qvtok.open(path).validate()
    assert len(errors) == 1
    if fmt == "jsonl":
        with pytest.raises(json.JSONDecodeError):
            json.loads(text.split("\n")[0])
    else:
        with pytest.raises(json.JSONDecodeError):
            json.loads(text)
        with pytest.raises(json.JSONDecodeError):
            qvtok.open(path, at="/a").load() if "a" in text else qvtok.open(path, at="").load()


def test_bigjson_still_trims_unicode_white_space_around_records(write):
    path = write("x.jsonl", '\u00a0{"a": 1}\u3000\n\f{"b": 2}\n')
    assert bigjson.load(path) == [{"a": 1}, {"b": 2}]
