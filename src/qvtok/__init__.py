"""Fast, memory-conscious access to JSON and JSONL files far larger than memory."""

from qvtok.lib._qvtok import JSONDecodeError, Records, RecordsIterator, bigjson, open

__all__ = ["JSONDecodeError", "Records", "RecordsIterator", "bigjson", "open"]
