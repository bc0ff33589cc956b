"""Fast, memory-conscious access to JSON and JSONL files far larger than memory."""

from qvtok.lib._qvtok import bigjson

__all__ = ["bigjson"]
