"""qvtok.bigjson, and what qvtok.open's validate returns, used as their users would. mypy checks this file against the
typed stub (see [tool.mypy] in pyproject.toml), and tests/test_typing.py runs
`main` against the module to show that the same calls work at run time."""

import pathlib
from typing import Any, assert_type

import qvtok
from qvtok import bigjson


def main(jsonl_path: str, json_path: str) -> None:
    assert_type(bigjson.count(jsonl_path), int)
    assert_type(bigjson.count(jsonl_path, "jsonl"), int)
    assert_type(bigjson.count(path=json_path, format=None), int)

    assert_type(bigjson.load(jsonl_path, format="JSONL"), Any)
    rows: list[dict[str, Any]] = bigjson.load(jsonl_path)
    assert rows

    it = bigjson.iter_records(json_path, "auto")
    assert_type(it, bigjson.RecordIterator)
    assert_type(iter(it), bigjson.RecordIterator)
    assert_type(it.total_bytes, int)
    for record in it:
        assert_type(record, Any)
        done: float = it.bytes_read / max(it.total_bytes, 1)
        assert 0 <= done <= 1
    assert_type(next(it, None), Any | None)

    assert_type(bigjson.schema(jsonl_path), str)
    assert_type(bigjson.schema(jsonl_path, 10, "ndjson"), str)
    assert_type(bigjson.schema(jsonl_path, sample=10, format=None), str)

    with qvtok.open(jsonl_path) as records:
        assert_type(records, qvtok.Records)
        assert_type(records.head(), list[Any])
        assert_type(records.head(n=2), list[Any])
        assert_type(records.schema(sample="all"), str)
        assert_type(records.schema(None), str)
        assert_type(next(iter(records)), Any)
        for key, value in records.items():
            assert_type(key, str | None)
            assert_type(value, Any)
        for text in (*records.raw(), *records.compact()):
            assert_type(text, bytes)
            assert text.strip()
    records.close()
    assert_type(qvtok.__version__, str)

    for result in (qvtok.open(jsonl_path).validate(workers=2), qvtok.open(json_path).partitions()[0].validate()):
        assert_type(result, qvtok.Validation)
        good, errors = result
        assert_type(good, int)
        assert_type(errors, list[qvtok.JSONDecodeError])
        assert_type(result.invalid, int)
        assert result == (good, errors) and result.invalid == len(errors)


def rejected(path: str, it: bigjson.RecordIterator) -> None:
    """Misuse that the stub must refuse, as the module does at run time.
    Never called; mypy's check for unused ignores fails if one is accepted."""
    bigjson.count(pathlib.Path(path))  # type: ignore[arg-type]
    bigjson.load(path, 1)  # type: ignore[arg-type]
    bigjson.schema(path, sample="10")  # type: ignore[arg-type]
    bigjson.iter_records(path, format="json", sample=3)  # type: ignore[call-arg]
    it.bytes_read = 0  # type: ignore[misc]
    qvtok.open(path).schema(sample="some")  # type: ignore[arg-type]
    qvtok.open(path).head(n="3")  # type: ignore[arg-type]
    text: str = next(qvtok.open(path).raw())  # type: ignore[assignment]

    class Derived(bigjson.RecordIterator):  # type: ignore[misc]
        pass
