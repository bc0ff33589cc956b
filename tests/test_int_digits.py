"""Integers that int() would refuse (CPython's limit on the digits of an int
made from a string) are faults of their record in every pass of qvtok.open,
found by validate() as load() meets them, under the limit in force."""

import io
import json
import subprocess
import sys

import pytest

import qvtok

LONG = "9" * 5000


@pytest.fixture
def limit():
    """Restores the process's limit whatever a test sets."""
    before = sys.get_int_max_str_digits()
    yield
    sys.set_int_max_str_digits(before)


@pytest.mark.parametrize("fmt, data", [
    ("json", f'[1, {LONG}, {{"a": -{LONG}}}, 3]'),
    ("jsonl", f'1\n{LONG}\n{{"a": -{LONG}}}\n3\n'),
])
def test_an_integer_past_the_limit_is_a_fault_of_its_record(limit, fmt, data):
    records = lambda **kw: qvtok.open(io.BytesIO(data.encode()), format=fmt, **kw)  # noqa: E731
    with pytest.raises(json.JSONDecodeError) as info:
        records().load()
    assert (info.value.record, data[info.value.pos]) == (1, "9")
    assert "4300 digits" in info.value.msg

    good, errors = records().validate()
    assert (good, [e.record for e in errors]) == (2, [1, 2])
    assert [data[e.pos] for e in errors] == ["9", "-"]

    it = iter(records(on_error="skip"))
    assert list(it) == [1, 3]
    assert [e.record for e in it.errors] == [1, 2]

    # The limit in force at the call decides, as it does for int().
    sys.set_int_max_str_digits(6000)
    assert records().load()[1] == int(LONG)
    assert records().validate().invalid == 0
    sys.set_int_max_str_digits(0)
    assert records().load()[2] == {"a": -int(LONG)}


def test_what_is_no_conversion_keeps_long_integers(tmp_path):
    path = tmp_path / "x.jsonl"
    path.write_text(f"{LONG}\n")
    # Raw and compact texts, counts and copies convert nothing.
    assert qvtok.open(path).count() == 1
    assert list(qvtok.open(path).raw()) == [LONG.encode()]
    assert qvtok.open(path).to_jsonl(tmp_path / "out.jsonl") == 1


def test_parallel_validation_applies_the_limit(tmp_path):
    path = tmp_path / "x.jsonl"
    row = '{"n": 1, "pad": "' + "x" * 200 + '"}\n'
    path.write_text(row * 60000 + f'{{"n": {LONG}}}\n' + row)
    out = subprocess.run([sys.executable, "-m", "qvtok", "validate", "--jobs", "2", str(path)],
                         capture_output=True, text=True)
    assert out.returncode == 1
    assert f"{path}:60001:7: record 60000: Exceeds the limit (4300 digits)" in out.stdout
