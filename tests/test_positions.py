"""Where qvtok.open places a fault: pos in bytes from the start of the input,
and lineno and colno derived from pos by json's own rule, in every pass."""

import io
import json
import random
import subprocess
import sys

import pytest

import qvtok


def by_json_rule(data: bytes, pos: int):
    """json.JSONDecodeError's lineno and colno for `pos`."""
    return data.count(b"\n", 0, pos) + 1, pos - data.rfind(b"\n", 0, pos)


def json_fault(data: bytes):
    try:
        json.loads(data)
    except json.JSONDecodeError as e:
        return e
    return None


def qvtok_fault(data: bytes, fmt: str):
    try:
        qvtok.open(io.BytesIO(data), format=fmt).load()
    except json.JSONDecodeError as e:
        return e
    return None


# Malformed documents in the manner of JSONTestSuite's n_ cases, spread over
# lines so that line and column both matter.
MALFORMED = [
    b'[1,\n2,\n"ab\ncd"]',
    b"[1,2",
    b"[1,\n2",
    b'{"a":\n1',
    b"[1,\n2]\n3",
    b"[\n1\n,\n]",
    b"[1,\n2 x]",
    b'\n\n[1,\n{"a" 1}]',
    b'[\n"a\tb"]',
    b"  [1,2]  x",
    b"[1,\n\n",
    b'{"a":1}\n{"b":2}',
    b"[",
    b"[\n",
    b'{"a"',
    b'{"a":1,\n"b"\n:\n}',
    b'["a\\q"]',
    b'["\\u12"]',
    b"[01]",
    b"[1.]",
    b"[-]",
    b"[1e+]",
    b"{\n\n1:2}",
    b'{"a":1,}',
    b"[1,]",
    b"[,1]",
    b"[1 2]",
    b'{"a" "b"}',
    b'["abc',
    b'["abc\n',
    b"[1]]",
    b"[1}",
    b'{"a":[1,2}\n',
    b"[\n  {\n    \"x\": [1, 2,\n    3\n  }\n]",
    b"\n[\n\t1,\n\t2\n\t3\n]",
    b'{"a": nul}',
    b"['a']",
    # Faults after which the array's elements can no longer be told apart.
    b"[\n null,\n -1[7646\n]",
    b'[\n  [\n,\n  [\n    "s"\n  ]\n]',
    b'[{"id":4,"name":"n4"},{"id":5,"name:"n5"},{"id":6,"name":"n6"}]',
]


def mutations(count: int, seed: int):
    """Valid pretty-printed documents with one ASCII byte deleted, inserted
    or replaced: faults in every place a document can have one."""
    rng = random.Random(seed)
    pieces = b'"[]{},:\\\n\t 0-.eE1xatfn/'

    def value(depth):
        kind = rng.randrange(8 if depth < 3 else 5)
        if kind == 0:
            return rng.randint(-(10**6), 10**6)
        if kind == 1:
            return rng.random() * 10 ** rng.randint(-5, 5)
        if kind == 2:
            return "".join(rng.choice("ab \\\"/\t\u00e9") for _ in range(rng.randrange(6)))
        if kind == 3:
            return rng.choice([None, True, False])
        if kind == 4:
            return "s"
        if kind in (5, 6):
            return [value(depth + 1) for _ in range(rng.randrange(4))]
        return {f"k{i}": value(depth + 1) for i in range(rng.randrange(4))}

    made = 0
    while made < count:
        top = [value(1) for _ in range(rng.randrange(1, 4))] if rng.random() < 0.5 else {"a": value(1), "b": value(1)}
        text = json.dumps(top, indent=rng.choice([None, 1, 2]), ensure_ascii=True).encode()
        at = rng.randrange(len(text) + 1)
        how = rng.randrange(3)
        if how == 0 and at < len(text):
            text = text[:at] + text[at + 1 :]
        elif how == 1:
            text = text[:at] + bytes([rng.choice(pieces)]) + text[at:]
        elif at < len(text):
            text = text[:at] + bytes([rng.choice(pieces)]) + text[at + 1 :]
        if json_fault(text) is not None:
            made += 1
            yield text


CASES = MALFORMED + list(mutations(400, seed=20261208))


def test_every_fault_is_placed_by_json_rule_and_where_json_places_it():
    same_place = 0
    for data in CASES:
        expected = json_fault(data)
        assert expected is not None, data
        got = qvtok_fault(data, "json")
        assert got is not None, f"accepted what json refuses: {data!r}"
        assert (got.lineno, got.colno) == by_json_rule(data, got.pos), data
        if got.pos == expected.pos:
            same_place += 1
            assert (got.lineno, got.colno) == (expected.lineno, expected.colno), data
            # In json's own words, as the running interpreter's json says them.
            assert got.msg == expected.msg, data
            assert str(got) == str(expected), data
    # Mostly the same fault: the comparison above is not an empty one.
    assert same_place > len(CASES) * 0.95


# Short texts for each of json's messages, and the places where json names
# another byte than the one that broke the text: a misspelt literal by its
# start, an unterminated string by its quote, a number json reads shorter
# by the byte after it, a comma before a closer by the comma (Python 3.13)
# or the closer.
JSON_WORDS = [
    b"[", b"[1", b"[1,", b"[1,]", b"[1,\n ]", b"[,1]", b"[1 2]", b"[1}", b"[1,,2]",
    b"{", b"{1:2}", b'{"a":1,}', b'{"a":1 ,\n}', b'{"a":1,', b'{"a"', b'{"a" 1}', b'{"a":', b'{"a":1', b'{"a":1]',
    b"[1] x", b"1 2", b"[1]\n\n]", b"tru", b"[nul]", b"[\n  trux]", b"-", b"[-]", b"[--1]", b"01", b"[01]", b"1.",
    b"[1.]", b'{"a":1.x}', b"[1e+]", b"[1.5E-x]", b"[1e", b'"abc', b'[1,\n "ab\\"', b'{"ab', b'["a\\',
    b'["a\x01"]', b'["a\nb"]', b'["\\q"]', b'["\\u12"]', b'"\\u12', b'"\\u1234', b'"\\ud800',
    b'"\\ud83d\\ude00', b'["\\ud800\\u12"]', b'"\\ud800\\', b"[\n", b'{"a": [1, 2}', b"  [1,\n2,\n",
    b'{"a": 1\n\n', b'  {"a":\n',
]


def passes():
    def load(data, path):
        qvtok.open(io.BytesIO(data), format="json").load()

    def iterate(data, path):
        list(qvtok.open(io.BytesIO(data), format="json"))

    def validate(data, path):
        _, errors = qvtok.open(io.BytesIO(data), format="json").validate()
        if errors:
            raise errors[0]

    def skip(data, path):
        it = iter(qvtok.open(io.BytesIO(data), format="json", on_error="skip"))
        list(it)
        if it.errors:
            raise it.errors[0]

    def head(data, path):
        qvtok.open(io.BytesIO(data), format="json").head(100)

    def partition(data, path):
        path.write_bytes(data)
        for part in qvtok.open(str(path), format="json").partitions(1 << 20):
            part.load()

    return [load, iterate, validate, skip, head, partition]


@pytest.mark.parametrize("run", passes(), ids=lambda run: run.__name__)
@pytest.mark.parametrize("data", JSON_WORDS, ids=repr)
def test_each_pass_says_what_json_says_where_json_says_it(data, run, tmp_path):
    expected = json_fault(data)
    assert expected is not None
    with pytest.raises(json.JSONDecodeError) as info:
        run(data, tmp_path / "x.json")
    got = info.value
    assert (got.msg, got.pos, got.lineno, got.colno) == (expected.msg, expected.pos, expected.lineno, expected.colno)


CUT_AT_A_POINTER = [b'{"data": [1, 2', b'{"data": [1, "ab', b'{"data": [1, ', b'{"data": [1, tr', b'{"data": [',
                    b'{"data": [1, {"a": 2']
BROKEN_AT_A_POINTER = [b'{"data": [1, x]}', b'{"data": [1,]}', b'{"data": {"a": 1,}}', b'{"data": {"a" 1}}']


@pytest.mark.parametrize("data", CUT_AT_A_POINTER + BROKEN_AT_A_POINTER, ids=repr)
@pytest.mark.parametrize("skip", [False, True])
def test_records_at_a_pointer_are_told_as_json_tells_the_document(data, skip):
    expected = json_fault(data)
    it = iter(qvtok.open(io.BytesIO(data), format="json", at="/data", on_error="skip" if skip else "raise"))
    if skip:
        list(it)
        got = it.errors[0]
        # The end of the text is the fault's: no bytes are left unread after it.
        assert len(it.errors) == 1
    else:
        with pytest.raises(json.JSONDecodeError) as info:
            list(it)
        got = info.value
    assert (got.msg, got.pos, got.lineno, got.colno) == (expected.msg, expected.pos, expected.lineno, expected.colno)


@pytest.mark.parametrize(
    "line",
    [b"tru", b"01", b"1.", b"[1,]", b'{"a":1,}', b'"abc', b"[1 2]", b'{"a" 1}', b"1 2", b"-", b'["\\q"]', b"{"],
    ids=repr,
)
def test_a_json_lines_record_is_told_as_json_loads_tells_its_line(line):
    expected = json_fault(line)
    data = b'{"ok": 1}\n' + line + b"\n[2]\n"
    _, errors = qvtok.open(io.BytesIO(data), format="jsonl").validate()
    (got,) = errors
    assert (got.msg, got.pos - 10, got.lineno, got.colno) == (expected.msg, expected.pos, 2, expected.colno)


@pytest.mark.parametrize(
    "data, words",
    [
        # json reads these, or stops them otherwise: qvtok's own words stay.
        (b'["\\udc00"]', "lone trailing surrogate in hex escape"),
        (b'["\\ud800"]', "unexpected end of hex escape"),
        (b"[1e400]", "number out of range"),
        (b"[NaN]", "Expecting value"),
        (b"[" * 2000 + b"]" * 2000, "recursion limit exceeded"),
        (b'[1, "\xff"]', "stream did not contain valid UTF-8"),
    ],
    ids=repr,
)
def test_faults_json_has_no_words_for_keep_qvtoks(data, words):
    with pytest.raises(qvtok.JSONDecodeError) as info:
        qvtok.open(io.BytesIO(data), format="json").load()
    assert info.value.msg == words


def structure_mutations(count: int, seed: int):
    """Arrays of records, on one line or many, with a quote deleted or a
    quote or bracket inserted: the scanner that cuts the array into
    elements is then wrong about what is string or how deep it is, and the
    first fault must still be the one the reader meets first."""
    rng = random.Random(seed)
    made = 0
    while made < count:
        records = [
            {"id": i, "name": f"n{i}", "tags": ["a", "b"][: rng.randrange(3)], "v": rng.choice([None, True, 1.5])}
            for i in range(rng.randrange(2, 12))
        ]
        text = json.dumps(records, indent=rng.choice([None, None, 1])).encode()
        how = rng.randrange(3)
        if how == 0:
            at = rng.choice([i for i, c in enumerate(text) if c == ord('"')])
            text = text[:at] + text[at + 1 :]
        else:
            at = rng.randrange(1, len(text) - 1)
            text = text[:at] + bytes([rng.choice(b'"[]{}' if how == 1 else b'"')]) + text[at:]
        if json_fault(text) is not None:
            made += 1
            yield text


@pytest.mark.parametrize("seed", [1, 2])
def test_a_lost_structure_is_named_by_its_first_fault(seed):
    cases = list(structure_mutations(300, seed))
    same_place = 0
    for data in cases:
        expected = json_fault(data)
        got = qvtok_fault(data, "json")
        assert got is not None, data
        same_place += got.pos == expected.pos
        # The reader may name a later byte of the token json names (a
        # literal misspelt), or the end of a string that never ends where
        # json names its start; never a fault further on.
        if not expected.msg.startswith("Unterminated string"):
            assert expected.pos <= got.pos <= expected.pos + 4, data
        # What follows the fault is said to be unchecked, not passed over.
        it = iter(qvtok.open(io.BytesIO(data), format="json", on_error="skip"))
        list(it)
        assert it.errors[0].pos == got.pos, data
    assert same_place > len(cases) * 0.85


@pytest.mark.parametrize("pass_", ["iterate", "validate", "skip"])
def test_every_pass_places_a_fault_alike(pass_):
    for data in CASES[:150]:
        expected = qvtok_fault(data, "json")
        if pass_ == "iterate":
            with pytest.raises(json.JSONDecodeError) as info:
                list(qvtok.open(io.BytesIO(data), format="json"))
            got = info.value
        elif pass_ == "validate":
            _, errors = qvtok.open(io.BytesIO(data), format="json").validate()
            got = errors[0]
        else:
            it = iter(qvtok.open(io.BytesIO(data), format="json", on_error="skip"))
            list(it)
            got = it.errors[0]
        assert (got.pos, got.lineno, got.colno) == (expected.pos, expected.lineno, expected.colno), data


def test_json_lines_faults_are_placed_in_the_file():
    lines = [line for line in MALFORMED if line and b"\n" not in line.strip()]
    good = b'{"ok": [1, 2]}\n'
    data = b"".join(good + b"  " + line + b"\n" for line in lines)
    _, errors = qvtok.open(io.BytesIO(data), format="jsonl").validate()
    assert len(errors) == len([line for line in lines if json_fault(line.strip())])
    starts = [i for i in range(len(data)) if data.startswith(b"  ", i) and (i == 0 or data[i - 1] == 10)]
    for error in errors:
        assert (error.lineno, error.colno) == by_json_rule(data, error.pos)
        # Where json.loads of the line places it, shifted to the line's place.
        line_start = max(s for s in starts if s <= error.pos) + 2
        line = data[line_start : data.index(b"\n", line_start)]
        expected = json_fault(line)
        if expected.pos == error.pos - line_start:
            assert error.colno == expected.colno + 2


def test_the_command_line_names_the_place_json_names(tmp_path):
    path = tmp_path / "bad.json"
    data = b'[1,\n2,\n"ab\ncd"]'
    path.write_bytes(data)
    out = subprocess.run([sys.executable, "-m", "qvtok", "validate", str(path)], capture_output=True, text=True)
    expected = json_fault(data)
    assert f"{path}:{expected.lineno}:{expected.colno}" in out.stdout + out.stderr


@pytest.mark.parametrize("source, size_known", [("path", True), ("file object", False)])
@pytest.mark.parametrize("records", [3, 600_000])
def test_skipping_tells_the_bytes_a_lost_structure_left_unread(tmp_path, source, size_known, records):
    tail = b"".join(b', {"id": %d}' % i for i in range(3, records + 3))
    data = b'[{"id": 1}, {"id": 2, name": "x"}' + tail + b"]"
    expected = json_fault(data)
    path = tmp_path / "x.json"
    path.write_bytes(data)
    it = iter(qvtok.open(str(path) if source == "path" else io.BytesIO(data), format="json", on_error="skip"))
    assert list(it) == [{"id": 1}]
    fault, lost = it.errors
    assert not isinstance(fault, qvtok.StructureLostError) and isinstance(lost, json.JSONDecodeError)
    assert (fault.pos, fault.record) == (expected.pos, 1)
    assert isinstance(lost, qvtok.StructureLostError)
    # Where the fault shows before the end of a file object of unknown
    # size, the range is left open.
    end = len(data) if size_known or records == 3 else None
    assert (lost.start, lost.end, lost.record) == (expected.pos, end, 1)
    assert it.error_count == 1  # the unread bytes are no record


@pytest.mark.parametrize("on_error", ["raise", "skip"])
def test_passes_that_parse_nothing_still_stop_at_a_lost_structure(tmp_path, on_error):
    # A key's quote gone in a one-line array: a count or raw texts must not
    # gather the rest of the file as one record, nor pass it over unsaid.
    rows = ['{"id":%d,"name":"n%d"}' % (i, i) for i in range(20000)]
    rows[7] = rows[7].replace('"n7"', 'n7"')
    data = ("[" + ",".join(rows) + "]").encode()
    path = tmp_path / "lost.json"
    path.write_bytes(data)
    # The fault a parsing pass names, which is json's.
    expected = qvtok.open(path).validate()[1][0]
    assert abs(expected.pos - json_fault(data).pos) <= 1  # a misspelt literal is named by its wrong letter
    if on_error == "raise":
        with pytest.raises(json.JSONDecodeError) as info:
            qvtok.open(path).count()
        assert info.value.pos == expected.pos
        with pytest.raises(json.JSONDecodeError) as info:
            list(qvtok.open(path).raw())
        assert info.value.pos == expected.pos
    else:
        # A count has nowhere else to say what it could not count.
        with pytest.raises(qvtok.StructureLostError) as info:
            qvtok.open(path, on_error="skip").count()
        assert (info.value.pos, info.value.start, info.value.end) == (expected.pos, expected.pos, len(data))
        it = iter(qvtok.open(path, on_error="skip").raw())
        assert len(list(it)) == 7
        assert [type(e) for e in it.errors] == [qvtok.JSONDecodeError, qvtok.StructureLostError]
