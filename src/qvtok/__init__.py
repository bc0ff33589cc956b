"""Fast, memory-conscious access to JSON and JSONL files far larger than memory."""

import os as _os
from typing import Any

from qvtok.lib._qvtok import (
    CompressionError,
    JSONDecodeError,
    Records,
    RecordsIterator,
    StructureLostError,
    bigjson,
    max_threads,
    open,
    set_max_threads,
)
from qvtok.partition import Partition
from qvtok.validation import Validation

__version__: str  # looked up on first use: importlib.metadata is slow to import

__all__ = [
    "CompressionError",
    "JSONDecodeError",
    "Partition",
    "Records",
    "RecordsIterator",
    "StructureLostError",
    "Validation",
    "bigjson",
    "max_threads",
    "open",
    "set_max_threads",
]


def _limit_from_environment() -> None:
    # For deployments that cannot change the code: a worker that shares its
    # machine, a container given one core of many.
    text = _os.environ.get("QVTOK_MAX_THREADS", "").strip()
    if not text:
        return
    try:
        set_max_threads(int(text))
    except ValueError as e:
        raise ImportError(f"QVTOK_MAX_THREADS={text!r}: a number of threads from 1 to 4096 is needed") from e


_limit_from_environment()


def _rebuild_error(cls: type[BaseException], args: tuple[Any, ...], state: dict[str, Any]) -> BaseException:
    error = cls.__new__(cls)
    error.args = args
    error.__dict__.update(state)
    return error


def _reduce_error(self: JSONDecodeError) -> tuple[Any, ...]:
    # json.JSONDecodeError pickles only msg, doc and pos, and rebuilds lineno
    # and colno from a document a stream never holds: an error sent from a
    # worker process would arrive with its place and `record` lost.
    return (_rebuild_error, (type(self), self.args, dict(self.__dict__)))


JSONDecodeError.__reduce__ = _reduce_error  # type: ignore[method-assign,assignment]


def _version() -> str:
    from importlib import metadata

    try:
        return metadata.version("qvtok")
    except metadata.PackageNotFoundError:
        pass
    # A checkout used in place, without an installation's metadata: the
    # version it declares.
    import tomllib
    from pathlib import Path

    pyproject = Path(__file__).resolve().parents[2] / "pyproject.toml"
    try:
        with pyproject.open("rb") as f:
            return str(tomllib.load(f)["project"]["version"])
    except (OSError, tomllib.TOMLDecodeError, KeyError):
        return "unknown"


def __getattr__(name: str) -> Any:
    if name == "__version__":
        version = _version()
        globals()["__version__"] = version
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
