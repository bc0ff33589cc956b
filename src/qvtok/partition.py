"""Partitions: byte ranges of one file, each read on its own (in another
thread, process or machine), that together give every record once, in order."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import IO, Any, Iterator, Literal

from qvtok.lib import _qvtok
from qvtok.validation import Validation


@dataclass(frozen=True)
class Partition:
    """The records whose first byte lies in [offset, offset + length) of the
    file at `path`. Made by Records.partitions; a small value that pickles.

    `path` may be a URL, which a partition opens through fsspec with
    `storage_options` wherever it is read: on a worker of another machine,
    with the credentials those options carry.

    `first_record` is the index of its first record in the whole file, and
    `line` and `column` where it starts, when they are known: a JSON array
    is scanned to cut it, so they are; JSON Lines are cut by seeking, so
    beyond the first partition they are None, and errors then give `record`
    counted from the partition's start and `lineno` and `colno` within the
    record. `pos` is always the byte offset in the file. `on_error` is that
    of the Records it was cut from, so that a partition skips what the
    whole file skips, and `max_depth` that of its open(), so that it
    reads records as deep."""

    path: str
    offset: int
    length: int
    format: str
    at: str | None = None
    first_record: int | None = None
    line: int | None = None
    column: int | None = None
    last: bool = True
    compression: Literal["gzip", "zstd", "bzip2", "xz"] | None = None
    # Last, with a default: partitions pickled before it, or made by
    # position, still read as they did.
    on_error: Literal["raise", "skip"] = "raise"
    max_depth: int = 1024
    # Left out of the hash, which a dict has not, and of the repr, which
    # logs print: the options may hold credentials.
    storage_options: dict[str, Any] | None = field(default=None, hash=False, repr=False)

    def records(self) -> _qvtok.Records:
        """A Records object over this partition alone."""
        if self.offset == 0 and self.last:
            return _qvtok.open(self.path, at=self.at, format=self.format, on_error=self.on_error,
                               compression=self.compression, max_depth=self.max_depth,
                               storage_options=self.storage_options)
        return _qvtok._open_partition(
            self.path, self.format, self.at, self.offset, self.length,
            self.first_record or 0, self.line or 0, self.column or 0, self.last, self.on_error, self.max_depth,
            storage_options=self.storage_options,
        )

    def __iter__(self) -> Iterator[Any]:
        return iter(self.records())

    def count(self) -> int:
        return self.records().count()

    def load(self) -> list[Any]:
        return self.records().load()

    def head(self, n: int = 10) -> list[Any]:
        return self.records().head(n)

    def items(self) -> Iterator[tuple[str | None, Any]]:
        return self.records().items()

    def raw(self) -> Iterator[bytes]:
        return self.records().raw()

    def compact(self) -> Iterator[bytes]:
        return self.records().compact()

    def to_jsonl(self, dest: str | bytes | os.PathLike[str] | os.PathLike[bytes] | IO[bytes], /,
                 **kwargs: Any) -> int:
        return self.records().to_jsonl(dest, **kwargs)

    def validate(self) -> Validation:
        return self.records().validate()
