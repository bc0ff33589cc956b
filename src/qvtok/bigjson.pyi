"""Fast, constant-memory access to large JSON and JSONL files."""

from typing import Any, Iterator, Literal, final

__all__ = ["count", "schema", "load", "iter_records", "RecordIterator"]

_Format = Literal["json", "jsonl", "ndjson", "auto"] | str | None

JSONValue = None | bool | int | float | str | list[Any] | dict[str, Any]

def count(path: str, format: _Format = None) -> int: ...
def load(path: str, format: _Format = None) -> Any: ...
def iter_records(path: str, format: _Format = None) -> RecordIterator: ...
def schema(path: str, sample: int = 100, format: _Format = None) -> str: ...
@final
class RecordIterator(Iterator[Any]):
    """Python iterator wrapper returned by [`iter_records`]."""

    @property
    def bytes_read(self) -> int:
        """Bytes consumed from the file so far (for progress reporting)."""

    @property
    def total_bytes(self) -> int:
        """Total size of the file in bytes (0 if it could not be determined)."""

    def __iter__(self) -> RecordIterator: ...
    def __next__(self) -> Any: ...
