"""Fast, memory-conscious access to large JSON and JSONL files."""

from typing import Any, Iterator, Literal, final

__all__ = ["count", "schema", "load", "iter_records", "RecordIterator"]

# Any letter case is accepted, so any str; the literals document the names.
_Format = Literal["json", "jsonl", "ndjson", "auto"] | str | None

def count(path: str, format: _Format = None) -> int:
    """Count the number of top-level records in a JSON or JSONL file."""

def load(path: str, format: _Format = None) -> Any:
    """Load a JSON / JSONL file fully into memory and return it as a Python object."""

def iter_records(path: str, format: _Format = None) -> RecordIterator:
    """Return a lazy iterator over the records of a JSON / JSONL file."""

def schema(path: str, sample: int = 100, format: _Format = None) -> str:
    """Infer the structure of the records in a JSON / JSONL file."""

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
