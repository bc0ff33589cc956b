"""JSON and JSON Lines files as a Dask bag, read by qvtok on Dask's workers.

    from qvtok.dask import read_records
    bag = read_records("logs/*.jsonl", partition_size="64MiB")
    bag.filter(lambda r: r["level"] == "error").pluck("msg").count().compute()

Each bag partition is one qvtok.Partition of a file. The files are planned
in the calling process (JSON Lines by seeking to line starts, a JSON array
by one scan of the file); each worker then opens the file it is given at
the same absolute path, so every worker must see the files there.

Importing this module imports dask; `import qvtok` alone does not.
"""

from __future__ import annotations

import errno
import glob as globbing
import os
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, Literal

import dask.bag
from dask.bag.core import reify
from dask.base import tokenize

import qvtok
from qvtok.partition import Partition

if TYPE_CHECKING:
    from qvtok.lib._qvtok import _Codec, _Format

__all__ = ["read_records"]

PathArg = str | os.PathLike[str]


def read_records(
    paths: PathArg | Sequence[PathArg],
    *,
    at: str | None = None,
    format: _Format = "auto",
    partition_size: int | str = "128MiB",
    compression: Literal["auto"] | _Codec | None = "auto",
    glob: bool | None = None,
    max_depth: int = 1024,
) -> dask.bag.Bag:
    """The records of `paths` as a dask.bag.Bag: file order, then record order.

    `paths` is a path, a glob pattern, or a list of paths and patterns. A
    str or os.PathLike that names an existing file is that file, whatever
    characters its name holds; a str that names none and holds glob
    characters (`*`, `?`, `[`) is a pattern; an os.PathLike is never one.
    `glob=True` takes every path as a pattern, `glob=False` none. A pattern
    is expanded in sorted order, and one that matches nothing raises
    FileNotFoundError. `at`, `format`, `compression` and `max_depth` are
    those of qvtok.open. Each file is cut into partitions of about `partition_size`
    bytes (an int, or a string such as "128MiB" or "64MB"): JSON Lines at
    line starts, a JSON array at element starts. A compressed file, or one
    that cannot be cut, is one partition."""
    parts: list[Partition] = []
    for path in _expand(paths, glob):
        records = qvtok.open(path, at=at, format=format, compression=compression, max_depth=max_depth)
        parts.extend(records.partitions(partition_size))
    name = "qvtok-read-records-" + tokenize(parts)
    # Wrapped in reify, as Dask's own bag tasks are: a partition that is
    # kept (computed, persisted, sent to another worker) becomes a list,
    # while Dask's optimizer unwraps it where map, filter, count and the
    # like are fused onto it, so that the records stream one at a time
    # instead of a whole partition's worth of values being held at once.
    graph: dict[Any, Any] = {(name, i): (reify, (_values, part)) for i, part in enumerate(parts)}
    return dask.bag.Bag(graph, name, len(parts))


def _values(part: Partition) -> Iterator[Any]:
    return iter(part.records())


def _expand(paths: PathArg | Sequence[PathArg], patterns: bool | None) -> list[str]:
    # Absolute, so that a worker whose working directory is not the
    # client's still finds the file.
    items = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    if not items:
        raise ValueError("read_records needs at least one path or pattern")
    found: list[str] = []
    for item in items:
        path = os.fspath(item)
        if not _is_pattern(item, path, patterns):
            found.append(os.path.abspath(path))
            continue
        matches = sorted(globbing.glob(path, recursive=True))
        if not matches:
            raise FileNotFoundError(errno.ENOENT, "no file matches the pattern", path)
        found.extend(os.path.abspath(m) for m in matches)
    return found


def _is_pattern(item: PathArg, path: str, patterns: bool | None) -> bool:
    if patterns is not None:
        return patterns
    # A file named `a[1].jsonl` is that file, not a pattern that reads
    # `a1.jsonl`; a Path names one file, as open() takes it.
    return isinstance(item, str) and globbing.escape(path) != path and not os.path.exists(path)
