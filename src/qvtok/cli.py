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
import importlib.metadata
import io
import os
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from typing import BinaryIO, TextIO

import qvtok

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
FILE_HELP = "a JSON or JSONL file, compressed or not; - or none for standard input"
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

    def update(self, done: int, total: int) -> None:
        now = time.monotonic()
        if now < self._next_draw:
            return
        self._next_draw = now + self.INTERVAL
        line = render_progress(done, total, self._columns())
        if line != self._line:
            self._stream.write("\r" + line + "\x1b[K")
            self._stream.flush()
            self._line = line

    def clear(self) -> None:
        if self._line:
            self._stream.write("\r\x1b[K")
            self._stream.flush()
            self._line = ""


def _open(args: argparse.Namespace) -> qvtok.Records:
    if args.file == STDIN and sys.stdin is None:
        # Started with standard input closed (<&-): descriptor 0 is not ours.
        raise CommandError("standard input is closed")
    try:
        compression = None if args.compression == "none" else args.compression
        return qvtok.open(args.file, at=args.at, format=args.format, compression=compression)
    except qvtok.CompressionError as e:
        # The input opened: its first bytes, read to tell its format, are
        # what does not decode, as a later read would tell it.
        raise CommandError(_describe(e)) from e
    except OSError as e:
        raise CommandError(f"cannot open {args.file}: {_strerror(e)}") from e


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


def run_count(args: argparse.Namespace, out: TextIO) -> int:
    out.write(f"{_open(args).count()}\n")
    return EXIT_OK


def run_schema(args: argparse.Namespace, out: TextIO) -> int:
    out.write(_open(args).schema(sample=args.sample) + "\n")
    return EXIT_OK


def run_head(args: argparse.Namespace, out: TextIO) -> int:
    records: Iterator[bytes] = _open(args).compact()
    buffer = _binary(out)
    # Ask for no record beyond the last one wanted: on a huge file the
    # command returns after reading its first block.
    for _ in range(args.n):
        try:
            record = next(records)
        except StopIteration:
            break
        buffer.write(record + b"\n")
    return EXIT_OK


def run_to_jsonl(args: argparse.Namespace, out: TextIO) -> int:
    records = _open(args)
    if args.output == STDIN:
        records.to_jsonl(_binary(out), compression=None)
        return EXIT_OK
    # Given the path, to_jsonl refuses to write over its input before it
    # opens anything, and compresses by the name's extension.
    try:
        records.to_jsonl(args.output)
    except OSError as e:
        if e.filename != args.output:
            raise  # the input's
        raise CommandError(f"cannot write {args.output}: {_strerror(e)}") from e
    return EXIT_OK


def _usable_cores() -> int:
    """The cores this process may run on: taskset and container cpusets
    narrow them below the machine's count."""
    try:
        return len(os.sched_getaffinity(0)) or 1
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def run_validate(args: argparse.Namespace, out: TextIO) -> int:
    jobs = args.jobs if args.jobs is not None else _usable_cores()
    if jobs > 1 and args.file != STDIN:
        return _validate_on_threads(args, jobs, out)
    records = _open(args).compact()
    progress = Progress(sys.stderr) if sys.stderr is not None and sys.stderr.isatty() else None
    # A report must not land in the middle of the bar when both share a terminal.
    reports_on_terminal = out.isatty()
    total = records.total_bytes
    if total is None:
        progress = None  # a pipe: nothing to measure against
    invalid = 0
    unchecked = False
    try:
        while True:
            try:
                next(records)
            except StopIteration:
                break
            except qvtok.JSONDecodeError as e:
                # Bytes left unchecked are told whatever --max-errors says.
                lost = isinstance(e, qvtok.StructureLostError)
                unchecked = unchecked or lost
                invalid += not lost
                if lost or invalid <= args.max_errors:
                    if progress is not None and reports_on_terminal:
                        progress.clear()
                    out.write(_where(args.file, e) + "\n")
            if progress is not None and total is not None:
                progress.update(records.bytes_read, total)
    finally:
        if progress is not None:
            progress.clear()
    return _summary(records.records_read, invalid, unchecked, out)


def _summary(good: int, invalid: int, unchecked: bool, out: TextIO) -> int:
    count = good + invalid
    noun = "record" if count == 1 else "records"
    out.write(f"{count} {noun}, {invalid} invalid\n")
    return EXIT_INVALID if invalid or unchecked else EXIT_OK


def _validate_on_threads(args: argparse.Namespace, jobs: int, out: TextIO) -> int:
    """validate with the file's partitions checked on `jobs` threads: the same
    report, written once they are done, and up to a failure that ends the
    pass (a corrupt compressed stream, a failed read) what one thread would
    have printed before it."""
    records = _open(args)
    progress = Progress(sys.stderr) if sys.stderr is not None and sys.stderr.isatty() else None
    try:
        good, invalid, errors, failure = records._validate(
            jobs, args.max_errors, 0, progress.update if progress else None
        )
    finally:
        if progress is not None:
            progress.clear()
    for error in errors:
        out.write(_where(args.file, error) + "\n")
    if failure is not None:
        raise failure
    unchecked = any(isinstance(error, qvtok.StructureLostError) for error in errors)
    return _summary(good, invalid, unchecked, out)


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
        sub.add_argument("file", metavar="FILE", nargs="?", default=STDIN, help=FILE_HELP)
        sub.add_argument("--at", metavar="POINTER", default=None, help=AT_HELP)
        sub.add_argument("--format", default="auto", help=FORMAT_HELP)
        sub.add_argument("--compression", default="auto", choices=COMPRESSIONS, help=COMPRESSION_HELP)
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
                     help="threads that check parts of the file at once (default: the cores it may run on); "
                          "with 1, or on standard input, a progress bar is drawn as it goes")
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
