"""The native extension module. Compiled as `qvtok.lib._qvtok`."""

import json
import os
from types import TracebackType
from typing import IO, Any, Callable, Generic, Iterator, Literal, Protocol, TypeVar, final

from qvtok import bigjson as bigjson
from qvtok.partition import Partition
from qvtok.validation import Validation

__all__ = ["bigjson"]

class _Readable(Protocol):
    """A binary file object: read(size) returns at most size bytes, b"" at the end."""

    def read(self, size: int, /) -> bytes:
        """At most `size` bytes; b"" at the end."""

class _Writable(Protocol):
    """A binary file object to write to."""

    def write(self, data: bytes, /) -> int | None:
        """Writes `data`."""

_Source = str | bytes | os.PathLike[str] | os.PathLike[bytes] | _Readable | IO[bytes]
_Format = Literal["auto", "json", "jsonl", "ndjson"] | str | None
_Codec = Literal["gzip", "zstd", "bzip2", "xz"]
# The progress of a long pass: True for a tqdm bar (pip install qvtok[progress]),
# or a callable told (bytes done, bytes in all or None) at the start, at most
# ten times a second, and at the end; what it raises ends the pass.
_Progress = bool | Callable[[int, int | None], object] | None

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

_T_co = TypeVar("_T_co", covariant=True)

@final
class RecordsIterator(Iterator[_T_co], Generic[_T_co]):
    """One pass over the records of a qvtok.Records: their values, (key,
    value) pairs, or texts as bytes, by the method that made it."""

    @property
    def bytes_read(self) -> int:
        """Bytes of the input read so far (of the compressed file, for one)."""
    @property
    def total_bytes(self) -> int | None:
        """The input's size in bytes, None where it is not known (a pipe, a
        file object other than a plain file)."""
    @property
    def records_read(self) -> int:
        """Records handed out so far."""
    @property
    def error_count(self) -> int:
        """Record errors met so far, raised or skipped."""
    @property
    def errors(self) -> list[JSONDecodeError]:
        """The first 1000 record errors skipped with on_error="skip"."""
    def __iter__(self) -> RecordsIterator[_T_co]: ...
    def __next__(self) -> _T_co: ...

@final
class Records:
    """The records of one source, made by qvtok.open. A path is read anew by
    each pass; a file object or standard input only once. In a `with` block
    it is closed at the end (see close)."""

    def __iter__(self) -> RecordsIterator[Any]:
        """An iterator of the records' values, one at a time."""
    def __enter__(self) -> Records:
        """The Records itself."""
    def __exit__(
        self, exc_type: type[BaseException] | None, exc: BaseException | None, tb: TracebackType | None, /
    ) -> Literal[False]:
        """Calls close(); an exception from the block is raised on."""
    def close(self) -> None:
        """Lets go of the file that open() opened, or of the caller's file
        object, which is not closed: the caller opened it. A path can still
        be read: each pass opens it anew."""
    def count(self, *, progress: _Progress = None) -> int:
        """The number of records, read without making values."""
    def head(self, n: int = 10) -> list[Any]:
        """The values of the first n records, as a list; ValueError for a
        negative n."""
    def load(self, *, progress: _Progress = None) -> list[Any]:
        """The values of all records, as a list."""
    def items(self) -> RecordsIterator[tuple[str | None, Any]]:
        """An iterator of (key, value): the member's key for records at a
        pointer into an object, None for array elements and whole documents."""
    def raw(self) -> RecordsIterator[bytes]:
        """An iterator of each record's exact text, as bytes."""
    def compact(self) -> RecordsIterator[bytes]:
        """An iterator of each record's text on one line, as bytes: checked as
        JSON, white space outside strings dropped, no Python values built."""
    def schema(self, sample: int | Literal["all"] | None = 100, *, progress: _Progress = None) -> str:
        """The structure of the first `sample` records (all with None or
        "all"; none with 0, which gives "unknown"), as bigjson.schema renders it."""
    def to_jsonl(
        self,
        dest: str | bytes | os.PathLike[str] | os.PathLike[bytes] | _Writable,
        /,
        *,
        compression: Literal["auto"] | _Codec | None = "auto",
        progress: _Progress = None,
    ) -> int:
        """Writes each record on one line to a path or a binary file object;
        returns the number written. A path ending in .gz, .zst, .bz2 or .xz
        is compressed with that codec; `compression` may name one, or be
        None for none. A path is written under another name in its folder
        and renamed once complete: a failure leaves what was there before."""
    def validate(self, *, workers: int | None = None, progress: _Progress = None) -> Validation:
        """Parses every record, on `workers` threads where the file can be
        cut. Returns (count of good records, the first 1000 errors), whose
        `invalid` counts every invalid record; record errors are not raised."""
    def _validate(
        self, workers: int | None, keep: int, part_size: int = 0,
        progress: Callable[[int, int | None], object] | None = None,
        found: Callable[[JSONDecodeError], object] | None = None, /,
    ) -> tuple[int, int, list[JSONDecodeError], BaseException | None]: ...
    def partitions(self, size: int | str = "128MiB") -> list[Partition]:
        """Byte ranges of the file of about `size` bytes each (an int, or a
        string such as "128MiB"): together they read every record once, in order."""

def _open_partition(
    path: str, format: str, at: str | None, offset: int, length: int, first_record: int, line: int, column: int,
    last: bool, on_error: Literal["raise", "skip"] = "raise", max_depth: int = 1024, /,
    storage_options: dict[str, Any] | None = None,
) -> Records: ...

def _is_url(text: object, /) -> bool: ...

def open(
    source: _Source,
    *,
    at: str | None = None,
    format: _Format = "auto",
    on_error: Literal["raise", "skip"] = "raise",
    compression: Literal["auto"] | _Codec | None = "auto",
    max_depth: int = 1024,
    storage_options: dict[str, Any] | None = None,
) -> Records:
    """The records of a JSON or JSONL input, read one at a time. A record
    may nest arrays and objects `max_depth` deep (1 to 10000). A str that
    starts with "scheme://" is a URL read through fsspec, to which
    `storage_options` is passed."""

def max_threads() -> int:
    """How many threads qvtok keeps busy at most, the caller's included."""

def set_max_threads(n: int | None, /) -> None:
    """Lets qvtok keep at most n threads busy; None takes the limit away."""
