"""The ``qvtok`` command: count, schema, head, to-jsonl and validate on the
command line.

Standard output carries the results only (numbers, JSON text, validation
reports), so that it can be piped; failures and the progress bar go to
standard error. Exit status: 0 on success, 1 when ``validate`` found invalid
records, 2 on an error (bad arguments, a file that cannot be read, a record
``head`` or ``to-jsonl`` cannot parse), 130 when interrupted, 141 when
standard output was closed early by its reader.
"""

from __future__ import annotations

import argparse
import glob
import importlib.metadata
import io
import json
import os
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from typing import BinaryIO, Literal, TextIO

import qvtok
from qvtok._remote import is_url

EXIT_OK = 0
EXIT_INVALID = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 128 + 2  # as if killed by SIGINT, the shells' convention
EXIT_BROKEN_PIPE = 128 + 13  # as if killed by SIGPIPE, like a C tool would be

MAX_SAMPLE = 2**64 - 1
DEFAULT_SAMPLE = 100
DEFAULT_MAX_ERRORS = 20
STDIN = "-"

FORMAT_HELP = "json, jsonl, ndjson or auto, in any letter case (default: auto, from the file name, then its content)"
AT_HELP = "JSON Pointer to the container whose members are the records, such as /data/items"
FILE_HELP = (
    "JSON or JSONL files, compressed or not, or glob patterns (** included) that qvtok expands when the "
    "shell did not; - or none for standard input"
)
PROGRESS_HELP = "draw a progress bar on standard error (default: when standard error is a terminal)"
# A document that holds its records in one member is hinted at when its size
# is below this: finding the largest member reads each whole into memory.
HINT_MAX_BYTES = 256 * 2**20
# The codec of an output path, as to_jsonl goes by its extension.
OUTPUT_CODECS: dict[str, Literal["gzip", "zstd", "bzip2", "xz"]] = {
    ".gz": "gzip", ".zst": "zstd", ".bz2": "bzip2", ".xz": "xz"
}
COMPRESSIONS = ("auto", "none", "gzip", "zstd", "bzip2", "xz")
COMPRESSION_HELP = "how the input is compressed (default: auto, from its first bytes)"


def _version() -> str:
    try:
        return importlib.metadata.version("qvtok")
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


class CommandError(Exception):
    """A failure that ends the command with status 2 and the given message."""


def _sample(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value <= MAX_SAMPLE:
        raise argparse.ArgumentTypeError(f"must be between 0 and {MAX_SAMPLE}: {value}")
    return value


def _non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


def _human(size: int) -> str:
    """A byte count for people: 512 B, 63.9 KiB, 1.2 GiB."""
    if size < 1024:
        return f"{size} B"
    amount = size / 1024
    for unit in ("KiB", "MiB", "GiB"):
        if amount < 1024:
            return f"{amount:.1f} {unit}"
        amount /= 1024
    return f"{amount:.1f} TiB"


def render_progress(done: int, total: int, columns: int) -> str:
    """One line of progress that fits in `columns` without wrapping."""
    if total <= 0:
        # A pipe or a file whose size is unknown: no fraction to show.
        text = f"{_human(done)} read"
    else:
        fraction = min(done / total, 1.0)
        tail = f" {int(fraction * 100):3d}% {_human(done)} / {_human(total)}"
        width = min(40, columns - 1 - len(tail) - 2)
        if width >= 10:
            filled = int(fraction * width)
            text = "[" + "#" * filled + "-" * (width - filled) + "]" + tail
        else:
            text = tail.lstrip()
    return text[: max(columns - 1, 0)]


class Progress:
    """A bar on one terminal line, redrawn at most ten times a second."""

    INTERVAL = 0.1

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream
        self._next_draw = float("-inf")
        self._line = ""

    def _columns(self) -> int:
        try:
            columns = os.get_terminal_size(self._stream.fileno()).columns
        except (OSError, ValueError):
            columns = 0
        return columns if columns > 0 else 80

    def update(self, done: int, total: int | None) -> None:
        if not total:
            return  # a pipe: nothing to measure against
        now = time.monotonic()
        if now < self._next_draw and done < total:
            return  # the end is always drawn
        self._next_draw = now + self.INTERVAL
        line = render_progress(done, total, self._columns())
        if line != self._line:
            self._stream.write("\r" + line + "\x1b[K")
            self._stream.flush()
            self._line = line

    __call__ = update

    def clear(self) -> None:
        if self._line:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._line = ""


def _progress(args: argparse.Namespace) -> Progress | None:
    """The bar, when asked for or when standard error is a terminal."""
    if sys.stderr is None:
        return None
    wanted = args.progress if args.progress is not None else sys.stderr.isatty()
    return Progress(sys.stderr) if wanted else None


def expand(names: Sequence[str]) -> list[str]:
    """The files named, with the patterns that the shell left alone (quoted,
    or run without a shell) expanded, each sorted; a file that exists is
    itself even when its name holds glob characters, and a URL is read as
    it is (the "?" of its query string is no pattern)."""
    files: list[str] = []
    for name in names:
        if name == STDIN or os.path.lexists(name) or not glob.has_magic(name) or is_url(name):
            files.append(name)
            continue
        matches = sorted(glob.glob(name, recursive=True))
        if not matches:
            raise CommandError(f"no file matches {name}")
        files.extend(matches)
    return files


def _open(args: argparse.Namespace, file: str) -> qvtok.Records:
    if file == STDIN and sys.stdin is None:
        # Started with standard input closed (<&-): descriptor 0 is not ours.
        raise CommandError("standard input is closed")
    try:
        compression = None if args.compression == "none" else args.compression
        return qvtok.open(file, at=args.at, format=args.format, compression=compression)
    except qvtok.CompressionError as e:
        # The input opened: its first bytes, read to tell its format, are
        # what does not decode, as a later read would tell it.
        raise CommandError(_describe(e)) from e
    except OSError as e:
        raise CommandError(f"cannot open {file}: {_strerror(e)}") from e


def _each(args: argparse.Namespace) -> Iterator[tuple[str, qvtok.Records]]:
    """Each file with its records, opened as its turn comes; what goes wrong
    reading it names the file."""
    for file in args.files:
        args.file = file
        yield file, _open(args, file)


def _hint(args: argparse.Namespace, file: str) -> None:
    """Says on standard error where the records seem to be when a whole
    document turned out to be one object whose largest member is an array.
    Only for a plain file of moderate size: the structure of the document,
    from which its members' names come, is read whole into memory."""
    if args.at is not None or file == STDIN or sys.stderr is None or not os.path.isfile(file):
        return
    compression = None if args.compression == "none" else args.compression
    try:
        if os.path.getsize(file) > HINT_MAX_BYTES:
            return
        structure = json.loads(qvtok.open(file, format=args.format, compression=compression).schema(sample=1))
        if not isinstance(structure, dict):
            return
        largest, most = None, 0
        for key, kind in structure.items():
            if not isinstance(kind, list):
                continue
            pointer = "/" + key.replace("~", "~0").replace("/", "~1")
            n = qvtok.open(file, at=pointer, format=args.format, compression=compression).count()
            if n > most:
                largest, most = pointer, n
    except (qvtok.JSONDecodeError, OSError, ValueError):
        return  # no hint is better than a wrong one
    if largest is not None:
        _complain(f"hint: the records seem to be under {largest}; try --at {largest}")


def _strerror(error: OSError) -> str:
    return error.strerror or str(error) or type(error).__name__


def _where(name: str, error: qvtok.JSONDecodeError) -> str:
    """FILE:LINE:COLUMN: record N: MSG, the way compilers point at a fault;
    FILE: MSG for the bytes that a lost structure left unchecked, which are
    no record and have no place of their own."""
    if isinstance(error, qvtok.StructureLostError):
        return f"{name}: {error.msg}"
    return f"{name}:{error.lineno}:{error.colno}: record {error.record}: {error.msg}"


def _binary(out: TextIO) -> BinaryIO:
    """The byte stream under `out`, with the text written so far flushed
    ahead of what comes next."""
    out.flush()
    return out.buffer


def _with_bar(args: argparse.Namespace, work: Callable[[Progress | None], object]) -> object:
    """Runs `work` with the bar, if one is drawn, cleared after it."""
    progress = _progress(args)
    try:
        return work(progress)
    finally:
        if progress is not None:
            progress.clear()


def run_count(args: argparse.Namespace, out: TextIO) -> int:
    """One file: its count alone. Several: a count and the name on each
    line, and the sum on a last line, as wc -l prints them."""
    total = 0
    for file, records in _each(args):
        n = _with_bar(args, lambda progress: records.count(progress=progress))
        assert isinstance(n, int)
        total += n
        if len(args.files) > 1:
            out.write(f"{n} {file}\n")
        else:
            out.write(f"{n}\n")
        if n == 1:
            out.flush()  # the hint follows the count it is about
            _hint(args, file)
    if len(args.files) > 1:
        out.write(f"{total} total\n")
    return EXIT_OK


def run_schema(args: argparse.Namespace, out: TextIO) -> int:
    """One file: its structure. Several: an object of each file's, by name,
    each file sampled on its own."""
    schemas: dict[str, object] = {}
    for file, records in _each(args):
        text = _with_bar(args, lambda progress: records.schema(sample=args.sample, progress=progress))
        assert isinstance(text, str)
        if len(args.files) == 1:
            out.write(text + "\n")
            return EXIT_OK
        schemas[file] = json.loads(text)
    out.write(json.dumps(schemas, indent=2, ensure_ascii=False) + "\n")
    return EXIT_OK


def run_head(args: argparse.Namespace, out: TextIO) -> int:
    """The first records of the files taken in order as one stream, as
    to-jsonl would write them."""
    buffer = _binary(out)
    left = args.n
    for file, records in _each(args):
        if left == 0:
            break
        texts: Iterator[bytes] = records.compact()
        printed = 0

        def first(progress: Progress | None) -> None:
            nonlocal printed
            total = texts.total_bytes  # type: ignore[attr-defined]
            # Ask for no record beyond the last one wanted: on a huge file
            # the command returns after reading its first block.
            while printed < left:
                try:
                    record = next(texts)
                except StopIteration:
                    return
                buffer.write(record + b"\n")
                printed += 1
                if progress is not None:
                    progress.update(texts.bytes_read, total)  # type: ignore[attr-defined]

        _with_bar(args, first)
        left -= printed
        if printed == 1 and left > 0:
            buffer.flush()
            _hint(args, file)
    return EXIT_OK


def _temporary_beside(path: str) -> tuple[str, BinaryIO]:
    """A new file in `path`'s folder to write before it takes `path`'s name,
    with the permissions a new file gets."""
    folder, base = os.path.split(path)
    for attempt in range(100):
        name = os.path.join(folder, f".{base}.{os.getpid()}.{time.monotonic_ns():x}.{attempt}.tmp")
        try:
            fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o666)
        except FileExistsError:
            continue
        return name, os.fdopen(fd, "wb")
    raise FileExistsError(f"no free name beside {path}")


def run_to_jsonl(args: argparse.Namespace, out: TextIO) -> int:
    """The records of every file in order, as one stream: several files
    to a compressed path are one compressed stream after another, as
    concatenated gzip, zstd, bzip2 or xz files are."""
    if args.output == STDIN:
        for _, records in _each(args):
            _with_bar(args, lambda progress: records.to_jsonl(_binary(out), compression=None, progress=progress))
        return EXIT_OK
    try:
        if len(args.files) == 1:
            # Given the path, to_jsonl refuses to write over its input before
            # it opens anything, compresses by the name's extension, and
            # leaves no partial file after a failure.
            for _, records in _each(args):
                _with_bar(args, lambda progress: records.to_jsonl(args.output, progress=progress))
            return EXIT_OK
        _to_jsonl_from_several(args)
    except OSError as e:
        if e.filename != args.output:
            raise  # the input's
        raise CommandError(f"cannot write {args.output}: {_strerror(e)}") from e
    return EXIT_OK


def _to_jsonl_from_several(args: argparse.Namespace) -> None:
    """to-jsonl of several files to one path, written under another name
    that takes the path's once all is written, and removed on failure."""
    output = os.path.abspath(args.output)
    for file in args.files:
        if file != STDIN and os.path.exists(file) and os.path.exists(output) and os.path.samefile(file, output):
            raise CommandError(f"cannot write {args.output}: it is one of the input files")
    codec = OUTPUT_CODECS.get(os.path.splitext(args.output)[1].lower())
    try:
        temp, stream = _temporary_beside(output)
    except OSError as e:
        e.filename = args.output
        raise
    try:
        with stream:
            for _, records in _each(args):
                _with_bar(args, lambda progress: records.to_jsonl(stream, compression=codec, progress=progress))
        if os.path.exists(output):
            os.chmod(temp, os.stat(output).st_mode & 0o7777)
        os.replace(temp, output)
    except BaseException:
        os.unlink(temp)
        raise


def _usable_cores() -> int:
    """The cores this process may run on: taskset and container cpusets
    narrow them below the machine's count."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def run_validate(args: argparse.Namespace, out: TextIO) -> int:
    """Each file in turn, its invalid records printed as they are found, in
    file order whatever the threads; one summary for all, and --max-errors
    counts across them."""
    jobs = args.jobs if args.jobs is not None else _usable_cores()
    # A report must not land in the middle of the bar when both share a terminal.
    reports_on_terminal = out.isatty()
    good = invalid = 0
    unchecked = False
    for file, records in _each(args):
        progress = _progress(args)

        def found(error: qvtok.JSONDecodeError) -> None:
            nonlocal unchecked
            unchecked = unchecked or isinstance(error, qvtok.StructureLostError)
            if progress is not None and reports_on_terminal:
                progress.clear()
            out.write(_where(file, error) + "\n")
            out.flush()  # a reader sees each report as soon as it is found

        keep = max(args.max_errors - invalid, 0)
        try:
            n_good, n_invalid, _, failure = records._validate(jobs, keep, 0, progress, found)
        finally:
            if progress is not None:
                progress.clear()
        good += n_good
        invalid += n_invalid
        if failure is not None:
            raise failure
    return _summary(good, invalid, unchecked, out)


def _summary(good: int, invalid: int, unchecked: bool, out: TextIO) -> int:
    count = good + invalid
    noun = "record" if count == 1 else "records"
    out.write(f"{count} {noun}, {invalid} invalid\n")
    return EXIT_INVALID if invalid or unchecked else EXIT_OK


def _positive(text: str) -> int:
    value = _non_negative(text)
    if value == 0:
        raise argparse.ArgumentTypeError("must be at least 1")
    return value


def _sample_or_all(text: str) -> int | None:
    return None if text == "all" else _sample(text)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="qvtok",
        description="Count, describe, show, convert and check the records of large JSON and JSONL files.",
        epilog="Exit status: 0 success, 1 invalid records found by validate, 2 error.",
    )
    parser.add_argument("--version", action="version", version=f"qvtok {_version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace, TextIO], int], summary: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary)
        sub.add_argument("files", metavar="FILE", nargs="*", default=[STDIN], help=FILE_HELP)
        sub.add_argument("--at", metavar="POINTER", default=None, help=AT_HELP)
        sub.add_argument("--format", default="auto", help=FORMAT_HELP)
        sub.add_argument("--compression", default="auto", choices=COMPRESSIONS, help=COMPRESSION_HELP)
        sub.add_argument("--progress", action=argparse.BooleanOptionalAction, default=None, help=PROGRESS_HELP)
        sub.set_defaults(run=run)
        return sub

    command("count", run_count, "Print the number of records, found by scanning without parsing.")
    sub = command("schema", run_schema, "Print the merged structure of the first records as JSON.")
    sub.add_argument("--sample", type=_sample_or_all, default=DEFAULT_SAMPLE, metavar="N",
                     help=f"records to sample, or all (default: {DEFAULT_SAMPLE})")
    sub = command("head", run_head, "Print the first records, each its own text on one line.")
    sub.add_argument("-n", type=_non_negative, default=10, metavar="N", help="records to print (default: 10)")
    sub = command("to-jsonl", run_to_jsonl, "Write the records as JSON Lines, each checked and on one line.")
    sub.add_argument("-o", "--output", metavar="OUT", default=STDIN,
                     help="the file to write (default: standard output)")
    sub = command(
        "validate",
        run_validate,
        "Parse every record; print 'FILE:LINE:COLUMN: record INDEX: MESSAGE' for each invalid one and a "
        "summary. INDEX counts records from 0, invalid ones included. Exit status 1 if any is invalid.",
    )
    sub.add_argument("--max-errors", type=_non_negative, default=DEFAULT_MAX_ERRORS, metavar="N",
                     help=f"invalid records to print; the rest are only counted (default: {DEFAULT_MAX_ERRORS})")
    sub.add_argument("--jobs", "-j", type=_positive, default=None, metavar="N",
                     help="threads that check parts of the file at once (default: the cores it may run on)")
    return parser


def _describe(error: BaseException) -> str:
    if isinstance(error, OSError) and error.strerror:
        message = error.strerror if error.filename is None else f"{os.fsdecode(error.filename)}: {error.strerror}"
    else:
        message = str(error) or type(error).__name__
    notes = getattr(error, "__notes__", None)
    if notes:
        message += " (" + "; ".join(str(note) for note in notes) + ")"
    return " ".join(message.splitlines())


def _use_utf8(stream: TextIO) -> None:
    # JSON text is UTF-8 whatever the locale says; a narrower encoding would
    # fail on the first record with a character outside it.
    if isinstance(stream, io.TextIOWrapper) and stream.encoding.lower().replace("-", "") != "utf8":
        stream.reconfigure(encoding="utf-8")


def _drop_stdout() -> None:
    """Points standard output at /dev/null, so that flushing what is left in
    its buffer at exit does not fail again on a closed pipe."""
    if sys.stdout is None:
        return
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError):
        pass


def _flush_stdout() -> int | None:
    """Flushes standard output; the exit status to use if that fails."""
    if sys.stdout is None:
        return None
    try:
        sys.stdout.flush()
    except BrokenPipeError:
        _drop_stdout()
        return EXIT_BROKEN_PIPE
    except OSError as e:
        _drop_stdout()
        _complain(_describe(e))
        return EXIT_ERROR
    return None


def _complain(message: str) -> None:
    # With standard error closed (2>&-) the interpreter sets sys.stderr to
    # None: the exit status is then all that tells of the failure.
    if sys.stderr is None:
        return
    try:
        sys.stderr.write(f"qvtok: {message}\n")
        sys.stderr.flush()
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line; returns the exit status."""
    try:
        try:
            args = build_parser().parse_args(argv)
        except SystemExit as e:
            # --help, or a usage error (status 2) already explained by argparse.
            return _flush_stdout() or (e.code if isinstance(e.code, int) else EXIT_ERROR)
        if sys.stdout is None:
            # Started with standard output closed (>&-): the interpreter set
            # sys.stdout to None, and no result could reach anyone.
            raise CommandError("standard output is closed")
        _use_utf8(sys.stdout)
        try:
            args.files = expand(args.files)
            args.file = args.files[0]
            status: int = args.run(args, sys.stdout)
        except qvtok.JSONDecodeError as e:
            # A record that ends the command (head, to-jsonl, schema): its
            # place in the file, after the records printed before it.
            raise CommandError(_where(args.file, e)) from e
        return _flush_stdout() or status
    except KeyboardInterrupt:
        return _flush_stdout() or EXIT_INTERRUPTED
    except BrokenPipeError:
        _drop_stdout()
        return EXIT_BROKEN_PIPE
    except (CommandError, ValueError, RuntimeError, OSError) as e:
        # What was printed before the failure still reaches the reader, ahead
        # of the message.
        failed = _flush_stdout()
        if failed is not None:
            return failed
        _complain(_describe(e))
        return EXIT_ERROR
