"""qvtok.dask.read_records against one process reading the same files with
qvtok.open, on Dask's synchronous scheduler and on a cluster of two worker
processes."""

import gzip
import importlib.util
import json
import logging
import os
import subprocess
import sys
from pathlib import Path

import pytest
from conftest import UNDER_ASAN

if UNDER_ASAN:
    # Every compute imports distributed, and with it numpy, whose import
    # leaves objects that LeakSanitizer reports at each interpreter's exit,
    # through stacks cut too short for a suppression to tell them from ours.
    pytest.skip("Dask brings in numpy, which LeakSanitizer reports", allow_module_level=True)

import dask
from distributed import Client, LocalCluster

import qvtok
from qvtok.dask import read_records

SIZE = 512  # bytes: dozens of partitions to a file
TEXTS = ["line\nbreak", "a,b", "[x]", "{y}", '"q"', "]},[{", "δέλτα ✓", ""]


def rows(first, n):
    return [{"id": i, "text": TEXTS[i % len(TEXTS)] * (i % 3 + 1), "n": i / 4 if i % 5 else None, "tags": [i, [str(i)]]}
            for i in range(first, first + n)]


def jsonl(records):
    lines = [json.dumps(r, ensure_ascii=False) for r in records]
    lines.insert(len(lines) // 2, "")  # a blank line is no record
    return "\n".join(lines) + "\n"


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    d = tmp_path_factory.mktemp("records")
    (d / "one.jsonl").write_text(jsonl(rows(0, 300)), encoding="utf-8")
    (d / "array.json").write_text(json.dumps(rows(0, 300), indent=1), encoding="utf-8")
    doc = {"meta": {"note": "[not, the, array]"}, "data": {"items": rows(0, 300)}, "after": [1, 2]}
    (d / "doc.json").write_text(json.dumps(doc), encoding="utf-8")
    (d / "logs").mkdir()
    (d / "logs" / "part-0.jsonl").write_text(jsonl(rows(0, 100)), encoding="utf-8")
    (d / "logs" / "part-1.json").write_text(json.dumps(rows(100, 100), indent=2), encoding="utf-8")
    (d / "logs" / "part-2.jsonl").write_text(jsonl(rows(200, 100)), encoding="utf-8")
    (d / "one.jsonl.gz").write_bytes(gzip.compress((d / "one.jsonl").read_bytes()))
    broken = rows(0, 300)
    (d / "broken.jsonl").write_text(jsonl(broken).replace('{"id": 200,', '{"id": 200 "x",'), encoding="utf-8")
    (d / "broken.json").write_text(json.dumps(broken, indent=1).replace('"id": 200,', '"id": 200 "x",'),
                                   encoding="utf-8")
    return d


@pytest.fixture(scope="module")
def cluster():
    # The cluster leaves settings for its workers in this process's
    # environment (MALLOC_TRIM_THRESHOLD_ among them), which would reach the
    # subprocesses of later tests and change how their memory behaves.
    saved = dict(os.environ)
    try:
        with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                          silence_logs=logging.ERROR) as local, Client(local, set_as_default=False) as client:
            yield client
    finally:
        os.environ.clear()
        os.environ.update(saved)


@pytest.fixture(params=["sync", "distributed"])
def scheduler(request):
    """Runs the test with every compute() on one scheduler."""
    chosen = "sync" if request.param == "sync" else request.getfixturevalue("cluster")
    with dask.config.set(scheduler=chosen):
        yield request.param


# (paths relative to the files fixture, at, the files they name)
CASES = {
    "jsonl": ("one.jsonl", None, ["one.jsonl"]),
    "array": ("array.json", None, ["array.json"]),
    "at": ("doc.json", "/data/items", ["doc.json"]),
    "glob": ("logs/part-*.json*", None, ["logs/part-0.jsonl", "logs/part-1.json", "logs/part-2.jsonl"]),
    "list": (["logs/part-2.jsonl", "array.json"], None, ["logs/part-2.jsonl", "array.json"]),
    "gzip": ("one.jsonl.gz", None, ["one.jsonl.gz"]),
}


def case(files, name):
    paths, at, names = CASES[name]
    paths = [str(files / p) for p in paths] if isinstance(paths, list) else str(files / paths)
    want = [r for n in names for r in qvtok.open(str(files / n), at=at).load()]
    plans = [len(qvtok.open(str(files / n), at=at).partitions(SIZE)) for n in names]
    return read_records(paths, at=at, partition_size=SIZE), want, plans


@pytest.mark.parametrize("name", list(CASES))
def test_bag_holds_the_records_of_one_reader_in_order(files, scheduler, name):
    bag, want, plans = case(files, name)
    assert len(want) == (400 if name == "list" else 300)
    assert bag.npartitions == sum(plans)
    if name == "gzip":
        assert bag.npartitions == 1
    else:
        assert bag.npartitions > 3 * len(plans)
    assert bag.compute() == want
    assert bag.count().compute() == len(want)
    assert bag.pluck("text").compute() == [r["text"] for r in want]
    assert bag.filter(lambda r: "\n" in r["text"]).pluck("id").compute() == [r["id"] for r in want if "\n" in r["text"]]
    assert bag.map(lambda r: r["tags"][0]).sum().compute() == sum(r["id"] for r in want)
    # Kept partitions are lists: read again they give the same records.
    kept = bag.persist()
    assert kept.compute() == want
    assert kept.count().compute() == len(want)


def test_to_dataframe(files, scheduler):
    bag, want, _ = case(files, "glob")
    frame = bag.to_dataframe().compute()
    assert frame["id"].tolist() == [r["id"] for r in want]
    assert frame["text"].tolist() == [r["text"] for r in want]
    assert frame["tags"].tolist() == [r["tags"] for r in want]


def whole_file_error(path):
    with pytest.raises(qvtok.JSONDecodeError) as whole:
        qvtok.open(path).load()
    return whole.value


@pytest.mark.parametrize("name", ["broken.jsonl", "broken.json"])
def test_broken_record_raises_from_compute(files, scheduler, name):
    want = whole_file_error(str(files / name))
    bag = read_records(str(files / name), partition_size=SIZE)
    for result in (bag, bag.count(), bag.pluck("id")):
        with pytest.raises(qvtok.JSONDecodeError) as got:
            result.compute()
        assert (got.value.msg, got.value.pos) == (want.msg, want.pos)


def test_take_reads_no_further_than_it_needs(files, scheduler):
    # Records stream to a fused step: taking two from a partition whose
    # 201st record is broken never reaches it.
    bag = read_records(str(files / "broken.jsonl"), partition_size="1MiB")
    assert bag.npartitions == 1
    assert list(bag.take(2)) == rows(0, 2)


def test_broken_record_in_an_array_keeps_its_place(files, scheduler):
    want = whole_file_error(str(files / "broken.json"))
    with pytest.raises(qvtok.JSONDecodeError) as got:
        read_records(str(files / "broken.json"), partition_size=SIZE).compute()
    assert (got.value.record, got.value.lineno, got.value.colno) == (want.record, want.lineno, want.colno)


@pytest.mark.parametrize("pattern", ["nothing-*.jsonl", "logs/part-[7-9].jsonl", "missing.jsonl"])
def test_missing_files_raise_before_compute(files, pattern):
    with pytest.raises(FileNotFoundError, match="nothing|part-|missing") as err:
        read_records([str(files / "one.jsonl"), str(files / pattern)])
    assert err.value.filename == str(files / pattern)


@pytest.fixture(scope="module")
def odd_names(tmp_path_factory):
    """Files whose names hold glob characters, beside files such names match
    as patterns; each record names its file."""
    d = tmp_path_factory.mktemp("names")
    for name in ["a[1]", "a1", "b[2]", "c*"]:
        (d / f"{name}.jsonl").write_text(json.dumps({"file": name}) + "\n")
    return d


@pytest.mark.parametrize(
    "given, glob, files_read",
    [
        ("a[1].jsonl", None, ["a[1]"]),  # an existing file is that file...
        (Path("a[1].jsonl"), None, ["a[1]"]),
        ("b[2].jsonl", None, ["b[2]"]),  # ...where no file matches it as a pattern
        ("c*.jsonl", None, ["c*"]),
        ("a[12].jsonl", None, ["a1"]),  # names no file: a pattern
        ("a*.jsonl", None, ["a1", "a[1]"]),
        ("a[1].jsonl", True, ["a1"]),
        (Path("a*.jsonl"), True, ["a1", "a[1]"]),
        ("a[1].jsonl", False, ["a[1]"]),
        ([Path("c*.jsonl"), "a?.jsonl", "b[2].jsonl"], None, ["c*", "a1", "b[2]"]),
    ],
)
def test_a_path_is_a_pattern_only_where_it_names_no_file(odd_names, monkeypatch, given, glob, files_read):
    monkeypatch.chdir(odd_names)
    bag = read_records(given, glob=glob)
    assert bag.compute(scheduler="sync") == [{"file": name} for name in files_read]


@pytest.mark.parametrize("given, glob", [(Path("a*.jsonl"), None), ("a*.jsonl", False), ("x[1].jsonl", None),
                                         ("a?", True)])
def test_a_name_that_is_not_a_pattern_must_name_a_file(odd_names, monkeypatch, given, glob):
    monkeypatch.chdir(odd_names)
    with pytest.raises(FileNotFoundError):
        read_records(given, glob=glob)


def test_a_file_named_like_a_pattern_is_read_by_the_workers(odd_names, cluster):
    bag = read_records([str(odd_names / "a[1].jsonl"), odd_names / "c*.jsonl"])
    assert bag.compute(scheduler=cluster) == [{"file": "a[1]"}, {"file": "c*"}]


def test_paths_are_made_absolute_for_workers_elsewhere(files, monkeypatch):
    monkeypatch.chdir(files)
    bag = read_records("logs/*.jsonl", partition_size=SIZE)
    monkeypatch.chdir(files.parent)
    want = qvtok.open(str(files / "logs/part-0.jsonl")).load() + qvtok.open(str(files / "logs/part-2.jsonl")).load()
    assert bag.compute(scheduler="sync") == want


def test_import_qvtok_leaves_dask_alone():
    code = "import sys, qvtok; print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == "[]"


def test_usage_file_runs(files):
    spec = importlib.util.spec_from_file_location("dask_usage", Path(__file__).parent / "typecheck" / "dask_usage.py")
    usage = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(usage)
    usage.main(str(files / "one.jsonl"), str(files / "array.json"))


def test_import_without_the_extra_says_how_to_install_it():
    # Dask and distributed hidden from the import system, as where the
    # extra was never installed.
    code = """
import sys

class Missing:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in ("dask", "distributed"):
            raise ModuleNotFoundError(f"No module named {name!r}", name=name)

sys.meta_path.insert(0, Missing())
import qvtok
try:
    import qvtok.dask
except ImportError as e:
    print(e.name)
    print(e)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    name, message = done.stdout.splitlines()
    assert name == "dask"
    assert 'pip install "qvtok[dask]"' in message


def nullable_rows(n):
    # Past the first partitions: a null, a missing field, a field that
    # appears late; bools and floats with nulls; an object column.
    return [
        {"id": i, "count": None if i % 50 == 49 else i, "flag": None if i % 60 == 59 else i % 2 == 0,
         "score": None if i % 40 == 39 else i / 2, "name": None if i % 70 == 69 else f"r{i}", "tags": {"k": i}}
        | ({} if i % 30 == 29 else {"size": i * 3})
        | ({"late": i} if i == 250 else {})
        for i in range(n)
    ]


@pytest.mark.parametrize("fmt", ["jsonl", "json"])
def test_to_dataframe_reads_nullable_columns_by_their_schema(tmp_path, scheduler, fmt):
    import pandas as pd

    rows = nullable_rows(300)
    path = tmp_path / f"rows.{fmt}"
    path.write_text("".join(json.dumps(r) + "\n" for r in rows) if fmt == "jsonl" else json.dumps(rows))
    frame = read_records(str(path), partition_size=SIZE).to_dataframe().compute()
    assert list(frame.columns) == ["id", "count", "flag", "score", "name", "tags", "size", "late"]
    assert str(frame["count"].dtype) == str(frame["size"].dtype) == str(frame["late"].dtype) == "Int64"
    assert str(frame["flag"].dtype) == "boolean"
    assert frame["score"].dtype == "float64"
    want = pd.DataFrame(rows, columns=list(frame.columns))
    for column in frame.columns:
        got = [None if v is pd.NA or (isinstance(v, float) and v != v) else v for v in frame[column].tolist()]
        expected = [None if v is None or (isinstance(v, float) and v != v) else v for v in want[column].tolist()]
        assert got == expected, column


def test_to_dataframe_takes_the_callers_meta_and_columns(tmp_path, scheduler):
    import pandas as pd

    rows = nullable_rows(100)
    path = tmp_path / "rows.jsonl"
    path.write_text("".join(json.dumps(r) + "\n" for r in rows))
    bag = read_records(str(path), partition_size=SIZE)
    given = pd.DataFrame({"id": pd.Series([], dtype="float64"), "name": pd.Series([], dtype=object)})
    frame = bag.to_dataframe(meta=given).compute()
    assert list(frame.columns) == ["id", "name"] and frame["id"].dtype == "float64"
    assert frame["id"].tolist() == [float(r["id"]) for r in rows]
    picked = bag.to_dataframe(columns=["count", "id"]).compute()
    assert list(picked.columns) == ["count", "id"] and str(picked["count"].dtype) == "Int64"


@pytest.mark.parametrize("content", ["[1, 2, 3]", "[[1, 2], [3, 4]]", "[\"a\", null]"])
def test_to_dataframe_of_records_that_are_not_all_objects_is_dasks(tmp_path, content):
    import dask.bag

    path = tmp_path / "values.json"
    path.write_text(content)
    got = read_records(str(path)).to_dataframe().compute(scheduler="sync")
    want = dask.bag.from_sequence(json.loads(content), npartitions=1).to_dataframe().compute(scheduler="sync")
    assert got.equals(want)
