"""The native extension module. Compiled as `qvtok.lib._qvtok`."""

import json
import os
from typing import IO, Any, Callable, Iterator, Literal, Protocol, final

from qvtok import bigjson as bigjson
from qvtok.partition import Partition
from qvtok.validation import Validation

__all__ = ["bigjson"]

class _Readable(Protocol):
    def read(self, size: int = ..., /) -> bytes: ...

class _Writable(Protocol):
    def write(self, data: bytes, /) -> int | None: ...

_Source = str | bytes | os.PathLike[str] | os.PathLike[bytes] | _Readable | IO[bytes]
_Format = Literal["auto", "json", "jsonl", "ndjson"] | str | None
_Codec = Literal["gzip", "zstd", "bzip2", "xz"]

class CompressionError(OSError):
    """Compressed input that does not decode: corrupt, or cut short."""

    codec: _Codec
    offset: int

class JSONDecodeError(json.JSONDecodeError):
    """A record that is not valid JSON."""

    record: int

class StructureLostError(JSONDecodeError):
    """The bytes after a fault that leaves no later record to be told apart
    (a quote or bracket out of place in a JSON array): they were not checked.
    `record`, `pos`, `lineno` and `colno` name the faulty record and its
    fault; `end` is None where the input's size is not known."""

    start: int
    end: int | None

@final
class RecordsIterator(Iterator[Any]):
    """One pass over the records of a qvtok.Records."""

    @property
    def bytes_read(self) -> int: ...
    @property
    def total_bytes(self) -> int | None: ...
    @property
    def records_read(self) -> int: ...
    @property
    def error_count(self) -> int: ...
    @property
    def errors(self) -> list[JSONDecodeError]: ...
    def __iter__(self) -> RecordsIterator: ...
    def __next__(self) -> Any: ...

@final
class Records:
    """The records of one source, made by qvtok.open."""

    def __iter__(self) -> RecordsIterator: ...
    def count(self) -> int: ...
    def head(self, n: int, /) -> list[Any]: ...
    def load(self) -> list[Any]: ...
    def items(self) -> RecordsIterator: ...
    def raw(self) -> RecordsIterator: ...
    def compact(self) -> RecordsIterator: ...
    def schema(self, sample: int | None = 100) -> str: ...
    def to_jsonl(
        self,
        dest: str | bytes | os.PathLike[str] | os.PathLike[bytes] | _Writable,
        /,
        *,
        compression: Literal["auto"] | _Codec | None = "auto",
    ) -> int: ...
    def validate(self, *, workers: int | None = None) -> Validation: ...
    def _validate(
        self, workers: int | None, keep: int, part_size: int = 0,
        progress: Callable[[int, int], object] | None = None, /,
    ) -> tuple[int, int, list[JSONDecodeError], BaseException | None]: ...
    def partitions(self, size: int | str = "128MiB") -> list[Partition]: ...

def _open_partition(
    path: str, format: str, at: str | None, offset: int, length: int, first_record: int, line: int, column: int,
    last: bool, on_error: Literal["raise", "skip"] = "raise", max_depth: int = 1024, /,
) -> Records: ...

def open(
    source: _Source,
    *,
    at: str | None = None,
    format: _Format = "auto",
    on_error: Literal["raise", "skip"] = "raise",
    compression: Literal["auto"] | _Codec | None = "auto",
    max_depth: int = 1024,
) -> Records:
    """The records of a JSON or JSONL input, read one at a time. A record
    may nest arrays and objects `max_depth` deep (1 to 10000)."""

def max_threads() -> int:
    """How many threads qvtok keeps busy at most, the caller's included."""

def set_max_threads(n: int | None, /) -> None:
    """Lets qvtok keep at most n threads busy; None takes the limit away."""
