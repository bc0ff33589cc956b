import os

import pytest

from qvtok import bigjson

# `count` tells the formats apart: a two-element array is 2 records as JSON
# and 1 line as JSONL.
ARRAY = "[1, 2]"


@pytest.mark.parametrize(
    "fmt, expected",
    [
        ("json", 2),
        ("JSON", 2),
        ("Json", 2),
        ("jsonl", 1),
        ("JSONL", 1),
        ("ndjson", 1),
        ("NDJSON", 1),
        ("auto", 2),
        ("AUTO", 2),
        (None, 2),
    ],
)
def test_format_names_in_any_case(write, fmt, expected):
    path = write("data", ARRAY)
    assert bigjson.count(path, fmt) == expected
    assert bigjson.count(path, format=fmt) == expected


@pytest.mark.parametrize(
    "fmt, shown",
    [("XML", '"xml"'), (" json", '" json"'), ("", '""'), ("json\n", '"json\\n"'), ('a"b\\', '"a\\"b\\\\"')],
)
def test_unknown_format(write, fmt, shown):
    with pytest.raises(ValueError) as info:
        bigjson.count(write("x.json", "[]"), fmt)
    assert str(info.value) == f"unknown format {shown}; expected 'json', 'jsonl' or 'auto'"


@pytest.mark.parametrize(
    "name, expected",
    [
        ("data.json", 2),
        ("DATA.JSON", 2),
        ("x.JSON", 2),
        ("data.jsonl", 1),
        ("DATA.JSONL", 1),
        ("data.ndjson", 1),
        ("data.json.gz", 2),  # no known ending: the first byte "[" decides
        ("data.txt", 2),
    ],
)
def test_detection_by_name(write, name, expected):
    assert bigjson.count(write(name, ARRAY)) == expected


@pytest.mark.parametrize(
    "content, expected",
    [
        (" \t\r\n\f[1, 2]", 2),         # scanner whitespace is skipped
        ('{"a": 1}\n{"a": 2}\n', 2),    # JSONL
        ('"x"\n', 1),
        ("\x0b[1, 2]", 1),              # vertical tab is significant: JSONL
        ("\ufeff[1, 2]", 1),            # so is a byte order mark
        ("", 0),                        # empty: JSONL
        ("  \n\n", 0),
    ],
)
def test_detection_by_content(write, content, expected):
    assert bigjson.count(write("data", content)) == expected


def test_json_name_wins_over_content(write):
    path = write("lines.json", '{"a": 1}\n{"a": 2}\n')
    assert bigjson.count(path) == 1
    assert bigjson.count(path, "jsonl") == 2


@pytest.mark.parametrize("fn", [bigjson.count, bigjson.load, bigjson.iter_records, bigjson.schema])
@pytest.mark.parametrize("name", ["missing.json", "missing.jsonl", "missing"])
def test_missing_file(tmp_path, fn, name, no_fd_leak):
    path = str(tmp_path / name)
    with pytest.raises(ValueError) as info:
        fn(path)
    assert str(info.value) == f"cannot open {path}: No such file or directory (os error 2)"


def test_directory_during_detection(tmp_path, no_fd_leak):
    with pytest.raises(ValueError) as info:
        bigjson.count(str(tmp_path))
    assert str(info.value) == f"cannot read {tmp_path}: Is a directory (os error 21)"


@pytest.mark.parametrize("fn", [bigjson.count, bigjson.load, bigjson.schema])
def test_directory_with_json_name_fails_reading(tmp_path, fn, no_fd_leak):
    folder = tmp_path / "x.json"
    folder.mkdir()
    with pytest.raises(RuntimeError) as info:
        fn(str(folder))
    assert str(info.value) == "read error: Is a directory (os error 21)"


def test_nul_in_path(no_fd_leak):
    with pytest.raises(ValueError) as info:
        bigjson.count("a\0b.json")
    assert str(info.value) == "cannot open a\0b.json: file name contained an unexpected NUL byte"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads every file")
def test_permission_denied(write):
    path = write("secret.json", "[]")
    os.chmod(path, 0)
    with pytest.raises(ValueError, match=r"Permission denied \(os error 13\)"):
        bigjson.count(path)


@pytest.mark.parametrize("fn", [bigjson.count, bigjson.load, bigjson.schema])
def test_no_descriptor_left_after_errors(write, tmp_path, fn, no_fd_leak):
    bad = write("bad.json", "[1, x]")
    for _ in range(50):
        for args in [{"format": "xml"}, {"path": str(tmp_path)}, {"path": str(tmp_path / "no.json")}, {}]:
            try:
                fn(**({"path": bad} | args))
            except (ValueError, RuntimeError):
                pass


@pytest.mark.parametrize(
    "content, call, expected",
    [
        ('{"a": 1}\n\n{"a": 2}\n', bigjson.count, 2),
        ("  [1, 2, 3]", bigjson.count, 3),
        ('{"a": 1}\n{"a": 2}\n', bigjson.load, [{"a": 1}, {"a": 2}]),
        ("\n[1, 2]", bigjson.load, [1, 2]),
        ("[1, 2]", lambda p: list(bigjson.iter_records(p)), [1, 2]),
        ('{"a": 1}\n', lambda p: list(bigjson.iter_records(p)), [{"a": 1}]),
        ('{"a": 1}\n', bigjson.schema, '{\n  "a": "int"\n}'),
    ],
)
def test_detection_on_a_pipe_loses_no_bytes(content, call, expected, no_fd_leak):
    # A pipe cannot be opened again at its start: the bytes detection looked
    # at must still reach the operation.
    r, w = os.pipe()
    try:
        os.write(w, content.encode())
        os.close(w)
        assert call(f"/proc/self/fd/{r}") == expected
    finally:
        os.close(r)
