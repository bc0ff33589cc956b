"""The native extension module. Compiled as `qvtok.lib._qvtok`."""

from qvtok import bigjson as bigjson

__all__ = ["bigjson"]
