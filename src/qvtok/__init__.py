"""Fast, memory-conscious access to JSON and JSONL files far larger than memory."""

from qvtok.lib._qvtok import CompressionError, JSONDecodeError, Records, RecordsIterator, bigjson, open

__all__ = ["CompressionError", "JSONDecodeError", "Records", "RecordsIterator", "bigjson", "open"]
