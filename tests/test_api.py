"""The conventions of qvtok.open's Records as a Python object: defaults and
keywords, its repr, `with` blocks, the package version, and the names that
bigjson's objects show."""

import gzip
import importlib.util
import io
import json
import pathlib
import tomllib

import pytest

import qvtok
from conftest import open_fds
from qvtok import bigjson

ROOT = pathlib.Path(__file__).resolve().parent.parent

# Record 150 is the first with a null: a sample of 100 does not see it.
RECORDS = [{"id": i, "n": None if i == 150 else i} for i in range(200)]
LINES = "".join(json.dumps(r) + "\n" for r in RECORDS)


@pytest.fixture
def jsonl(write):
    return write("r.jsonl", LINES)


# --- head and schema ---------------------------------------------------------

@pytest.mark.parametrize(
    "call, count",
    [
        (lambda r: r.head(), 10),
        (lambda r: r.head(n=3), 3),
        (lambda r: r.head(0), 0),
        (lambda r: r.head(n=500), 200),
        # A count no file reaches asks for every record.
        (lambda r: r.head(2**70), 200),
    ],
)
@pytest.mark.parametrize("whole", [lambda path: qvtok.open(path), lambda path: qvtok.open(path).partitions(1 << 30)[0]],
                         ids=["records", "partition"])
def test_head_counts_from_the_first_record(jsonl, call, count, whole):
    assert call(whole(jsonl)) == RECORDS[:count]


@pytest.mark.parametrize(
    "kwargs, n_type",
    [
        ({}, "int"),
        ({"sample": 100}, "int"),
        ({"sample": 151}, "int|null"),
        ({"sample": None}, "int|null"),
        ({"sample": "all"}, "int|null"),
        ({"sample": 2**70}, "int|null"),
    ],
)
def test_schema_samples_a_count_or_all_records(jsonl, kwargs, n_type):
    assert json.loads(qvtok.open(jsonl).schema(**kwargs)) == {"id": "int", "n": n_type}


def test_schema_of_no_record_is_unknown_as_bigjson_says(jsonl):
    assert qvtok.open(jsonl).schema(0) == bigjson.schema(jsonl, sample=0) == '"unknown"'


@pytest.mark.parametrize(
    "sample, error, words",
    [
        (-1, ValueError, "0 or more"),
        (-(2**70), ValueError, "0 or more"),
        ("every", ValueError, '"all"'),
        ("ALL", ValueError, '"all"'),
        (1.5, TypeError, "integer"),
    ],
)
def test_schema_refuses_a_sample_that_is_no_count(jsonl, sample, error, words):
    with pytest.raises(error, match=words):
        qvtok.open(jsonl).schema(sample=sample)


# --- repr --------------------------------------------------------------------

@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda d: qvtok.open(str(d / "r.jsonl")), "<qvtok.Records {path!r} format='jsonl'>"),
        (lambda d: qvtok.open(d / "r.jsonl"), "<qvtok.Records {path!r} format='jsonl'>"),
        (lambda d: qvtok.open(str(d / "doc.json"), at="/items"), "<qvtok.Records {doc!r} at='/items' format='json'>"),
        (lambda d: qvtok.open(str(d / "r.jsonl.gz")), "<qvtok.Records {gz!r} format='jsonl' compression='gzip'>"),
        (lambda d: qvtok.open(io.BytesIO(b"[1, 2]")), "<qvtok.Records <_io.BytesIO object at 0x"),
    ],
)
def test_repr_names_the_source_and_what_open_settled(tmp_path, make, expected):
    (tmp_path / "r.jsonl").write_text(LINES)
    (tmp_path / "doc.json").write_text('{"items": [1, 2]}')
    (tmp_path / "r.jsonl.gz").write_bytes(gzip.compress(LINES.encode()))
    names = {"path": str(tmp_path / "r.jsonl"), "doc": str(tmp_path / "doc.json"), "gz": str(tmp_path / "r.jsonl.gz")}
    assert repr(make(tmp_path)).startswith(expected.format(**names))


def test_repr_of_a_file_object_once_read_and_of_standard_input():
    records = qvtok.open(io.BytesIO(b"[1, 2]"))
    assert list(records) == [1, 2]
    assert repr(records) == "<qvtok.Records <file object, read> format='json'>"
    # Format and codec given: nothing is read from standard input.
    assert repr(qvtok.open("-", format="jsonl", compression=None)) == "<qvtok.Records <stdin> format='jsonl'>"


# --- with and close ------------------------------------------------------------

def test_with_lets_go_of_the_file_open_opened_and_the_path_reads_on(jsonl, no_fd_leak):
    before = open_fds()
    with qvtok.open(jsonl) as records:
        # open() keeps the file it read the start of for the first pass.
        assert open_fds() - before
    assert not open_fds() - before
    assert records.count() == 200
    assert records.head(1) == RECORDS[:1]


@pytest.mark.parametrize("make", [lambda p: open(p, "rb"), lambda p: io.BytesIO(pathlib.Path(p).read_bytes())])
def test_with_leaves_the_callers_file_object_open(jsonl, make):
    f = make(jsonl)
    with f, qvtok.open(f) as records:
        assert records.head(2) == RECORDS[:2]
        assert not f.closed
    assert f.closed  # by its own with, not qvtok's


@pytest.mark.parametrize("make", [lambda p: open(p, "rb"), lambda p: io.BytesIO(pathlib.Path(p).read_bytes())])
def test_a_file_object_closed_before_any_pass_is_not_read(jsonl, make):
    with make(jsonl) as f:
        with qvtok.open(f) as records:
            pass
        assert not f.closed
        with pytest.raises(ValueError, match="only once"):
            records.load()


def test_an_exception_in_the_with_block_goes_on(jsonl):
    with pytest.raises(KeyError):
        with qvtok.open(jsonl) as records:
            raise KeyError("mine")
    assert records.count() == 200


def test_close_twice_is_no_error(jsonl):
    records = qvtok.open(jsonl)
    records.close()
    records.close()
    assert records.load() == RECORDS


# --- the package --------------------------------------------------------------

def test_version_is_the_one_the_project_declares():
    with open(ROOT / "pyproject.toml", "rb") as f:
        declared = tomllib.load(f)["project"]["version"]
    assert qvtok.__version__ == declared
    with pytest.raises(AttributeError, match="no_such_name"):
        qvtok.no_such_name  # noqa: B018


# --- bigjson's names -------------------------------------------------------------

def test_bigjson_shows_the_name_it_is_imported_by(jsonl):
    assert repr(bigjson) == "<module 'qvtok.bigjson'>"
    assert repr(bigjson.iter_records(jsonl)).startswith("<qvtok.bigjson.RecordIterator object at 0x")
    spec = importlib.util.find_spec("qvtok.bigjson")
    assert spec is not None and spec.name == "qvtok.bigjson"
    # Its own names stay as they were.
    assert bigjson.__name__ == "bigjson" and bigjson.RecordIterator.__module__ == "builtins"
