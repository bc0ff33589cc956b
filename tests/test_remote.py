"""qvtok.open on URLs: fsspec's memory file system, an HTTP server that
honours Range requests and an S3 server (moto's), both on the loopback
interface and started here, against the same bytes read from a local file."""

import bz2
import dataclasses
import gzip
import json
import lzma
import pickle
import subprocess
import sys
import uuid
from pathlib import Path

import pytest

import qvtok
from conftest import network_stores
from remote_servers import free_port, http, s3  # noqa: F401 (fixtures)

fsspec = pytest.importorskip("fsspec")

ROWS = [{"id": i, "name": f"n{i}", "tags": list(range(i % 4)), "x": i / 8} for i in range(300)]
JSONL = b"".join(json.dumps(r).encode() + b"\n" for r in ROWS)
ARRAY = json.dumps(ROWS, indent=1).encode()
DOC = json.dumps({"meta": {"n": len(ROWS)}, "data": {"items": ROWS}}).encode()

# name, bytes, at
FILES = {
    "plain-jsonl": ("rows.jsonl", JSONL, None),
    "array": ("rows.json", ARRAY, None),
    "pointer": ("doc.json", DOC, "/data/items"),
    "gzip": ("rows.jsonl.gz", gzip.compress(JSONL), None),
    "bzip2-no-extension": ("rows", bz2.compress(ARRAY), None),
    "xz": ("rows.json.xz", lzma.compress(ARRAY), None),
}


def same_as_local(url, local, at=None, **options):
    """Every pass over the URL gives what the local file gives, all on one
    Records: a URL is read anew by each pass, as a path is."""
    remote = qvtok.open(url, at=at, **options)
    here = qvtok.open(local, at=at)
    assert remote.count() == here.count()
    assert remote.load() == here.load()
    assert remote.head(3) == here.head(3)
    assert list(remote.raw()) == list(here.raw())
    assert remote.schema(sample=None) == here.schema(sample=None)
    assert remote.validate() == here.validate()
    return remote


@pytest.fixture
def memory():
    """A folder of its own in fsspec's memory file system: (fs, url prefix)."""
    fs = fsspec.filesystem("memory")
    folder = f"/t{uuid.uuid4().hex}"
    yield fs, f"memory:/{folder}"
    fs.rm(folder, recursive=True)


@pytest.mark.parametrize("case", FILES)
def test_a_memory_url_reads_as_the_file(case, memory, tmp_path):
    fs, prefix = memory
    name, data, at = FILES[case]
    fs.pipe(f"{prefix.removeprefix('memory:/')}/{name}", data)
    (tmp_path / name).write_bytes(data)
    url = f"{prefix}/{name}"
    records = same_as_local(url, tmp_path / name, at=at)
    assert repr(records).startswith(f"<qvtok.Records {url!r}")
    it = iter(records)
    assert list(it) == qvtok.open(tmp_path / name, at=at).load()
    assert it.total_bytes == len(data) == it.bytes_read


def test_progress_runs_to_the_size_of_a_url(memory):
    fs, prefix = memory
    fs.pipe(f"{prefix.removeprefix('memory:/')}/big.jsonl", JSONL * 20)
    seen = []
    assert qvtok.open(f"{prefix}/big.jsonl").count(progress=lambda done, total: seen.append((done, total))) == 6000
    assert seen[0] == (0, len(JSONL) * 20) and seen[-1] == (len(JSONL) * 20,) * 2


def described(part):
    """What a partition reads and where its errors are, as a user sees it."""
    good, errors = part.validate()
    return ((part.offset, part.length, part.last, part.first_record, part.line, part.column), good, part.load(),
            [(e.msg, e.pos, e.lineno, e.colno, e.record) for e in errors])


BROKEN = JSONL.replace(b'{"id": 150,', b'{"id": 150 ,,', 1)
BROKEN_ARRAY = ARRAY.replace(b'"id": 150,', b'"id": 150 ,,', 1)


@pytest.mark.parametrize("size", [700, 4096, 50000, 1 << 30])
@pytest.mark.parametrize(("name", "data"), [("a.jsonl", BROKEN), ("a.json", BROKEN_ARRAY)])
def test_a_url_is_cut_as_the_file_is(name, data, size, memory, tmp_path):
    fs, prefix = memory
    fs.pipe(f"{prefix.removeprefix('memory:/')}/{name}", data)
    (tmp_path / name).write_bytes(data)
    remote = qvtok.open(f"{prefix}/{name}", on_error="skip").partitions(size)
    here = qvtok.open(tmp_path / name, on_error="skip").partitions(size)
    assert (len(here) > 3) == (size < 50000)
    assert [described(pickle.loads(pickle.dumps(p))) for p in remote] == [described(p) for p in here]
    assert sum(p.validate().invalid for p in remote) == 1
    assert sum(len(p.load()) for p in remote) == len(ROWS) - 1


@pytest.mark.parametrize(("name", "data", "at"), [
    ("short.json", ARRAY[:-1], None),            # never closed: read whole, where the error is told
    ("doc.json", DOC, "/data/items"),            # at a pointer
    ("rows.json.gz", gzip.compress(ARRAY), None),  # a compressed stream is entered only at its start
])
def test_a_url_that_cannot_be_cut_is_one_partition(name, data, at, memory, tmp_path):
    fs, prefix = memory
    fs.pipe(f"{prefix.removeprefix('memory:/')}/{name}", data)
    (tmp_path / name).write_bytes(data)
    parts = qvtok.open(f"{prefix}/{name}", at=at, on_error="skip").partitions(1000)
    assert len(parts) == 1
    assert described(parts[0])[1:] == described(qvtok.open(tmp_path / name, at=at, on_error="skip").partitions("1GiB")[0])[1:]


@pytest.mark.parametrize(("name", "data"), [("broken.jsonl", BROKEN), ("broken.json", BROKEN_ARRAY)])
def test_a_file_over_http_is_read_by_ranges(name, data, http, tmp_path):
    pytest.importorskip("aiohttp")
    server, base = http
    server.files[f"/ok/{name}"] = data
    (tmp_path / name).write_bytes(data)
    remote = qvtok.open(f"{base}/ok/{name}", on_error="skip").partitions(3000)
    here = qvtok.open(tmp_path / name, on_error="skip").partitions(3000)
    assert len(remote) > 3
    assert [described(p) for p in remote] == [described(p) for p in here]


def test_json_lines_where_the_server_takes_no_range_are_one_partition(http):
    pytest.importorskip("aiohttp")
    server, base = http
    server.files["/norange/small.jsonl"] = JSONL
    parts = qvtok.open(f"{base}/norange/small.jsonl").partitions(2000)
    assert len(parts) == 1 and parts[0].load() == ROWS


class SecretMemory(pytest.importorskip("fsspec.implementations.memory").MemoryFileSystem):
    """The memory file system behind a store that wants a secret."""

    protocol = "secretmemory"

    def __init__(self, secret=None, **kwargs):
        if secret != "s3cr3t":
            raise PermissionError("a secret is needed")
        super().__init__(**kwargs)

    @classmethod
    def _strip_protocol(cls, path):
        return super()._strip_protocol(path.removeprefix("secretmemory://"))


def test_a_url_partition_pickles_and_reads_the_url(memory):
    fs, prefix = memory
    fs.pipe(f"{prefix.removeprefix('memory:/')}/a.jsonl", JSONL)
    options = {"skip_instance_cache": False, "secret": "s3cr3t"}
    fsspec.register_implementation("secretmemory", SecretMemory, clobber=True)
    url = f"secret{prefix}/a.jsonl"
    parts = qvtok.open(url, storage_options=options).partitions("1GiB")
    assert len(parts) == 1
    part = pickle.loads(pickle.dumps(parts[0]))
    assert part.path == url and part.storage_options == options
    assert "s3cr3t" not in repr(part)
    with pytest.raises(PermissionError) as caught:
        dataclasses.replace(part, storage_options=None).load()
    assert caught.value.filename == url
    assert part.load() == ROWS and part.count() == len(ROWS)
    assert hash(part) == hash(parts[0])


def test_a_url_is_copied_and_checked_as_a_file_is(memory, tmp_path):
    fs, prefix = memory
    fs.pipe(f"{prefix.removeprefix('memory:/')}/a.json.gz", gzip.compress(ARRAY))
    records = qvtok.open(f"{prefix}/a.json.gz")
    assert records.to_jsonl(tmp_path / "out.jsonl") == len(ROWS)
    assert qvtok.open(tmp_path / "out.jsonl").load() == ROWS
    assert records.validate(workers=2) == (len(ROWS), [])


def test_to_jsonl_refuses_a_url_for_a_destination(memory, tmp_path, monkeypatch):
    fs, prefix = memory
    fs.pipe(f"{prefix.removeprefix('memory:/')}/a.jsonl", JSONL)
    monkeypatch.chdir(tmp_path)
    (tmp_path / "memory:").mkdir()  # where the URL's letters would land as a path
    with pytest.raises(ValueError, match="fsspec.open"):
        qvtok.open(f"{prefix}/a.jsonl").to_jsonl(f"{prefix}/out.jsonl")
    assert not fs.exists(f"{prefix}/out.jsonl") and list(tmp_path.rglob("*")) == [tmp_path / "memory:"]
    with fsspec.open(f"{prefix}/out.jsonl", "wb") as out:
        qvtok.open(f"{prefix}/a.jsonl").to_jsonl(out)
    assert qvtok.open(f"{prefix}/out.jsonl").load() == ROWS


@pytest.mark.parametrize("how", ["pathlib", "dot-slash"])
def test_a_local_path_that_looks_like_a_url_is_read_as_a_path(how, tmp_path, monkeypatch):
    (tmp_path / "memory:" / "d").mkdir(parents=True)
    (tmp_path / "memory:" / "d" / "a.jsonl").write_bytes(JSONL)
    monkeypatch.chdir(tmp_path)
    source = Path("memory://d/a.jsonl") if how == "pathlib" else "./memory://d/a.jsonl"
    assert qvtok.open(source).count() == len(ROWS)
    # As a str it is a URL, which names nothing in the memory file system.
    with pytest.raises(FileNotFoundError) as caught:
        qvtok.open("memory://d/a.jsonl")
    assert caught.value.filename == "memory://d/a.jsonl"


@pytest.mark.parametrize(("text", "url"), [
    ("s3://b/k.jsonl", True), ("git+ssh://h/r", True), ("a1+.-://x", True),
    ("C://data/a.json", False),  # a Windows drive, not a scheme
    ("1a://x", False), ("s3:/x", False), ("./s3://x", False), (" s3://x", False), ("\u00e9t\u00e9://x", False),
    (Path("s3://b/k"), False), (b"s3://b/k", False),
])
def test_the_command_line_and_dask_take_for_a_url_what_open_does(text, url):
    from qvtok._remote import is_url
    assert is_url(text) is url


def test_a_local_path_imports_no_fsspec():
    code = ("import sys, qvtok; qvtok.open('examples/events.jsonl').count(); "
            "print(sorted(m for m in sys.modules if m.startswith(('fsspec', 'qvtok._remote'))))")
    out = subprocess.run([sys.executable, "-c", code], cwd=Path(__file__).parents[1], capture_output=True,
                         text=True, check=True).stdout
    assert out.strip() == "[]"


def test_a_url_without_fsspec_says_what_to_install(monkeypatch):
    monkeypatch.setitem(sys.modules, "fsspec", None)
    monkeypatch.setitem(sys.modules, "fsspec.core", None)
    with pytest.raises(ImportError, match=r'pip install "qvtok\[remote\]"'):
        qvtok.open("memory://anything.jsonl")


@pytest.mark.parametrize(("source", "options", "error"), [
    ("examples/events.jsonl", {"anon": True}, ValueError),
    ("memory://x.jsonl", ["anon"], TypeError),
])
def test_storage_options_are_checked(source, options, error):
    with pytest.raises(error, match="storage_options"):
        qvtok.open(source, storage_options=options)


def test_an_unknown_protocol_is_a_value_error():
    with pytest.raises(ValueError, match="nosuchproto"):
        qvtok.open("nosuchproto://x/y.jsonl")


# --- HTTP -----------------------------------------------------------------


@pytest.mark.parametrize("case", ["plain-jsonl", "array", "gzip", "bzip2-no-extension"])
def test_an_http_url_reads_as_the_file(case, http, tmp_path):
    pytest.importorskip("aiohttp")
    server, base = http
    name, data, at = FILES[case]
    server.files[f"/ok/{name}"] = data
    (tmp_path / name).write_bytes(data)
    records = same_as_local(f"{base}/ok/{name}?token=x", tmp_path / name, at=at)
    it = iter(records)
    assert sum(1 for _ in it) == qvtok.open(tmp_path / name, at=at).count()
    assert it.total_bytes == len(data)


def test_a_server_that_takes_no_range_is_read_whole(http):
    pytest.importorskip("aiohttp")
    server, base = http
    server.files["/norange/big.jsonl"] = BIG
    records = qvtok.open(f"{base}/norange/big.jsonl")
    assert records.count() == 12000
    assert records.raw().__next__() == BIG.splitlines()[0]


def test_the_command_line_reads_a_url_with_a_query_string(http):
    pytest.importorskip("aiohttp")
    server, base = http
    server.files["/ok/cli.jsonl"] = JSONL
    out = subprocess.run([sys.executable, "-m", "qvtok", "count", f"{base}/ok/cli.jsonl?sig=a*b"],
                         capture_output=True, text=True, timeout=60)
    assert (out.returncode, out.stdout) == (0, f"{len(ROWS)}\n"), out.stderr


@pytest.mark.parametrize(("path", "error"), [
    ("/ok/missing.jsonl", FileNotFoundError),
    ("/forbidden/rows.jsonl", PermissionError),
])
def test_an_http_failure_is_an_os_error_naming_the_url(path, error, http):
    pytest.importorskip("aiohttp")
    server, base = http
    server.files["/forbidden/rows.jsonl"] = JSONL
    with pytest.raises(error) as caught:
        qvtok.open(base + path)
    assert caught.value.filename == base + path


@network_stores
def test_a_server_that_is_gone_is_an_os_error():
    pytest.importorskip("aiohttp")
    url = f"http://127.0.0.1:{free_port()}/rows.jsonl"
    with pytest.raises(OSError) as caught:
        qvtok.open(url)
    assert caught.value.filename == url


BIG = b"".join(json.dumps({"id": i, "pad": "x" * 90}).encode() + b"\n" for i in range(12000))


@pytest.mark.parametrize("kind", ["cut", "short"])
def test_a_response_that_ends_early_is_an_error_after_the_records_before_it(kind, http):
    pytest.importorskip("aiohttp")
    server, base = http
    url = f"{base}/{kind}/big.jsonl"
    server.files[f"/{kind}/big.jsonl"] = BIG
    got = []
    with pytest.raises(OSError) as caught:
        for record in qvtok.open(url):
            got.append(record)
    assert caught.value.filename == url
    assert "after" in caught.value.strerror  # where the data stopped
    assert got == [json.loads(line) for line in BIG.splitlines()[:len(got)]]
    # Cut off in the middle, or after every byte it had but before the
    # size it claimed.
    assert (0 < len(got) < 12000) if kind == "cut" else len(got) == 12000
    with pytest.raises(OSError):
        qvtok.open(url).count()


# --- S3 -------------------------------------------------------------------


@pytest.mark.parametrize("case", ["plain-jsonl", "pointer", "gzip", "xz"])
def test_an_s3_url_reads_as_the_file(case, s3, tmp_path):
    fs, options, bucket = s3
    name, data, at = FILES[case]
    fs.pipe(f"{bucket}/one/{name}", data)
    (tmp_path / name).write_bytes(data)
    records = same_as_local(f"s3://{bucket}/one/{name}", tmp_path / name, at=at, storage_options=options)
    assert iter(records).total_bytes == len(data)


@pytest.mark.parametrize("url", ["s3://{bucket}/none/rows.jsonl", "s3://no-such-bucket/rows.jsonl"])
def test_a_missing_s3_key_is_file_not_found(url, s3):
    _, options, bucket = s3
    url = url.format(bucket=bucket)
    with pytest.raises(FileNotFoundError) as caught:
        qvtok.open(url, storage_options=options)
    assert caught.value.filename == url
