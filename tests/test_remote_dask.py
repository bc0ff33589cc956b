"""qvtok.dask.read_records on URLs and their glob patterns, against one
process reading the same files with qvtok.open."""

import gzip
import json
import logging
import os
import uuid

import pytest
from conftest import UNDER_ASAN

if UNDER_ASAN:
    pytest.skip("Dask brings in numpy, which LeakSanitizer reports", allow_module_level=True)

import qvtok
from remote_servers import http, s3  # noqa: F401 (fixtures)

fsspec = pytest.importorskip("fsspec")
dask = pytest.importorskip("dask")
from qvtok.dask import read_records  # noqa: E402


def rows(first, n):
    return [{"id": i, "user": f"u{i % 7}", "score": i / 2, "tags": ["a"] * (i % 3)} for i in range(first, first + n)]


def jsonl(records):
    return b"".join(json.dumps(r).encode() + b"\n" for r in records)


# Mixed files under dated folders, and one that the pattern leaves out.
MIXED = {
    "2026-01/a.jsonl": jsonl(rows(0, 40)),
    "2026-01/b.json": json.dumps(rows(40, 30)).encode(),
    "2026-02/c.jsonl.gz": gzip.compress(jsonl(rows(70, 50))),
    "2026-02/d.json.gz": gzip.compress(json.dumps(rows(120, 20)).encode()),
    "2025-12/old.jsonl": jsonl(rows(900, 5)),
}
EXPECTED = rows(0, 140)


@pytest.fixture
def memory():
    fs = fsspec.filesystem("memory")
    folder = f"/t{uuid.uuid4().hex}"
    for name, data in MIXED.items():
        fs.pipe(f"{folder}/{name}", data)
    yield f"memory:/{folder}"
    fs.rm(folder, recursive=True)


@pytest.mark.parametrize("pattern", ["2026-*/*", "2026-0[12]/*.*", "**/[abcd].*"])
def test_a_memory_pattern_reads_its_matches_in_order(pattern, memory, tmp_path):
    bag = read_records(f"{memory}/{pattern}", partition_size=300)
    assert bag.compute(scheduler="sync") == EXPECTED
    # Cut as the same files on disk are: JSON Lines at line starts, an
    # array after the elements at its cuts.
    for name, data in MIXED.items():
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(data)
    local = read_records([tmp_path / name for name in sorted(MIXED) if name.startswith("2026")], partition_size=300)
    assert len(qvtok.open(tmp_path / "2026-01/b.json").partitions(300)) > 1
    assert bag.npartitions == local.npartitions


def test_urls_and_local_paths_mix(memory, tmp_path):
    (tmp_path / "local.jsonl").write_bytes(jsonl(rows(500, 10)))
    bag = read_records([f"{memory}/2026-02/*", tmp_path / "local.jsonl", f"{memory}/2026-01/a.jsonl"])
    assert bag.compute(scheduler="sync") == rows(70, 70) + rows(500, 10) + rows(0, 40)


def test_a_pattern_that_matches_nothing_is_named(memory):
    with pytest.raises(FileNotFoundError) as caught:
        read_records(f"{memory}/2027-*/*.jsonl")
    assert caught.value.filename == f"{memory}/2027-*/*.jsonl"


def test_a_url_that_names_a_file_is_that_file_whatever_it_holds(memory):
    fs = fsspec.filesystem("memory")
    fs.pipe(f"{memory.removeprefix('memory:/')}/odd[1].jsonl", jsonl(rows(7, 3)))
    assert read_records(f"{memory}/odd[1].jsonl").compute(scheduler="sync") == rows(7, 3)
    assert read_records(f"{memory}/2026-01/a.jsonl", glob=False).count().compute(scheduler="sync") == 40


def test_to_dataframe_reads_the_schema_of_urls(memory):
    frame = read_records(f"{memory}/2026-*/*").to_dataframe().compute(scheduler="sync")
    assert list(frame["id"]) == list(range(140)) and str(frame["id"].dtype) == "Int64"


def test_planning_reads_a_little_of_each_file(http):
    server, base = http
    files = [f"/plan/{i}.jsonl" for i in range(10)]
    data = jsonl(rows(0, 30000))  # about 2 MiB each
    for path in files:
        server.files[path] = data
    before = server.served
    bag = read_records([base + path for path in files])
    planned = server.served - before
    assert bag.npartitions == len(files)
    assert planned < len(files) * len(data) / 4
    assert bag.count().compute(scheduler="sync") == 30000 * len(files)


@pytest.fixture(scope="module")
def cluster():
    distributed = pytest.importorskip("distributed")
    # The cluster leaves settings for its workers in this process's
    # environment, which would reach the subprocesses of later tests.
    saved = dict(os.environ)
    try:
        with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                                      silence_logs=logging.ERROR) as local, \
                distributed.Client(local, set_as_default=False) as client:
            yield client
    finally:
        os.environ.clear()
        os.environ.update(saved)


def test_a_cluster_reads_an_s3_bucket_as_one_process_does(s3, cluster):
    fs, options, bucket = s3
    for name, data in MIXED.items():
        fs.pipe(f"{bucket}/mixed/{name}", data)
    bag = read_records(f"s3://{bucket}/mixed/2026-*/*", storage_options=options, partition_size=500)
    assert bag.npartitions > 4  # JSON Lines read by ranges on the workers
    with dask.config.set(scheduler=cluster):
        got = bag.compute()
        ids = bag.pluck("id").filter(lambda i: i % 2 == 0).compute()
    one_process = [r for name in sorted(fs.glob(f"{bucket}/mixed/2026-*/*"))
                   for r in qvtok.open(f"s3://{name}", storage_options=options)]
    assert got == one_process == EXPECTED
    assert ids == list(range(0, 140, 2))
