"""JSON and JSON Lines files as a Dask bag, read by qvtok on Dask's workers.

    from qvtok.dask import read_records
    bag = read_records("logs/*.jsonl", partition_size="64MiB")
    bag.filter(lambda r: r["level"] == "error").pluck("msg").count().compute()

Each bag partition is one qvtok.Partition of a file. The files are planned
in the calling process (JSON Lines by seeking to line starts, a JSON array
by one scan of the file); each worker then opens the file it is given at
the same absolute path, so every worker must see the files there. A URL
("s3://bucket/logs/*.jsonl.gz") is read through fsspec instead, by each
worker with the storage options it was given, so workers share nothing
but the store.

The bag's to_dataframe() gives each column the dtype that the schema of a
sample of every file implies: a column of integers with a null or a gap
after the first record becomes pandas' nullable Int64, where Dask's own
guess from the first record fails on the null. A `meta` given to it is
used as it is; a bag made from this one by map, filter and the like
guesses as Dask does.

Importing this module imports dask; `import qvtok` alone does not. Dask
comes with the extra: pip install "qvtok[dask]".
"""

from __future__ import annotations

import errno
import glob as globbing
import json
import os
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING, Any, Literal

try:
    import dask.bag
    from dask.bag.core import reify
    from dask.base import tokenize
except ImportError as _missing:
    raise ImportError(
        'qvtok.dask needs Dask: pip install "qvtok[dask]"', name=_missing.name, path=_missing.path
    ) from _missing

import qvtok
from qvtok._remote import CALLERS_FAULTS, failure, filesystem, is_url
from qvtok.partition import Partition

if TYPE_CHECKING:
    from qvtok.lib._qvtok import _Codec, _Format

__all__ = ["read_records"]

PathArg = str | os.PathLike[str]

# Records per file whose schema gives the frame's dtypes.
SCHEMA_SAMPLE = 1000


class _RecordsBag(dask.bag.Bag):
    """The bag that read_records returns: a dask.bag.Bag whose to_dataframe
    knows the dtypes of the records' fields."""

    # The files and the qvtok.open arguments that read them; empty for a
    # bag that Dask rebuilt (after persist), which infers as Dask does.
    _sources: tuple[str, ...] = ()
    _open_args: dict[str, Any] = {}
    _storage_options: dict[str, Any] | None = None

    def to_dataframe(self, meta: Any = None, columns: Sequence[str] | None = None,
                     optimize_graph: bool = True) -> Any:
        """dask.bag.Bag.to_dataframe, with `meta`, when not given, made from
        the schema of the first SCHEMA_SAMPLE records of each file: integers
        as Int64 and booleans as boolean (nullable, since a record past the
        sample may lack the field or hold null), floats as float64, strings
        as pandas' string default, anything else as object. Columns follow
        the first record's keys, then the others by name; `columns` picks
        some of them. A `meta` of the caller's is passed on as it is, and
        records that are not objects are left to Dask."""
        if meta is None and self._sources:
            meta = _schema_meta(self._sources, self._open_args, self._storage_options, columns)
            if meta is not None:
                columns = None
        return super().to_dataframe(  # type: ignore[no-untyped-call,unused-ignore]
            meta=meta, columns=columns, optimize_graph=optimize_graph
        )


def read_records(
    paths: PathArg | Sequence[PathArg],
    *,
    at: str | None = None,
    format: _Format = "auto",
    partition_size: int | str = "128MiB",
    compression: Literal["auto"] | _Codec | None = "auto",
    glob: bool | None = None,
    max_depth: int = 1024,
    storage_options: dict[str, Any] | None = None,
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
    that cannot be cut, is one partition.

    A str that starts with "scheme://" is a URL that fsspec reads
    ("s3://bucket/2026-*/*.jsonl.zst", "memory://data/*.jsonl"), with
    `storage_options` passed to fsspec for every URL; a pattern in it is
    expanded by fsspec's glob. A URL is cut as a file is, and each
    partition requests its own byte range; a compressed file or the records
    at a pointer are one partition. Workers open the URLs themselves."""
    sources = _expand(paths, glob, storage_options)
    open_args: dict[str, Any] = {"at": at, "format": format, "compression": compression, "max_depth": max_depth}
    parts = _plan(sources, open_args, storage_options, partition_size)
    name = "qvtok-read-records-" + tokenize(parts)
    # Wrapped in reify, as Dask's own bag tasks are: a partition that is
    # kept (computed, persisted, sent to another worker) becomes a list,
    # while Dask's optimizer unwraps it where map, filter, count and the
    # like are fused onto it, so that the records stream one at a time
    # instead of a whole partition's worth of values being held at once.
    graph: dict[Any, Any] = {(name, i): (reify, (_values, part)) for i, part in enumerate(parts)}
    bag = _RecordsBag(graph, name, len(parts))
    bag._sources = tuple(sources)
    bag._open_args = open_args
    bag._storage_options = storage_options
    return bag


# URLs planned at once: each costs a round trip or two and a small read.
_PLANNING_REQUESTS = 8


def _open(path: str, open_args: dict[str, Any], storage_options: dict[str, Any] | None) -> qvtok.Records:
    if is_url(path):
        return qvtok.open(path, **open_args, storage_options=storage_options)
    return qvtok.open(path, **open_args)


def _plan(sources: Sequence[str], open_args: dict[str, Any], storage_options: dict[str, Any] | None,
          size: int | str) -> list[Partition]:
    def plan_one(path: str) -> list[Partition]:
        with _open(path, open_args, storage_options) as records:
            return records.partitions(size)

    urls = [path for path in sources if is_url(path)]
    planned: dict[str, list[Partition]] = {}
    if len(urls) > 1:
        # The requests of many files overlap on a few threads of this call,
        # all joined before it returns.
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(min(_PLANNING_REQUESTS, len(urls))) as pool:
            planned = dict(zip(urls, pool.map(plan_one, urls)))
    parts: list[Partition] = []
    for path in sources:
        parts.extend(planned[path] if path in planned else plan_one(path))
    return parts


def _schema_meta(sources: Sequence[str], open_args: dict[str, Any], storage_options: dict[str, Any] | None,
                 columns: Sequence[str] | None) -> Any:
    # Each field's type names over every file: "?" ends an optional field's
    # name, and a field whose values are arrays or objects has no names.
    import pandas as pd  # type: ignore[import-untyped,unused-ignore]

    fields: dict[str, set[str] | None] = {}
    first: list[str] = []
    for path in sources:
        with _open(path, open_args, storage_options) as records:
            if not first:
                head = records.head(1)
                if head and isinstance(head[0], dict):
                    first = list(head[0])
            schema = json.loads(records.schema(sample=SCHEMA_SAMPLE))
        if schema == "unknown":
            continue
        if not isinstance(schema, dict) or "__oneof__" in schema:
            return None  # not every record is an object
        for key, kind in schema.items():
            # A field whose own name ends in "?" shows as itself where the
            # first record has it.
            name = key[:-1] if key.endswith("?") and key not in first else key
            names = set(kind.split("|")) if isinstance(kind, str) else None
            known = fields.get(name, set())
            fields[name] = None if names is None or known is None else known | names
    if not fields:
        return None
    order = [k for k in first if k in fields] + sorted(k for k in fields if k not in first)
    chosen = list(columns) if columns is not None else order
    strings = pd.Series(["text"]).dtype
    return pd.DataFrame({name: pd.Series([], dtype=_dtype(fields.get(name), strings)) for name in chosen})


def _dtype(names: set[str] | None, strings: Any) -> Any:
    kinds = (names or set()) - {"null"}
    if kinds == {"int"}:
        return "Int64"
    if kinds in ({"float"}, {"float", "int"}):
        return "float64"
    if kinds == {"bool"}:
        return "boolean"
    if kinds == {"str"}:
        return strings
    return object


def _values(part: Partition) -> Iterator[Any]:
    return iter(part.records())


def _expand(paths: PathArg | Sequence[PathArg], patterns: bool | None,
            storage_options: dict[str, Any] | None) -> list[str]:
    # Absolute, so that a worker whose working directory is not the
    # client's still finds the file.
    items = [paths] if isinstance(paths, (str, os.PathLike)) else list(paths)
    if not items:
        raise ValueError("read_records needs at least one path or pattern")
    found: list[str] = []
    for item in items:
        if is_url(item):
            found.extend(_expand_url(str(item), patterns, storage_options))
            continue
        path = os.fspath(item)
        if not _is_pattern(item, path, patterns):
            found.append(os.path.abspath(path))
            continue
        matches = sorted(globbing.glob(path, recursive=True))
        if not matches:
            raise FileNotFoundError(errno.ENOENT, "no file matches the pattern", path)
        found.extend(os.path.abspath(m) for m in matches)
    return found


def _expand_url(url: str, patterns: bool | None, storage_options: dict[str, Any] | None) -> list[str]:
    # As for a local path: a URL that names a file is that file, one that
    # names none and holds glob characters a pattern. The sizes come with
    # the listing; no file is opened here.
    if patterns is False or globbing.escape(url) == url:
        return [url]
    fs, path = filesystem(url, storage_options)
    try:
        if patterns is None and fs.isfile(path):
            return [url]
        listed = fs.glob(path, detail=True)
    except CALLERS_FAULTS:
        raise
    except Exception as e:
        raise failure(url, e, "cannot list") from e
    matches = sorted(name for name, info in listed.items() if info.get("type") != "directory")
    if not matches:
        raise FileNotFoundError(errno.ENOENT, "no file matches the pattern", url)
    return [str(fs.unstrip_protocol(name)) for name in matches]


def _is_pattern(item: PathArg, path: str, patterns: bool | None) -> bool:
    if patterns is not None:
        return patterns
    # A file named `a[1].jsonl` is that file, not a pattern that reads
    # `a1.jsonl`; a Path names one file, as open() takes it.
    return isinstance(item, str) and globbing.escape(path) != path and not os.path.exists(path)
