"""The `qvtok` command, run as a separate process the way a shell runs it."""

import importlib.metadata
import json
import os
import pty
import signal
import subprocess
import sys
import time

import pytest

from qvtok import cli

TIMEOUT = 60


def qvtok(*args, env=None):
    """Runs `python -m qvtok ARGS`; stdout and stderr decoded from UTF-8."""
    done = subprocess.run(
        [sys.executable, "-m", "qvtok", *args],
        capture_output=True,
        timeout=TIMEOUT,
        env=None if env is None else {**os.environ, **env},
    )
    done.stdout = done.stdout.decode("utf-8")
    done.stderr = done.stderr.decode("utf-8")
    return done


def assert_failed(done, message):
    """Status 2, nothing on stdout, and one line on stderr: the message."""
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == f"qvtok: {message}\n"


EVENTS = '{"id": 1, "user": "ada"}\n\n{"id": "2", "user": "grace", "admin": true}\n{"id": 3, "user": "linus"}\n'


@pytest.mark.parametrize(
    "name, text, args, expected",
    [
        ("x.jsonl", EVENTS, [], "3\n"),
        ("x.json", "[1, {}, [2, 3]]", [], "3\n"),
        ("x.json", '{"a": [1, 2]}', [], "1\n"),
        ("x.json", "1\n2\n3\n", ["--format", "jsonl"], "3\n"),
        ("x.data", "1\n2\n", ["--format", "NDJSON"], "2\n"),
        ("x.data", "[1, 2]", [], "2\n"),
        ("x.jsonl", "", [], "0\n"),
    ],
)
def test_count(write, name, text, args, expected):
    done = qvtok("count", write(name, text), *args)
    assert (done.returncode, done.stdout, done.stderr) == (0, expected, "")


def test_schema_and_sample(write):
    path = write("x.jsonl", EVENTS)
    first = qvtok("schema", path, "--sample", "1")
    assert (first.returncode, first.stderr) == (0, "")
    assert first.stdout == '{\n  "id": "int",\n  "user": "str"\n}\n'
    every = qvtok("schema", "--sample=100", path)
    assert json.loads(every.stdout) == {"admin?": "bool", "id": "int|str", "user": "str"}
    assert qvtok("schema", path).stdout == every.stdout  # 100 by default
    assert qvtok("schema", path, "--sample", "0").stdout == '"unknown"\n'


def test_schema_format(write):
    path = write("x.json", '{"a": 1}\n{"b": 2}\n')
    assert_failed(qvtok("schema", path), "invalid JSON: trailing characters at line 2 column 1")
    done = qvtok("schema", path, "--format", "jsonl")
    assert json.loads(done.stdout) == {"a?": "int", "b?": "int"}


def many(n):
    return "".join(json.dumps({"i": i, "s": "é€" * (i % 3), "z": [i, None, 2.5]}) + "\n" for i in range(n))


def compact(record):
    return json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n"


@pytest.mark.parametrize(
    "args, shown",
    [([], 10), (["-n", "3"], 3), (["-n3"], 3), (["-n", "0"], 0), (["-n", "100"], 25)],
)
def test_head(write, args, shown):
    path = write("x.jsonl", many(25))
    done = qvtok("head", path, *args)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "".join(compact(json.loads(line)) for line in many(shown).splitlines())


def test_head_is_compact_utf8_in_key_order(write):
    path = write("x.json", '[{"b": "é\\u20ac", "a": [1, 2.5, null, -0, 18446744073709551615]}]')
    done = qvtok("head", path)
    assert done.stdout == '{"a":[1,2.5,null,-0.0,18446744073709551615],"b":"é€"}\n'


def test_head_writes_utf8_whatever_the_locale(write):
    path = write("x.jsonl", '{"s": "é€😀"}\n')
    done = qvtok("head", path, env={"PYTHONIOENCODING": "latin-1"})
    assert (done.returncode, done.stdout, done.stderr) == (0, '{"s":"é€😀"}\n', "")


def test_head_stops_at_the_first_bad_record(write):
    path = write("x.jsonl", '{"a": 1}\n[2]\n{"a": x}\n{"a": 4}\n')
    done = qvtok("head", path)
    assert done.returncode == 2
    assert done.stdout == '{"a":1}\n[2]\n'
    assert done.stderr == "qvtok: record 2: invalid JSONL line: expected value at line 1 column 7\n"
    # Records beyond the ones asked for are never read, bad or not.
    done = qvtok("head", path, "-n", "2")
    assert (done.returncode, done.stdout, done.stderr) == (0, '{"a":1}\n[2]\n', "")


@pytest.fixture
def fifo(tmp_path):
    """A named pipe whose writer stays open: reading past what was written
    blocks instead of ending."""
    path = tmp_path / "pipe.jsonl"
    os.mkfifo(path)
    writer = os.open(path, os.O_RDWR)  # read-write never blocks on open
    yield str(path), writer
    os.close(writer)


def test_head_reads_no_further_than_needed(fifo):
    path, writer = fifo
    os.write(writer, b'{"a": 1}\n{"a": 2}\n')
    # A third request would wait for the writer forever.
    done = qvtok("head", path, "-n", "2")
    assert (done.returncode, done.stdout, done.stderr) == (0, '{"a":1}\n{"a":2}\n', "")


@pytest.mark.parametrize("command", [["count"], ["schema"], ["head"], ["validate"]])
def test_format_of_a_pipe_is_detected(tmp_path, command):
    # Detection looks at the first bytes of the stream without losing them.
    path = tmp_path / "pipe"
    os.mkfifo(path)
    source = tmp_path / "records.jsonl"
    source.write_text('{"a": 1}\n{"a": 2}\n')
    writer = subprocess.Popen(["sh", "-c", f"cat {source} > {path}"])
    try:
        done = qvtok(*command, str(path))
    finally:
        writer.wait(TIMEOUT)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == {
        "count": "2\n",
        "schema": '{\n  "a": "int"\n}\n',
        "head": '{"a":1}\n{"a":2}\n',
        "validate": "2 records, 0 invalid\n",
    }[command[0]]


@pytest.mark.parametrize(
    "name, content, args, reports, total",
    [
        ("x.jsonl", EVENTS, [], [], 3),
        (
            "x.jsonl",
            b'1\n{"a": x}\n\n"\xff"\n  \n[1,\n2]\n4\n',
            [],
            [
                "record 1: invalid JSONL line: expected value at line 1 column 7",
                "record 2: read error: stream did not contain valid UTF-8",
                "record 3: invalid JSONL line: EOF while parsing a value at line 1 column 3",
                "record 4: invalid JSONL line: trailing characters at line 1 column 2",
            ],
            6,
        ),
        (
            "x.json",
            '[1, x, 3, {"a": }, 5]',
            [],
            [
                "record 1: invalid JSON element: expected value at line 1 column 1",
                "record 3: invalid JSON element: expected value at line 1 column 7",
            ],
            5,
        ),
        ("x.json", "[1, 2", [], ["record 1: invalid JSON: EOF while parsing a list at line 1 column 5"], 2),
        # Records that a broken array would otherwise lose in silence.
        ("x.json", "[1,2]\n[3,4]\n[5,6]\n", [], ["record 2: invalid JSON: trailing characters at line 2 column 1"], 3),
        ("x.json", '[{"a":1}}, [1,2], [3,4]]', [],
         ["record 0: invalid JSON element: trailing characters at line 1 column 8"], 1),
        ("x.json", '[1, "a\x02", 3]', [],
         ["record 1: invalid JSON element: control character (\\u0000-\\u001F) found while parsing a string "
          "at line 1 column 3"], 2),
        ("x.txt", "[1]\n[2]\n", ["--format", "jsonl"], [], 2),
        ("x.json", "[1]", [], [], 1),
        ("x.json", "", [], [], 0),
    ],
)
def test_validate(write, name, content, args, reports, total):
    done = qvtok("validate", write(name, content), *args)
    noun = "record" if total == 1 else "records"
    assert done.stdout.splitlines() == reports + [f"{total} {noun}, {len(reports)} invalid"]
    assert done.returncode == (1 if reports else 0)
    assert done.stderr == ""  # no progress bar: stderr is no terminal


def test_validate_stops_when_the_file_cannot_be_read(tmp_path):
    # A directory opens but every read fails; asking again would fail again.
    path = tmp_path / "dir.jsonl"
    path.mkdir()
    assert_failed(qvtok("validate", str(path)), "read error: Is a directory (os error 21)")
    assert_failed(qvtok("validate", str(path), "--format", "json"), "read error: Is a directory (os error 21)")


COMMANDS = [["count"], ["schema"], ["schema", "--sample", "5"], ["head"], ["head", "-n", "0"], ["validate"]]


@pytest.mark.parametrize("command", COMMANDS)
def test_missing_file(tmp_path, command):
    path = str(tmp_path / "none.jsonl")
    message = f"cannot open {path}: No such file or directory (os error 2)"
    assert_failed(qvtok(*command, path), message)


@pytest.mark.parametrize("command", COMMANDS)
def test_unknown_format(write, command):
    path = write("x.jsonl", "1\n")
    message = "unknown format \"xml\"; expected 'json', 'jsonl' or 'auto'"
    assert_failed(qvtok(*command, path, "--format", "xml"), message)


@pytest.mark.parametrize(
    "args, complaint",
    [
        ([], "the following arguments are required: COMMAND"),
        (["count"], "the following arguments are required: FILE"),
        (["frobnicate", "x"], "invalid choice: 'frobnicate'"),
        (["head", "x", "-n", "-1"], "argument -n: must not be negative: -1"),
        (["head", "x", "-n", "ten"], "argument -n: not an integer: 'ten'"),
        (["schema", "x", "--sample", "-1"], "argument --sample: must be between 0 and 18446744073709551615: -1"),
        (["schema", "x", "--sample", str(2**64)], "must be between 0 and 18446744073709551615"),
        (["count", "x", "--sample", "3"], "unrecognized arguments: --sample 3"),
    ],
)
def test_usage_errors(args, complaint):
    done = qvtok(*args)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.startswith("usage: qvtok")
    assert complaint in done.stderr
    assert "Traceback" not in done.stderr


def padded(records):
    return "".join(f'{{"i": {i}, "pad": "{"x" * 40}"}}\n' for i in range(records))


@pytest.mark.parametrize(
    "command, content",
    [
        # Far more output than a pipe holds, so the writer meets the closed end.
        (["head", "-n", "50000"], padded(50000)),
        (["validate"], "{\n" * 50000),
    ],
    ids=["head", "validate"],
)
def test_reader_closing_the_pipe_early_is_quiet(write, command, content):
    path = write("big.jsonl", content)
    child = subprocess.Popen(
        [sys.executable, "-m", "qvtok", *command, path], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    assert child.stdout.readline()  # like `| head -1`
    child.stdout.close()
    stderr = child.stderr.read()
    assert child.wait(TIMEOUT) == cli.EXIT_BROKEN_PIPE
    assert stderr == b""


def test_interrupt_is_quiet_and_keeps_what_was_printed(fifo):
    path, writer = fifo
    os.write(writer, b'{"a": 1}\n')
    child = subprocess.Popen(
        [sys.executable, "-m", "qvtok", "head", path], stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )
    # Once the file is open the interpreter is up and Python's handler set.
    deadline = time.monotonic() + TIMEOUT
    fds = f"/proc/{child.pid}/fd"
    while not any(os.path.realpath(os.path.join(fds, fd)) == path for fd in os.listdir(fds)):
        assert child.poll() is None and time.monotonic() < deadline, "the command never opened its file"
        time.sleep(0.01)
    time.sleep(0.5)  # let it take the first record and block on the second
    child.send_signal(signal.SIGINT)
    stdout, stderr = child.communicate(timeout=TIMEOUT)
    assert (child.returncode, stdout, stderr) == (130, b'{"a":1}\n', b"")


def run_on_terminal(*args):
    """Runs the command with stderr on a pseudo-terminal and stdout on a pipe;
    gives the status, stdout and everything the terminal received."""
    controller, terminal = pty.openpty()
    child = subprocess.Popen([sys.executable, "-m", "qvtok", *args], stdout=subprocess.PIPE, stderr=terminal)
    os.close(terminal)
    screen = b""
    while True:
        try:
            chunk = os.read(controller, 65536)
        except OSError:  # EIO: the child has closed the terminal
            break
        if not chunk:
            break
        screen += chunk
    os.close(controller)
    stdout = child.stdout.read()
    child.stdout.close()
    return child.wait(TIMEOUT), stdout.decode(), screen.decode()


def test_progress_bar_on_a_terminal(write):
    path = write("big.jsonl", padded(20000))
    status, stdout, screen = run_on_terminal("validate", path)
    assert (status, stdout) == (0, "20000 records, 0 invalid\n")
    size = os.path.getsize(path)
    assert 2**20 < size < 2**30
    assert "[" in screen and "%" in screen and f"/ {size / 2**20:.1f} MiB" in screen
    assert screen.endswith("\r\x1b[K")  # the bar is gone when the command ends
    frames = [frame for frame in screen.split("\r") if frame]
    assert all(len(frame.replace("\x1b[K", "")) < 80 for frame in frames)


def test_reports_stay_clean_with_a_bar_on_the_terminal(write):
    path = write("x.jsonl", '1\n{"a": x}\n3\n')
    status, stdout, screen = run_on_terminal("validate", path)
    assert status == 1
    assert stdout == "record 1: invalid JSONL line: expected value at line 1 column 7\n3 records, 1 invalid\n"
    assert screen.endswith("\r\x1b[K")


@pytest.mark.parametrize(
    "done, total, columns, expected",
    [
        (0, 1000, 80, "[" + "-" * 40 + "]   0% 0 B / 1000 B"),
        (500, 1000, 80, "[" + "#" * 20 + "-" * 20 + "]  50% 500 B / 1000 B"),
        (3 * 2**30, 2**32, 80, "[" + "#" * 30 + "-" * 10 + "]  75% 3.0 GiB / 4.0 GiB"),
        # A file that grew while being read does not go past 100%.
        (1500, 1000, 80, "[" + "#" * 40 + "] 100% 1.5 KiB / 1000 B"),
        (700, 1000, 40, "[" + "#" * 11 + "-" * 6 + "]  70% 700 B / 1000 B"),
        (700, 1000, 30, "70% 700 B / 1000 B"),
        (700, 1000, 12, "70% 700 B /"),
        (5 * 2**20, 0, 80, "5.0 MiB read"),  # size unknown: a pipe
    ],
)
def test_progress_line(done, total, columns, expected):
    line = cli.render_progress(done, total, columns)
    assert line == expected
    assert len(line) < columns


def test_console_script_is_declared():
    try:
        dist = importlib.metadata.distribution("qvtok")
    except importlib.metadata.PackageNotFoundError:
        pytest.skip("qvtok is not installed")
    scripts = {ep.name: ep for ep in dist.entry_points if ep.group == "console_scripts"}
    assert scripts["qvtok"].value == "qvtok.cli:main"
    assert scripts["qvtok"].load() is cli.main


def run_with_closed(fd, *args):
    """Runs `python -m qvtok ARGS` with file descriptor `fd` (1 or 2) closed,
    as a shell's `>&-` or `2>&-` does; the other stream is captured."""
    return subprocess.run(
        [sys.executable, "-m", "qvtok", *args],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE if fd != 1 else None,
        stderr=subprocess.PIPE if fd != 2 else None,
        preexec_fn=lambda: os.close(fd),
        timeout=TIMEOUT,
    )


@pytest.mark.parametrize("command", [["count"], ["schema"], ["head"], ["validate"]])
def test_closed_standard_output_is_an_error_without_traceback(write, command):
    done = run_with_closed(1, *command, write("x.jsonl", EVENTS))
    assert done.returncode == 2
    assert done.stderr == b"qvtok: standard output is closed\n"


@pytest.mark.parametrize(
    "args, status, out",
    [
        (["count", "{x}"], 0, b"3\n"),
        (["validate", "{x}"], 0, b"3 records, 0 invalid\n"),
        (["validate", "{bad}"], 1, b"record 0: invalid JSONL line: expected value at line 1 column 1\n"
                                          b"1 record, 1 invalid\n"),
        (["count", "{missing}"], 2, b""),
        (["head", "{bad}"], 2, b""),
    ],
)
def test_closed_standard_error_keeps_the_exit_status(write, args, status, out):
    # Nothing can tell of a failure but the status: it must be the usual one,
    # not the 1 of a traceback that went nowhere.
    paths = {"x": write("x.jsonl", EVENTS), "bad": write("bad.jsonl", "?\n")}
    paths["missing"] = paths["x"] + ".missing"
    done = run_with_closed(2, *[a.format_map(paths) if a.startswith("{") else a for a in args])
    assert (done.returncode, done.stdout) == (status, out)
