"""Deep nesting: qvtok.open reads records 1024 levels deep, or as deep as
its max_depth says, in every pass; a bracket one level deeper is a
JSONDecodeError at that bracket; bigjson keeps its 127 levels.

Python's own json and == recurse a level at a time, so expected values
are written out here without recursion."""

import io
import json
import threading

import pytest

import qvtok
from conftest import UNDER_ASAN
from qvtok import bigjson

DEFAULT = 1024


def nest(depth, kind):
    """A record `depth` levels deep, each level holding the next and a
    sibling, and the offset of each opening bracket. kind: "array",
    "object" or "mixed" (alternating, an object outermost)."""
    text, opens, closers = "", [], []
    for i in range(depth):
        obj = kind == "object" or (kind == "mixed" and i % 2 == 0)
        opens.append(len(text))
        text += '{"a": ' if obj else "["
        closers.append(', "b": 2}' if obj else ", 1]")
    return text + "7" + "".join(reversed(closers)), opens


def dumps(value):
    """json.dumps(value, separators=(", ", ": ")) without recursion."""
    out, stack = [], [value]
    while stack:
        v = stack.pop()
        if isinstance(v, str) and v.startswith("\0"):
            out.append(v[1:])  # punctuation queued below
        elif isinstance(v, list):
            stack.append("\0]")
            for i, e in reversed(list(enumerate(v))):
                stack.append(e)
                if i:
                    stack.append("\0, ")
            out.append("[")
        elif isinstance(v, dict):
            stack.append("\0}")
            for i, (k, e) in reversed(list(enumerate(v.items()))):
                stack.append(e)
                stack.append("\0" + json.dumps(k) + ": ")
                if i:
                    stack.append("\0, ")
            out.append("{")
        else:
            out.append(json.dumps(v))
    return "".join(out)


def on_a_small_stack(run):
    """Runs `run` on a thread of 256 KiB of stack, and waits for it."""
    old = threading.stack_size(256 << 10)
    try:
        t = threading.Thread(target=run)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)


def write_records(tmp_path, shape, records):
    """Writes the record texts as a file of the given shape: JSON Lines, one
    JSON document, or the elements of a JSON array. Returns the path and
    the offset of each record."""
    if shape == "jsonl":
        body, starts = "", []
        for r in records:
            starts.append(len(body))
            body += r + "\n"
    elif shape == "json-document":
        assert len(records) == 1
        body, starts = "  " + records[0] + "\n", [2]
    else:
        body, starts = "[", []
        for i, r in enumerate(records):
            body += ",\n " if i else "\n "
            starts.append(len(body))
            body += r
        body += "\n]\n"
    path = tmp_path / ("r.jsonl" if shape == "jsonl" else "r.json")
    path.write_bytes(body.encode())
    return path, starts


# A document whose outer value is an array has its elements for records:
# the elements of a JSON array are the "json-array" cases.
SHAPES_AND_KINDS = [
    (shape, kind)
    for shape in ["jsonl", "json-document", "json-array"]
    for kind in ["array", "object", "mixed"]
    if not (shape == "json-document" and kind == "array")
]


def records_of(shape, text):
    return [text] if shape == "json-document" else [text, "[1]", text]


PASSES = {
    "load": lambda r: r.load(),
    "iterate": lambda r: list(r),
    "head": lambda r: r.head(5),
}


@pytest.mark.parametrize("shape, kind", SHAPES_AND_KINDS)
@pytest.mark.parametrize("how", sorted(PASSES))
def test_records_as_deep_as_the_default_give_their_values(tmp_path, shape, kind, how):
    text, _ = nest(DEFAULT, kind)
    records = records_of(shape, text)
    path, _ = write_records(tmp_path, shape, records)
    values = PASSES[how](qvtok.open(path))
    assert [dumps(v) for v in values] == records


@pytest.mark.parametrize("shape, kind", SHAPES_AND_KINDS)
def test_deep_records_validate_compact_and_write_as_jsonl(tmp_path, shape, kind):
    text, _ = nest(DEFAULT, kind)
    records = records_of(shape, text)
    path, _ = write_records(tmp_path, shape, records)
    good, errors = qvtok.open(path).validate()
    assert (good, errors) == (len(records), [])
    compact = [t.replace(", ", ",").replace(": ", ":").encode() for t in records]
    assert list(qvtok.open(path).compact()) == compact
    out = tmp_path / "out.jsonl"
    assert qvtok.open(path).to_jsonl(out) == len(records)
    assert out.read_bytes().splitlines() == compact


@pytest.mark.parametrize("kind", ["array", "object"])
def test_the_schema_of_deep_records_follows_them_down(tmp_path, kind):
    text, _ = nest(DEFAULT, kind)
    path = tmp_path / "r.jsonl"
    path.write_text(text + "\n")
    schema = qvtok.open(path).schema()
    # The schema nests deeper than the records: read by qvtok (as records:
    # the one value of an outer object, the one element of an outer array),
    # and walked down without recursion.
    [v] = qvtok.open(io.BytesIO(schema.encode()), format="json", max_depth=10000).load()
    if kind == "array":
        # [(level 2 array | int)]: each level's elements are the next array
        # and 1, the last level's 7 and 1.
        for _ in range(DEFAULT - 1):
            assert isinstance(v, dict) and list(v) == ["__oneof__"]
            first, second = v["__oneof__"]
            assert first == "int" and isinstance(second, list) and len(second) == 1
            v = second[0]
    else:
        for _ in range(DEFAULT):
            assert isinstance(v, dict) and list(v) == ["a", "b"] and v["b"] == "int"
            v = v["a"]
    assert v == "int"


@pytest.mark.parametrize("shape, kind", SHAPES_AND_KINDS)
@pytest.mark.parametrize(
    "how",
    ["load", "iterate", "validate", "compact", "to_jsonl", "schema"],
)
def test_one_level_past_the_limit_is_an_error_at_its_bracket(tmp_path, shape, kind, how):
    text, opens = nest(DEFAULT + 1, kind)
    records = [text] if shape == "json-document" else ["[1]", text]
    path, starts = write_records(tmp_path, shape, records)
    at = starts[-1] + opens[-1]
    records_ = qvtok.open(path)
    if how == "validate":
        good, errors = records_.validate()
        assert good == len(records) - 1
        [error] = errors
    else:
        with pytest.raises(qvtok.JSONDecodeError) as caught:
            if how == "load":
                records_.load()
            elif how == "iterate":
                list(records_)
            elif how == "compact":
                list(records_.compact())
            elif how == "to_jsonl":
                records_.to_jsonl(tmp_path / "out.jsonl")
            else:
                records_.schema()
        error = caught.value
    assert isinstance(error, json.JSONDecodeError)
    assert error.msg == "recursion limit exceeded"
    assert error.pos == at
    data = path.read_bytes()
    assert error.lineno == data.count(b"\n", 0, at) + 1
    assert error.colno == at - (data.rfind(b"\n", 0, at) + 1) + 1


@pytest.mark.parametrize("max_depth", [1, 5, 200, 2000, 10000])
@pytest.mark.parametrize("kind", ["array", "mixed"])
def test_max_depth_raises_and_lowers_the_limit(tmp_path, max_depth, kind):
    fits, _ = nest(max_depth, kind)
    deeper, opens = nest(max_depth + 1, kind)
    path = tmp_path / "r.jsonl"
    path.write_text(fits + "\n" + deeper + "\n")
    records = qvtok.open(path, max_depth=max_depth, on_error="skip")
    it = iter(records)
    assert [dumps(v) for v in it] == [fits]
    [error] = it.errors
    assert error.msg == "recursion limit exceeded"
    assert error.pos == len(fits) + 1 + opens[-1]
    assert qvtok.open(path, max_depth=max_depth).validate().invalid == 1
    # The partitions of a file read as its Records does.
    parts = qvtok.open(path, max_depth=max_depth, on_error="skip").partitions(1)
    assert [dumps(v) for p in parts for v in p.load()] == [fits]


@pytest.mark.parametrize(
    "bad, error",
    [(0, ValueError), (-1, ValueError), (10001, ValueError), (2**70, ValueError),
     (True, TypeError), (1.5, TypeError), ("3", TypeError), (None, TypeError)],
)
def test_max_depth_must_be_a_depth(bad, error):
    with pytest.raises(error, match="max_depth"):
        qvtok.open(io.BytesIO(b"[1]"), max_depth=bad)


@pytest.mark.parametrize("depth", [DEFAULT, 10000])
@pytest.mark.parametrize("how", ["load", "iterate", "validate", "to_jsonl"])
def test_deep_records_read_on_a_thread_with_a_small_stack(tmp_path, how, depth):
    # Many records, so that a path is read ahead on a thread of qvtok's
    # own where a second core is free, and its parsed records are made
    # Python values on the caller's thread: neither walk may recurse.
    text, _ = nest(depth, "mixed")
    path = tmp_path / "r.jsonl"
    path.write_text((text + "\n") * (2**21 // len(text)))
    result = {}

    def run():
        # The values are kept, and freed on the main thread: CPython 3.13
        # frees nested containers by recursion down to its own C recursion
        # limit, deeper than a 256 KiB stack holds at 10000 levels.
        r = qvtok.open(path, max_depth=depth)
        if how == "load":
            result["values"] = r.load()
            result["n"] = len(result["values"])
        elif how == "iterate":
            result["values"] = list(r)
            result["n"] = sum(1 for record in result["values"] if dumps(record) == text)
        elif how == "validate":
            result["n"] = r.validate()[0]
        else:
            result["n"] = r.to_jsonl(tmp_path / "out.jsonl")

    on_a_small_stack(run)
    assert result["n"] == 2**21 // len(text)


@pytest.mark.parametrize("name", ["load", "iter_records", "count", "schema"])
@pytest.mark.parametrize("kind", ["array", "object"])
def test_bigjson_keeps_its_127_levels(tmp_path, name, kind):
    fits, _ = nest(127, kind)
    deeper, opens = nest(128, kind)
    ok = tmp_path / "ok.jsonl"
    ok.write_text(fits + "\n")
    deep = tmp_path / "deep.jsonl"
    deep.write_text(deeper + "\n")
    call = {"load": bigjson.load, "iter_records": lambda p: list(bigjson.iter_records(p)),
            "count": bigjson.count, "schema": bigjson.schema}[name]
    call(str(ok))
    if name == "count":
        return  # counting lines reads no values
    with pytest.raises(ValueError, match=f"recursion limit exceeded at line 1 column {opens[-1] + 1}$"):
        call(str(deep))


@pytest.mark.parametrize("max_depth", [5, 2000])
@pytest.mark.skipif(UNDER_ASAN, reason="Dask brings in numpy, which LeakSanitizer reports")
def test_dask_reads_records_as_deep_as_max_depth(tmp_path, max_depth):
    import qvtok.dask

    fits, _ = nest(max_depth, "mixed")
    deeper, _ = nest(max_depth + 1, "mixed")
    path = tmp_path / "r.jsonl"
    path.write_text((fits + "\n") * 3)
    bag = qvtok.dask.read_records(str(path), max_depth=max_depth, partition_size=len(fits))
    assert [dumps(v) for v in bag.compute(scheduler="sync")] == [fits] * 3
    path.write_text(fits + "\n" + deeper + "\n")
    bag = qvtok.dask.read_records(str(path), max_depth=max_depth, partition_size=len(fits))
    with pytest.raises(qvtok.JSONDecodeError, match="recursion limit exceeded"):
        bag.compute(scheduler="sync")


@pytest.mark.parametrize("depth", [DEFAULT, 10000])
def test_the_schema_of_deep_records_renders_on_a_thread_with_a_small_stack(tmp_path, depth):
    text, _ = nest(depth, "mixed")
    path = tmp_path / "r.jsonl"
    path.write_text(text + "\n")
    result = {}

    def run():
        result["schema"] = qvtok.open(path, max_depth=depth).schema()

    on_a_small_stack(run)
    # Each level is an object with "a" and "b", or an array of the next
    # level and an int: the schema goes down as far as the record.
    assert result["schema"].count('"a"') == (depth + 1) // 2
