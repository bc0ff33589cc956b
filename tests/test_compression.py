"""Compressed input and output: gzip, zstd, bzip2 and xz, made and checked by
Python's own codecs (and the zstandard package)."""

import bz2
import gzip
import io
import json
import lzma
import os
import subprocess
import sys
import zlib

import pytest
import zstandard

import qvtok
from qvtok import bigjson


def zstd_compress(data):
    return zstandard.ZstdCompressor().compress(data)


def zstd_decompress(data):
    return zstandard.ZstdDecompressor().stream_reader(io.BytesIO(data), read_across_frames=True).read()


def decoded_prefix(codec, data):
    """What a streaming decoder makes of the first bytes of a stream."""
    decoder = {
        "gzip": lambda: zlib.decompressobj(16 + 15),
        "zstd": lambda: zstandard.ZstdDecompressor().decompressobj(),
        "bzip2": bz2.BZ2Decompressor,
        "xz": lzma.LZMADecompressor,
    }[codec]()
    return decoder.decompress(data)


CODECS = {
    "gzip": (gzip.compress, gzip.decompress, ".gz"),
    "zstd": (zstd_compress, zstd_decompress, ".zst"),
    "bzip2": (bz2.compress, bz2.decompress, ".bz2"),
    "xz": (lzma.compress, lzma.decompress, ".xz"),
}


@pytest.fixture(params=sorted(CODECS))
def codec(request):
    return request.param


def compress(codec, data):
    return CODECS[codec][0](data)


def decompress(codec, data):
    return CODECS[codec][1](data)


def records(n, start=0):
    return [{"i": i, "s": "é" * (i % 7), "f": i / 3} for i in range(start, start + n)]


def jsonl(values):
    return b"".join(json.dumps(v, ensure_ascii=False).encode() + b"\n" for v in values)


@pytest.mark.parametrize("how", ["path", "file object", "read-only object", "stdin"])
def test_values_from_every_source_equal_json(tmp_path, codec, how):
    data = jsonl(records(500))
    packed = compress(codec, data)
    # No telling extension: the codec is known by the first bytes.
    path = tmp_path / "records.data"
    path.write_bytes(packed)
    if how == "path":
        got = qvtok.open(path).load()
    elif how == "file object":
        got = qvtok.open(io.BytesIO(packed)).load()
    elif how == "read-only object":
        got = qvtok.open(type("R", (), {"read": io.BytesIO(packed).read})()).load()
    else:
        code = "import qvtok, json, sys; print(json.dumps(qvtok.open('-').load()))"
        with open(path, "rb") as f:
            out = subprocess.run([sys.executable, "-c", code], stdin=f, capture_output=True, check=True).stdout
        got = json.loads(out)
    assert got == records(500)


@pytest.mark.parametrize("jsonl_format", [True, False])
def test_concatenated_streams_read_as_one_file(tmp_path, codec, jsonl_format):
    if jsonl_format:
        first, second, expected = jsonl(records(3)), jsonl(records(4, 3)), records(7)
    else:
        # An array cut in two, each half compressed on its own.
        text = json.dumps({"rows": records(7)}).encode()
        first, second, expected = text[: len(text) // 2], text[len(text) // 2 :], records(7)
    path = tmp_path / "both"
    path.write_bytes(compress(codec, first) + compress(codec, second))
    at = None if jsonl_format else "/rows"
    assert qvtok.open(path, at=at).load() == expected
    assert qvtok.open(path, at=at).count() == 7  # a second pass decompresses again


def test_progress_counts_compressed_bytes(tmp_path, codec):
    path = tmp_path / "big.jsonl.x"
    path.write_bytes(compress(codec, jsonl(records(60_000))))
    it = iter(qvtok.open(path))
    assert it.total_bytes == path.stat().st_size
    seen = []
    for _ in it:
        seen.append(it.bytes_read)
    assert seen == sorted(seen) and seen[0] < it.total_bytes
    assert it.bytes_read == it.total_bytes


def test_positions_count_in_the_decompressed_text(codec):
    data = b'{"a": 1}\n{"a": 2}\n{"a": oops}\n{"a": 4}\n'
    with pytest.raises(qvtok.JSONDecodeError) as caught:
        qvtok.open(io.BytesIO(compress(codec, data))).load()
    plain = pytest.raises(qvtok.JSONDecodeError, lambda: qvtok.open(io.BytesIO(data)).load()).value
    e = caught.value
    assert (e.msg, e.pos, e.lineno, e.colno, e.record) == (plain.msg, plain.pos, plain.lineno, plain.colno, 2)


@pytest.mark.parametrize("damage", ["cut", "garbage after", "zeros in the middle"])
def test_broken_compressed_data_raises_after_the_records_before_it(tmp_path, codec, damage):
    values = records(20_000)
    packed = compress(codec, jsonl(values))
    if damage == "cut":
        broken = packed[: len(packed) * 2 // 3]
    elif damage == "garbage after":
        broken = packed + b"not compressed\n"
    else:
        middle = len(packed) // 2
        broken = packed[:middle] + bytes(4096) + packed[middle + 4096 :]
    path = tmp_path / "broken"
    path.write_bytes(broken)
    got = []
    # Damage inside a stream may first show as text that is not JSON: the
    # decoder hands out what it decoded, and only a checksum at the stream's
    # end would tell.
    expected = qvtok.CompressionError if damage != "zeros in the middle" else (qvtok.CompressionError, ValueError)
    with pytest.raises(expected) as caught:
        for value in qvtok.open(path):
            got.append(value)
    e = caught.value
    if isinstance(e, qvtok.CompressionError):
        assert isinstance(e, OSError) and e.codec == codec
        assert 0 < e.offset <= len(broken)
        assert str(e).startswith(("corrupt " + codec, "truncated " + codec))
    if damage == "cut":
        assert e.offset == len(broken) and str(e).startswith("truncated")
    if damage == "zeros in the middle":
        # The records before the damage come out, but for the last block a
        # decoder held when it met the fault; gzip checks its data only at a
        # member's end, so what it decodes from the damage may come out too.
        prefix = decoded_prefix(codec, packed[:middle])
        good = min(len(got), prefix.count(b"\n")) if codec == "gzip" else len(got)
        assert got[:good] == values[:good]
        assert len(jsonl(got[:good])) >= len(prefix) - (1 << 18)
    else:
        assert got == values[: len(got)]
    if damage == "garbage after":
        assert got == values


def zstd_blocks(frame):
    """(start, end) of each block's body in a zstd frame."""
    descriptor = frame[4]
    single = descriptor >> 5 & 1
    pos = 5 + (not single) + [0, 1, 2, 4][descriptor & 3] + [single, 2, 4, 8][descriptor >> 6]
    blocks = []
    while True:
        header = int.from_bytes(frame[pos : pos + 3], "little")
        size = 1 if header >> 1 & 3 == 1 else header >> 3
        blocks.append((pos + 3, pos + 3 + size))
        pos += 3 + size
        if header & 1:
            return blocks


def test_zstd_damage_is_placed_in_the_block_that_holds_it(tmp_path):
    packed = zstd_compress(jsonl(records(150_000)))
    blocks = zstd_blocks(packed)
    assert len(blocks) >= 8
    offsets = []
    for start, end in blocks[1:-1:5]:
        # A body that starts with these claims more literals than a block
        # holds: damage that the block itself shows.
        broken = packed[:start] + b"\xff" * 8 + packed[start + 8 :]
        path = tmp_path / "broken.zst"
        path.write_bytes(broken)
        with pytest.raises(qvtok.CompressionError) as caught:
            for _ in qvtok.open(path):
                pass
        assert start <= caught.value.offset <= end, (start, end)
        offsets.append(caught.value.offset)
    assert offsets == sorted(set(offsets))


def test_compression_argument(tmp_path):
    data = jsonl(records(3))
    path = tmp_path / "x.jsonl.gz"
    path.write_bytes(gzip.compress(data))
    assert qvtok.open(path, compression="gzip").load() == records(3)
    # None reads the bytes as they are: not UTF-8.
    with pytest.raises(qvtok.JSONDecodeError):
        qvtok.open(path, compression=None).load()
    # A codec insisted on for bytes that are not in it.
    plain = tmp_path / "plain.jsonl"
    plain.write_bytes(data)
    for name in CODECS:
        with pytest.raises(qvtok.CompressionError) as caught:
            qvtok.open(plain, compression=name).load()
        assert caught.value.codec == name
    assert qvtok.open(plain, compression=None).load() == records(3)
    for wrong in ["lz4", "GZIP", 1]:
        with pytest.raises(ValueError, match="compression must be"):
            qvtok.open(path, compression=wrong)


@pytest.mark.parametrize("name, expected", [("x.jsonl.gz", [{}, {}]), ("x.JSON.GZ", None), ("x.gz", [{}, {}])])
def test_format_from_the_name_under_the_codec_extension(tmp_path, name, expected):
    path = tmp_path / name
    path.write_bytes(gzip.compress(b"{}\n{}\n"))
    if expected is None:
        with pytest.raises(qvtok.JSONDecodeError, match="Extra data"):
            qvtok.open(path).load()
    else:
        assert qvtok.open(path).load() == expected


@pytest.mark.parametrize("source", ["path", "object"])
def test_to_jsonl_compresses_by_extension(tmp_path, codec, source):
    values = records(1000)
    src = tmp_path / "in.json"
    src.write_text(json.dumps(values, indent=2, ensure_ascii=False), encoding="utf-8")
    if source == "path":
        out = tmp_path / ("out.jsonl" + CODECS[codec][2].upper())
        assert qvtok.open(src).to_jsonl(out) == 1000
        written = out.read_bytes()
    else:
        buffer = io.BytesIO()
        assert qvtok.open(src).to_jsonl(buffer, compression=codec) == 1000
        written = buffer.getvalue()
    assert decompress(codec, written) == jsonl(values).replace(b": ", b":").replace(b", ", b",")
    # None, or a file object, leaves the bytes plain.
    plain = tmp_path / ("plain.jsonl" + CODECS[codec][2])
    qvtok.open(src).to_jsonl(plain, compression=None)
    assert plain.read_bytes().startswith(b'{"i":0,')


def test_to_jsonl_ends_the_stream_before_raising(tmp_path):
    src = tmp_path / "in.jsonl"
    src.write_bytes(b'{"a": 1}\n{"a": 2}\n{"a": \n')
    out = io.BytesIO()
    with pytest.raises(qvtok.JSONDecodeError):
        qvtok.open(src).to_jsonl(out, compression="gzip")
    assert gzip.decompress(out.getvalue()) == b'{"a":1}\n{"a":2}\n'


BIGJSON_CALLS = {
    "count": bigjson.count,
    "load": bigjson.load,
    "iter_records": lambda p: list(bigjson.iter_records(p)),
    "schema": bigjson.schema,
}


@pytest.mark.parametrize("call", sorted(BIGJSON_CALLS))
def test_bigjson_errors_name_the_codec(tmp_path, codec, call):
    """The usual text comes first, for callers that match it; the hint after
    it shows wherever the message does."""
    hint = f" (the file is {codec}-compressed; qvtok.open reads it)"
    path = tmp_path / "x.jsonl"
    path.write_bytes(compress(codec, jsonl(records(5))))
    with pytest.raises(RuntimeError) as caught:
        BIGJSON_CALLS[call](str(path))
    assert str(caught.value) == "read error: stream did not contain valid UTF-8" + hint
    assert not hasattr(caught.value, "__notes__")
    # A JSON file's records may first fail as text that is no JSON.
    path = tmp_path / "x.json"
    path.write_bytes(compress(codec, b"[1, 2]"))
    if call != "count":  # count does not read the values
        with pytest.raises((ValueError, RuntimeError)) as caught:
            BIGJSON_CALLS[call](str(path))
        assert str(caught.value).startswith(("invalid JSON", "read error: ")) and str(caught.value).endswith(hint)


# count reads lines, not their values: only bytes that are no UTF-8 stop it.
PLAIN_FAULTS = [(b'{"a": 1}\n{"a": \xff}\n', "read error: stream did not contain valid UTF-8")]
PLAIN_FAULTS_IN_VALUES = [(b'{"a": 1}\n{"a": }\n', "invalid JSONL line: expected value at line 1 column 7")]


@pytest.mark.parametrize(
    "call, text, error",
    [(call, *fault) for call in sorted(BIGJSON_CALLS) for fault in PLAIN_FAULTS]
    + [(call, *fault) for call in sorted(BIGJSON_CALLS) if call != "count" for fault in PLAIN_FAULTS_IN_VALUES],
)
def test_bigjson_errors_on_plain_files_have_no_hint(tmp_path, call, text, error):
    path = tmp_path / "x.jsonl"
    path.write_bytes(text)
    with pytest.raises((ValueError, RuntimeError)) as caught:
        BIGJSON_CALLS[call](str(path))
    assert str(caught.value) == error
    assert not hasattr(caught.value, "__notes__")


def run_cli(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "qvtok", *args], stdin=stdin, capture_output=True, timeout=60)


def test_command_line_reads_and_writes_compressed_files(tmp_path, codec):
    path = tmp_path / ("in.jsonl" + CODECS[codec][2])
    path.write_bytes(compress(codec, jsonl(records(30)) + b'{"bad": }\n'))
    assert run_cli("count", str(path)).stdout == b"31\n"
    with open(path, "rb") as f:
        assert run_cli("head", "-n", "1", stdin=f).stdout == b'{"i":0,"s":"","f":0.0}\n'
    done = run_cli("validate", str(path))
    assert done.returncode == 1 and done.stdout.endswith(b"31 records, 1 invalid\n")
    assert done.stdout.startswith(f"{path}:31:9: record 30: ".encode())
    out = tmp_path / "out.jsonl.zst"
    done = run_cli("to-jsonl", str(path), "-o", str(out))
    assert done.returncode == 2
    assert not out.exists()  # a path gets all the records or none
    assert run_cli("count", "--compression", "none", str(path)).returncode in (0, 2)


def test_command_line_reports_broken_compressed_data(tmp_path):
    path = tmp_path / "in.jsonl.gz"
    packed = gzip.compress(jsonl(records(1000)))
    path.write_bytes(packed[:-100])
    done = run_cli("count", str(path))
    assert done.returncode == 2
    assert done.stderr.decode() == f"qvtok: truncated gzip data: the file ends at compressed byte {len(packed) - 100}, before the end of its stream\n"


@pytest.mark.parametrize("cut", [20, 100, 5000], ids=lambda n: f"{n} bytes")
@pytest.mark.parametrize("where", ["path", "stdin"])
@pytest.mark.parametrize("command", ["count", "validate"])
def test_command_line_tells_truncated_input_as_such_wherever_it_is_cut(tmp_path, cut, where, command):
    # Cut short within the first bytes, the input ends while its format is
    # being told: it opened all the same, and what is wrong is its data.
    packed = gzip.compress(jsonl(records(1000)))[:cut]
    path = tmp_path / "in.jsonl.gz"
    path.write_bytes(packed)
    if where == "path":
        done = run_cli(command, str(path))
    else:
        with open(path, "rb") as f:
            done = run_cli(command, "-", stdin=f)
    assert done.returncode == 2
    assert done.stderr.decode().splitlines()[-1] == (
        f"qvtok: truncated gzip data: the file ends at compressed byte {cut}, before the end of its stream"
    )
