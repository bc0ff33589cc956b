"""File names that are not UTF-8: os.listdir hands them out as str with
surrogate escapes, and every operation must open them."""

import os

import pytest

from qvtok import bigjson


@pytest.fixture
def odd_folder(tmp_path):
    """A folder holding files whose names contain the byte 0xff."""
    folder = os.fsencode(tmp_path)
    for name, content in [(b"a\xff.json", b"[1, 2]"), (b"a\xff.jsonl", b'{"x": 1}\n{"x": 2}\n'),
                          (b"a\xff.data", b"[1, 2]")]:
        with open(os.path.join(folder, name), "wb") as f:
            f.write(content)
    return tmp_path


@pytest.mark.parametrize(
    "name, call, expected",
    [
        ("a\udcff.json", bigjson.load, [1, 2]),
        ("a\udcff.jsonl", bigjson.load, [{"x": 1}, {"x": 2}]),
        ("a\udcff.data", bigjson.load, [1, 2]),  # format told by the first byte
        ("a\udcff.json", bigjson.count, 2),
        ("a\udcff.jsonl", lambda p: list(bigjson.iter_records(p)), [{"x": 1}, {"x": 2}]),
        ("a\udcff.jsonl", lambda p: '"x": "int"' in bigjson.schema(p), True),
    ],
)
def test_names_that_are_not_utf8_open(odd_folder, name, call, expected):
    assert name in os.listdir(odd_folder)
    assert call(str(odd_folder / name)) == expected


def test_missing_file_with_such_a_name_is_reported(tmp_path):
    path = str(tmp_path / "b\udcff.json")
    with pytest.raises(ValueError) as info:
        bigjson.load(path)
    assert str(info.value) == f"cannot open {tmp_path}/b\\xff.json: No such file or directory (os error 2)"
