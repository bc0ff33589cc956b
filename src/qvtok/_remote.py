"""URLs (s3://, gs://, https://, memory://, ...) read through fsspec.

qvtok.open hands a str that starts with a scheme and "://" to open_url, and
reads what it returns as it reads a binary file object, once per pass.
fsspec is imported only here, on the first URL: a local path never pays
for it. fsspec's compression inference is left off; qvtok tells a codec by
the first bytes, as it does for a file.
"""

from __future__ import annotations

import errno
import re
from typing import Any

# A scheme of two characters or more: "C:/data" is a Windows drive.
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.\-]+://")

# The first read of a pass fetches little, so that opening a file to tell
# its format and codec (as planning a thousand files does) costs one small
# request; each later fetch doubles, up to blocks that keep the requests
# per second of a fast link low.
FIRST_FETCH = 256 << 10
LARGEST_FETCH = 16 << 20

INSTALL_HINT = 'reading a URL needs fsspec: pip install "qvtok[remote]"'


def is_url(text: object) -> bool:
    """Whether `text` is a URL that qvtok reads through fsspec: a str that
    starts with "scheme://". A path that must start so is written with
    "./" in front of it, or given as a pathlib.Path."""
    return isinstance(text, str) and _URL.match(text) is not None


def filesystem(url: str, storage_options: dict[str, Any] | None) -> tuple[Any, str]:
    """fsspec's file system for `url` and the path in it."""
    try:
        import fsspec.core  # type: ignore[import-untyped,unused-ignore]
    except ImportError as missing:
        raise ImportError(INSTALL_HINT, name=missing.name, path=missing.path) from missing
    fs, path = fsspec.core.url_to_fs(url, **(storage_options or {}))
    return fs, str(path)


# What a failed request says, as the OSError that open() raises for a file.
_BY_STATUS = {401: PermissionError, 403: PermissionError, 404: FileNotFoundError, 410: FileNotFoundError}


def failure(url: str, error: BaseException, action: str) -> OSError:
    """`error`, raised by fsspec or the library under it, as an OSError of
    the matching class that names `url`; the original is its cause."""
    cls: type[OSError]
    code = errno.EIO
    status = _http_status(error)
    by_status = _BY_STATUS.get(status) if status is not None else None
    if by_status is PermissionError or (by_status is None and isinstance(error, PermissionError)):
        cls, code = PermissionError, errno.EACCES
    elif by_status is FileNotFoundError or isinstance(error, FileNotFoundError):
        cls, code = FileNotFoundError, errno.ENOENT
    elif isinstance(error, IsADirectoryError):
        cls, code = IsADirectoryError, errno.EISDIR
    elif isinstance(error, TimeoutError):
        cls, code = TimeoutError, errno.ETIMEDOUT
    else:
        cls = OSError
        if isinstance(error, OSError) and isinstance(error.errno, int):
            code = error.errno
    text = str(error) or type(error).__name__
    return cls(code, f"{action}: {text}", url)


def _http_status(error: BaseException) -> int | None:
    # fsspec's HTTP file system raises FileNotFoundError for any failed
    # request when it looks a file up, with the response's error as the
    # cause: a 403 there is a PermissionError, not a missing file.
    seen: BaseException | None = error
    for _ in range(8):
        if seen is None:
            break
        status = getattr(seen, "status", None)
        if isinstance(status, int) and status in _BY_STATUS:
            return status
        seen = seen.__cause__ or seen.__context__
    return None


# Raised as they are: a wrong argument or a missing package is no failure
# of the source.
CALLERS_FAULTS = (TypeError, ValueError, ImportError, NotImplementedError, MemoryError)


class RemoteFile:
    """One pass over a URL: a binary file object with read(n), which fetches
    in growing blocks and never reports the end before `size` bytes came."""

    def __init__(self, url: str, storage_options: dict[str, Any] | None) -> None:
        self.url = url
        self._file: Any = None
        fs, path = filesystem(url, storage_options)
        try:
            # Each fetch is one request of the size asked: the blocks are
            # chosen here, so fsspec caches nothing in between.
            self._file = fs.open(path, "rb", block_size=LARGEST_FETCH, cache_type="none", compression=None)
            size = getattr(self._file, "size", None)
            if not isinstance(size, int):
                size = fs.size(path)
        except CALLERS_FAULTS:
            raise
        except Exception as e:
            raise failure(url, e, "cannot open") from e
        # None where the server does not tell it: progress then has no end.
        self.size: int | None = size if isinstance(size, int) and size >= 0 else None
        self._block: memoryview = memoryview(b"")
        self._at = 0
        self._fetch = FIRST_FETCH
        self._done = 0  # bytes fetched

    def readable(self) -> bool:
        return True

    def read(self, n: int = -1) -> memoryview:
        if self._at >= len(self._block):
            self._refill()
        end = len(self._block) if n < 0 else self._at + n
        got = self._block[self._at:end]
        self._at += len(got)
        return got

    def _refill(self) -> None:
        try:
            data = self._file.read(self._fetch)
        except MemoryError:
            raise
        except Exception as e:
            raise failure(self.url, e, f"read failed after {self._done} bytes") from e
        self._fetch = min(self._fetch * 2, LARGEST_FETCH)
        if not data and self.size is not None and self._done < self.size:
            # A connection that ends early must not read as the end of the
            # records.
            raise OSError(errno.EIO, f"the data ended after {self._done} of its {self.size} bytes", self.url)
        self._done += len(data)
        self._block = memoryview(data)
        self._at = 0

    def close(self) -> None:
        file, self._file = self._file, None
        if file is not None:
            file.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass  # a read-only file has nothing to lose


def open_url(url: str, storage_options: dict[str, Any] | None) -> RemoteFile:
    return RemoteFile(url, storage_options)
