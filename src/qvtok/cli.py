"""The ``qvtok`` command: count, schema, head and validate on the command line.

Standard output carries the results only (numbers, JSON text, validation
reports), so that it can be piped; failures and the progress bar go to
standard error. Exit status: 0 on success, 1 when ``validate`` found invalid
records, 2 on an error (bad arguments, a file that cannot be read, a record
``head`` cannot parse), 130 when interrupted, 141 when standard output was
closed early by its reader.
"""

from __future__ import annotations

import argparse
import inspect
import io
import json
import os
import sys
import time
from collections.abc import Callable, Sequence
from typing import TextIO

from qvtok import bigjson

EXIT_OK = 0
EXIT_INVALID = 1
EXIT_ERROR = 2
EXIT_INTERRUPTED = 128 + 2  # as if killed by SIGINT, the shells' convention
EXIT_BROKEN_PIPE = 128 + 13  # as if killed by SIGPIPE, like a C tool would be

# Errors that concern a single record: the iterator goes on after them. Any
# other error is a failure of the file itself and would repeat forever if we
# kept asking for the next record. The extension names each error's kind in
# the exception's `_qvtok_code`.
RECORD_ERRORS = frozenset({"invalid_utf8", "invalid_json", "invalid_element", "invalid_line"})

MAX_SAMPLE = 2**64 - 1
DEFAULT_SAMPLE: int = inspect.signature(bigjson.schema).parameters["sample"].default

# Names by which the module picks the format without reading the file.

FORMAT_HELP = "json, jsonl, ndjson or auto, in any letter case (default: from the file name, then its first byte)"


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


def _dump(record: object) -> str:
    return json.dumps(record, ensure_ascii=False, separators=(",", ":"))


def run_count(args: argparse.Namespace, out: TextIO) -> int:
    out.write(f"{bigjson.count(args.file, args.format)}\n")
    return EXIT_OK


def run_schema(args: argparse.Namespace, out: TextIO) -> int:
    out.write(bigjson.schema(args.file, args.sample, args.format) + "\n")
    return EXIT_OK


def run_head(args: argparse.Namespace, out: TextIO) -> int:
    records = bigjson.iter_records(args.file, args.format)
    index = 0
    # Ask for no record beyond the last one wanted: on a huge file the
    # command returns after reading its first block.
    while index < args.n:
        try:
            record = next(records)
        except StopIteration:
            break
        except (ValueError, RuntimeError) as e:
            raise CommandError(f"record {index}: {e}") from e
        out.write(_dump(record) + "\n")
        index += 1
    return EXIT_OK


def run_validate(args: argparse.Namespace, out: TextIO) -> int:
    records = bigjson.iter_records(args.file, args.format)
    progress = Progress(sys.stderr) if sys.stderr is not None and sys.stderr.isatty() else None
    # A report must not land in the middle of the bar when both share a terminal.
    reports_on_terminal = out.isatty()
    total = records.total_bytes
    index = invalid = 0
    try:
        while True:
            try:
                next(records)
            except StopIteration:
                break
            except (ValueError, RuntimeError) as e:
                if getattr(e, "_qvtok_code", None) not in RECORD_ERRORS:
                    raise
                if progress is not None and reports_on_terminal:
                    progress.clear()
                out.write(f"record {index}: {e}\n")
                invalid += 1
            index += 1
            if progress is not None:
                progress.update(records.bytes_read, total)
    finally:
        if progress is not None:
            progress.clear()
    noun = "record" if index == 1 else "records"
    out.write(f"{index} {noun}, {invalid} invalid\n")
    return EXIT_INVALID if invalid else EXIT_OK


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="qvtok",
        description="Count, describe, show and check the records of large JSON and JSONL files.",
        epilog="Exit status: 0 success, 1 invalid records found by validate, 2 error.",
    )
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    def command(name: str, run: Callable[[argparse.Namespace, TextIO], int], summary: str) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=summary)
        sub.add_argument("file", metavar="FILE", help="a JSON or JSONL file")
        sub.add_argument("--format", default=None, help=FORMAT_HELP)
        sub.set_defaults(run=run)
        return sub

    command("count", run_count, "Print the number of records, found by scanning without parsing.")
    sub = command("schema", run_schema, "Print the merged structure of the first records as JSON.")
    sub.add_argument("--sample", type=_sample, default=DEFAULT_SAMPLE, metavar="N",
                     help=f"records to sample (default: {DEFAULT_SAMPLE})")
    sub = command("head", run_head, "Print the first records as compact JSON, one per line.")
    sub.add_argument("-n", type=_non_negative, default=10, metavar="N", help="records to print (default: 10)")
    command(
        "validate",
        run_validate,
        "Parse every record; print 'record INDEX: MESSAGE' for each invalid one and a summary. "
        "INDEX counts records from 0, invalid ones included. Exit status 1 if any is invalid.",
    )
    return parser


def _describe(error: BaseException) -> str:
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
        status: int = args.run(args, sys.stdout)
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
