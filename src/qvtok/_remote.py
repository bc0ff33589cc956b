"""URLs (s3://, gs://, https://, memory://, ...) read through fsspec.

qvtok.open hands a str that starts with a scheme and "://" to open_url, and
reads what it returns as it reads a binary file object, once per pass.
fsspec is imported only here, on the first URL: a local path never pays
for it. fsspec's compression inference is left off; qvtok tells a codec by
the first bytes, as it does for a file.
"""

from __future__ import annotations

import errno
from typing import Any

from qvtok.lib._qvtok import _is_url

# The first read of a pass over a whole file fetches little, so that opening
# a file to tell its format and codec (as planning a thousand files does)
# costs one small request; each later fetch doubles, up to blocks that keep
# the requests per second of a fast link low.
FIRST_FETCH = 256 << 10
LARGEST_FETCH = 16 << 20

INSTALL_HINT = 'reading a URL needs fsspec: pip install "qvtok[remote]"'


def is_url(text: object) -> bool:
    """Whether `text` is a URL that qvtok reads through fsspec: a str that
    starts with "scheme://", the scheme two characters or more ("C:/data"
    is a Windows drive). A path that must start so is written with "./" in
    front of it, or given as a pathlib.Path. qvtok.open decides by the
    same rule."""
    return _is_url(text)


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
    in growing blocks and never reports the end before `size` bytes came.

    On fsspec's asynchronous stores (s3, http, gcs, ...) each block is a
    ranged request on fsspec's own event loop, and once the pass reads past
    its first block, the next block is requested before the current one is
    waited for: the network works while the records are parsed, with no
    thread of qvtok's. Other stores are read block after block."""

    def __init__(self, url: str, storage_options: dict[str, Any] | None, offset: int = 0,
                 length: int | None = None) -> None:
        """The bytes [offset, offset + length) of the URL, all of it from
        `offset` without a length."""
        self.url = url
        self._file: Any = None
        try:
            fs, path = filesystem(url, storage_options)
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
        whole: int | None = size if isinstance(size, int) and size >= 0 else None
        self.size = whole
        self._offset = offset
        if offset or length is not None:
            if whole is None:
                raise OSError(errno.ESPIPE, "a part of a file needs its size, which the store did not tell", url)
            self.size = max(0, min(whole - offset, whole if length is None else length))
            if not self._ranged_store(fs):
                self._file.seek(offset)
        self._block: memoryview = memoryview(b"")
        self._at = 0
        # A part of a file is read for its records, never to tell a format:
        # it takes the largest blocks at once, in the fewest requests.
        self._fetch = FIRST_FETCH if offset == 0 and length is None else LARGEST_FETCH
        self._done = 0  # bytes fetched
        self._fs, self._path = fs, path
        self._ranged = self.size is not None and self._ranged_store(fs)
        self._next = 0  # where the next ranged request starts
        self._ahead: tuple[Any, int, int] | None = None  # (future, start, end) of a request on its way
        self._refills = 0

    def readable(self) -> bool:
        return True

    def read(self, n: int = -1) -> memoryview:
        if self._at >= len(self._block):
            self._refill()
        end = len(self._block) if n < 0 else self._at + n
        got = self._block[self._at:end]
        self._at += len(got)
        return got

    def _ranged_store(self, fs: Any) -> bool:
        # A stream (an HTTP server that takes no Range) is read in order.
        return (bool(getattr(fs, "async_impl", False)) and getattr(fs, "loop", None) is not None
                and not type(self._file).__name__.endswith("StreamFile"))

    def _request(self) -> tuple[Any, int, int] | None:
        import asyncio

        assert self.size is not None
        if self._next >= self.size:
            return None
        start, end = self._next, min(self._next + self._fetch, self.size)
        self._next = end
        self._fetch = min(self._fetch * 2, LARGEST_FETCH)
        base = self._offset
        coroutine = self._fs._cat_file(self._path, start=base + start, end=base + end)
        return asyncio.run_coroutine_threadsafe(coroutine, self._fs.loop), start, end

    def _ranged_read(self) -> bytes:
        current, self._ahead = self._ahead or self._request(), None
        if current is None:
            return b""
        future, start, end = current
        if self._refills > 0:
            self._ahead = self._request()
        data = future.result()
        if start == 0 and self._offset == 0 and len(data) == self.size and end < self.size:
            # A server that takes no Range sends the whole file: that is
            # all there is to read.
            self._cancel_ahead()
            self._next = self.size
        elif len(data) > end - start:
            raise OSError(errno.EIO, f"the server sent more than the bytes {start}-{end - 1} asked for")
        if data and len(data) < end - start:
            # A short answer: the request on its way starts past a gap.
            self._cancel_ahead()
            self._next = start + len(data)
        return bytes(data)

    def _cancel_ahead(self) -> None:
        ahead, self._ahead = self._ahead, None
        if ahead is not None:
            ahead[0].cancel()

    def _refill(self) -> None:
        try:
            if self._ranged:
                data = self._ranged_read()
            else:
                want = self._fetch if self.size is None else min(self._fetch, self.size - self._done)
                data = self._file.read(want) if want > 0 else b""
                self._fetch = min(self._fetch * 2, LARGEST_FETCH)
        except MemoryError:
            raise
        except Exception as e:
            self._cancel_ahead()
            raise failure(self.url, e, f"read failed after {self._done} bytes") from e
        self._refills += 1
        if not data and self.size is not None and self._done < self.size:
            # A connection that ends early must not read as the end of the
            # records.
            raise OSError(errno.EIO, f"the data ended after {self._done} of its {self.size} bytes", self.url)
        self._done += len(data)
        self._block = memoryview(data)
        self._at = 0

    def close(self) -> None:
        if getattr(self, "_ahead", None) is not None:
            self._cancel_ahead()
        file, self._file = self._file, None
        if file is not None:
            file.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass  # a read-only file has nothing to lose


def open_url(url: str, storage_options: dict[str, Any] | None, offset: int = 0,
             length: int | None = None) -> RemoteFile:
    return RemoteFile(url, storage_options, offset, length)


# Bytes looked at, from a cut on, for the line feed that ends its line.
LINE_PROBE = 64 << 10


def line_starts(url: str, storage_options: dict[str, Any] | None, size: int, target: int) -> list[int]:
    """Where the partitions of a JSON Lines file of `size` bytes after the
    first start, about `target` bytes apart: a cut at byte `at` moves to
    the start of the line that holds it when that is `at` itself, else to
    the next line; the last line runs to the end. A few ranged reads per
    cut, not the file; none where the server takes no Range."""
    fs, path = filesystem(url, storage_options)
    starts: list[int] = []
    at = target
    while at < size:
        scan, start = at - 1, 0
        while start == 0 and scan < size:
            end = min(scan + LINE_PROBE, size)
            try:
                probe = fs.cat_file(path, start=scan, end=end)
            except CALLERS_FAULTS:
                raise
            except Exception as e:
                raise failure(url, e, f"cannot read at byte {scan}") from e
            if not probe:
                break
            # A server that takes no Range sends the file from its start,
            # where a line feed would be placed wrong: such a file is read
            # whole, as one partition.
            if len(probe) > end - scan:
                return []
            found = probe.find(b"\n")
            if found >= 0:
                start = scan + found + 1
            scan += len(probe)
        if start == 0 or start >= size:
            break
        starts.append(start)
        at = start + target
    return starts
