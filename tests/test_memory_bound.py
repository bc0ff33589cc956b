"""qvtok.open holds one record: a document on one line, read from a pipe or
a file object whose format is told by its content, and JSON Lines with a
line of white space far longer than any record."""

import io
import shutil
import subprocess
import sys

import pytest

import qvtok

MIB = 1 << 20
# Larger than what the format is judged from, and than every read buffer.
LONG = 3 * MIB


def big_files_fit(directory, size):
    return shutil.disk_usage(directory).free > 4 * size


# Peak memory of a child that runs `code` with `path` as sys.argv[1] and
# the file's bytes on its standard input when `stdin` says so; the child
# prints its result on one line and its peak RSS in KiB on the next. The
# peak is the child's own VmHWM: ru_maxrss keeps the parent's peak at fork.
PEAK = ("\nprint(next(int(line.split()[1]) for line in open('/proc/self/status')"
        " if line.startswith('VmHWM:')))\n")


def run_measured(code, path, stdin=False):
    script = code + PEAK
    with open(path, "rb") as source:
        done = subprocess.run([sys.executable, "-c", script, str(path)], stdin=source if stdin else None,
                              capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    result, rss_kib = done.stdout.splitlines()
    return result, int(rss_kib) * 1024


FEATURE = ('{"type":"Feature","properties":{"name":"abcdefghij","id":7},'
           '"geometry":{"type":"Point","coordinates":[1.5,2.25]}}')


@pytest.fixture(scope="module")
def one_line_geojson(tmp_path_factory):
    """A 200 MB FeatureCollection on one line, under a name without a
    .json extension, so that its format is judged by its content."""
    directory = tmp_path_factory.mktemp("geojson")
    size = 200 * MIB
    if not big_files_fit(directory, size):
        pytest.skip("not enough free disk for a 200 MB file")
    path = directory / "collection.geo"
    block = ",".join([FEATURE] * 1000).encode()
    with open(path, "wb") as f:
        f.write(b'{"type":"FeatureCollection","features":[')
        for i in range(size // len(block)):
            if i:
                f.write(b",")
            f.write(block)
        f.write(b"]}")
    yield path
    path.unlink()


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("source,stdin", [
    ("'-'", True),
    ("open(sys.argv[1], 'rb')", False),
    ("sys.argv[1]", False),
], ids=["pipe", "file_object", "path"])
def test_a_one_line_document_opens_and_gives_its_first_record_in_small_memory(one_line_geojson, source, stdin):
    code = ("import json, sys, qvtok\n"
            f"records = qvtok.open({source}, at='/features')\n"
            "print(json.dumps(next(iter(records)), separators=(',', ':')))")
    first, rss = run_measured(code, one_line_geojson, stdin=stdin)
    assert first == FEATURE
    assert rss < 64 * MIB


def write_spaced(path, pieces):
    """Writes the pieces, where an int is that many spaces."""
    with open(path, "wb") as f:
        for piece in pieces:
            if isinstance(piece, int):
                chunk = b" " * MIB
                for _ in range(piece // MIB):
                    f.write(chunk)
            else:
                f.write(piece)


SPACES = 128 * MIB


@pytest.mark.no_sanitizer
@pytest.mark.parametrize("pieces,expected", [
    ([SPACES, b"\n"], []),
    ([b"\n", SPACES, b'{"a": 1}\n{"b": 2}\n'], [{"a": 1}, {"b": 2}]),
    ([b'{"a": 1}', SPACES, b"\r\n", b'{"b": 2}', SPACES], [{"a": 1}, {"b": 2}]),
], ids=["blank_line", "leading_white_space", "trailing_white_space"])
@pytest.mark.parametrize("call", ["count()", "load()", "validate()"])
def test_white_space_on_a_json_lines_line_is_not_held(tmp_path, pieces, expected, call):
    if not big_files_fit(tmp_path, SPACES):
        pytest.skip("not enough free disk for a 128 MB file")
    path = tmp_path / "spaced.jsonl"
    write_spaced(path, pieces)
    code = ("import sys, qvtok\n"
            f"result = qvtok.open(sys.argv[1]).{call}\n"
            "print(repr(result))")
    result, rss = run_measured(code, path)
    if call == "count()":
        assert result == str(len(expected))
    elif call == "load()":
        assert result == repr(expected)
    else:
        assert result == f"Validation(good={len(expected)}, errors=[], invalid=0)"
    assert rss < 48 * MIB


@pytest.mark.parametrize("data,expected", [
    # A value and more white space than is looked at before the next line.
    (b'{"a": 1}' + b" " * LONG + b'\n{"b": 2}\n', [{"a": 1}, {"b": 2}]),
    (b'{"a": 1}\n' + b" \n" * (LONG // 2) + b'{"b": 2}\n', [{"a": 1}, {"b": 2}]),
    (b"7" + b" " * LONG, [7]),
    (b'"text"' + b"\t" * LONG + b"\n", ["text"]),
    # One document whose first line goes on past the look, on one line or
    # on several.
    (b'{"a": "' + b"x" * LONG + b'", "b": [1, {"c": "]}\\""}]}', [{"a": "x" * LONG, "b": [1, {"c": ']}"'}]}]),
    (b'{"a": "' + b"x" * LONG + b'",\n"b": 2}\n', [{"a": "x" * LONG, "b": 2}]),
    (b" " * LONG + b'{"a": 1}', [{"a": 1}]),
], ids=["padded_first_line", "blank_lines_after_the_first", "padded_number", "padded_string",
        "one_line_document", "document_over_lines", "white_space_before_the_document"])
def test_the_format_is_told_from_a_long_first_line(data, expected):
    assert qvtok.open(io.BytesIO(data)).load() == expected


def test_a_first_line_with_a_second_value_past_the_look_is_a_document():
    # Not one value per line: read as one document, whose fault is named.
    data = b'{"a": 1}' + b" " * LONG + b'{"b": 2}\n'
    with pytest.raises(qvtok.JSONDecodeError) as caught:
        qvtok.open(io.BytesIO(data)).load()
    assert caught.value.pos == 8 + LONG
