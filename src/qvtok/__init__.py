"""Fast, memory-conscious access to JSON and JSONL files far larger than memory."""

from qvtok.lib._qvtok import CompressionError, JSONDecodeError, Records, RecordsIterator, bigjson, open
from qvtok.partition import Partition

__all__ = ["CompressionError", "JSONDecodeError", "Partition", "Records", "RecordsIterator", "bigjson", "open"]
