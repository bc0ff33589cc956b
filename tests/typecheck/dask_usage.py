"""qvtok.dask used as its users would. mypy checks this file (see [tool.mypy]
in pyproject.toml), and tests/test_dask.py runs `main` to show that the same
calls work at run time."""

import pathlib
from typing import assert_type

import dask.bag

from qvtok.dask import read_records


def main(jsonl_path: str, json_path: str) -> None:
    bag = read_records(jsonl_path)
    assert_type(bag, dask.bag.Bag)
    read_records([pathlib.Path(jsonl_path), json_path], partition_size=64, compression=None)
    read_records(json_path, format="json", partition_size="1KiB", compression="auto")
    read_records([jsonl_path], glob=False)
    assert_type(bag.npartitions, int)
    assert bag.npartitions >= 1


def rejected(path: str) -> None:
    """Misuse that the annotations must refuse. Never called; mypy's check
    for unused ignores fails if one is accepted."""
    read_records(path, "/items")  # type: ignore[call-arg]
    read_records(path, partition_size=1.5)  # type: ignore[arg-type]
    read_records(path, at=0)  # type: ignore[arg-type]
    read_records(path, compression="lz4")  # type: ignore[arg-type]
    read_records(3)  # type: ignore[arg-type]
    read_records(path, glob="*")  # type: ignore[arg-type]
