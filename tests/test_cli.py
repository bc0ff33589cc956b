"""The `qvtok` command, run as a separate process the way a shell runs it."""

import gzip
import importlib.metadata
import json
import os
import pty
import signal
import subprocess
import sys
import time

import pytest

from conftest import default_sigint
from qvtok import cli
from qvtok import open as open_records

TIMEOUT = 60


def qvtok(*args, env=None, input=b""):
    """Runs `python -m qvtok ARGS` with `input` on stdin; stdout and stderr
    decoded from UTF-8."""
    done = subprocess.run(
        [sys.executable, "-m", "qvtok", *args],
        input=input.encode() if isinstance(input, str) else input,
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
        ("x.json", '{"a": {"b": [1, 2]}}', [], "1\n"),
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


def test_schema_sample_all(write):
    path = write("x.jsonl", '{"a": 1}\n' * 150 + '{"b": true}\n')
    assert json.loads(qvtok("schema", path).stdout) == {"a": "int"}  # the first 100
    done = qvtok("schema", path, "--sample", "all")
    assert (done.returncode, done.stderr) == (0, "")
    assert json.loads(done.stdout) == {"a?": "int", "b?": "bool"}


def test_schema_format(write):
    path = write("x.json", '{"a": 1}\n{"b": 2}\n')
    assert_failed(qvtok("schema", path), f"{path}:2:1: record 0: Extra data")
    done = qvtok("schema", path, "--format", "jsonl")
    assert json.loads(done.stdout) == {"a?": "int", "b?": "int"}


def many(n):
    return "".join(json.dumps({"i": i, "s": "é€" * (i % 3), "z": [i, None, 2.5]}) + "\n" for i in range(n))


def compact(line):
    """The line without white space outside strings; json.dumps wrote it
    with ASCII escapes, which stay."""
    return json.dumps(json.loads(line), separators=(",", ":")) + "\n"


@pytest.mark.parametrize(
    "args, shown",
    [([], 10), (["-n", "3"], 3), (["-n3"], 3), (["-n", "0"], 0), (["-n", "100"], 25)],
)
def test_head(write, args, shown):
    path = write("x.jsonl", many(25))
    done = qvtok("head", path, *args)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "".join(compact(line) for line in many(shown).splitlines())


def test_head_prints_the_records_own_text(write):
    # No values are built: numbers, escapes and key order stay as written.
    path = write("x.json", '[{"b": "é\\u20ac", "a": [1, 2.5, null, -0, 1E2, 18446744073709551616]}, \n  "x y"]')
    done = qvtok("head", path)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == '{"b":"é\\u20ac","a":[1,2.5,null,-0,1E2,18446744073709551616]}\n"x y"\n'


def test_head_writes_utf8_whatever_the_locale(write):
    path = write("x.jsonl", '{"s": "é€😀"}\n')
    done = qvtok("head", path, env={"PYTHONIOENCODING": "latin-1"})
    assert (done.returncode, done.stdout, done.stderr) == (0, '{"s":"é€😀"}\n', "")


def test_head_stops_at_the_first_bad_record(write):
    path = write("x.jsonl", '{"a": 1}\n[2]\n{"a": x}\n{"a": 4}\n')
    done = qvtok("head", path)
    assert done.returncode == 2
    assert done.stdout == '{"a":1}\n[2]\n'
    assert done.stderr == f"qvtok: {path}:3:7: record 2: Expecting value\n"
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


@pytest.mark.parametrize("command", [["count"], ["schema"], ["head"], ["to-jsonl"], ["validate"]])
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
        "to-jsonl": '{"a":1}\n{"a":2}\n',
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
                "2:7: record 1: Expecting value",
                "4:1: record 2: stream did not contain valid UTF-8",
                "6:4: record 3: Expecting value",
                "7:2: record 4: Extra data",
            ],
            6,
        ),
        (
            "x.json",
            '[1, x, 3, {"a": }, 5]',
            [],
            ["1:5: record 1: Expecting value", "1:17: record 3: Expecting value"],
            5,
        ),
        ("x.json", "[1, 2", [], ["1:6: record 1: Expecting ',' delimiter"], 2),
        # Records that a broken array would otherwise lose in silence.
        ("x.json", "[1,2]\n[3,4]\n[5,6]\n", [], ["2:1: record 2: Extra data"], 3),
        (
            "x.json",
            '[{"a":1}}, [1,2], [3,4]]',
            [],
            ["1:9: record 0: Expecting ',' delimiter", " bytes 8\u201324 not checked: the structure was lost at record 0"],
            1,
        ),
        ("x.json", '[1, "a\x02", 3]', [],
         ["1:7: record 1: Invalid control character at",
          " bytes 6\u201312 not checked: the structure was lost at record 1"], 2),
        ("x.json", '{"meta": 1, "data": [1, x]}', ["--at", "/data"], ["1:25: record 1: Expecting value"], 2),
        ("x.json", '{"meta": 1}', ["--at", "/data"], ['1:1: record 0: JSON pointer "/data" matches nothing'], 1),
        ("x.txt", "[1]\n[2]\n", ["--format", "jsonl"], [], 2),
        ("x.json", "[1]", [], [], 1),
        ("x.json", "", [], [], 0),
    ],
)
def test_validate(write, name, content, args, reports, total):
    path = write(name, content)
    done = qvtok("validate", path, *args)
    noun = "record" if total == 1 else "records"
    invalid = len([r for r in reports if "not checked" not in r])
    assert done.stdout.splitlines() == [f"{path}:{r}" for r in reports] + [f"{total} {noun}, {invalid} invalid"]
    assert done.returncode == (1 if reports else 0)
    assert done.stderr == ""  # no progress bar: stderr is no terminal


@pytest.mark.parametrize("args, shown", [([], 20), (["--max-errors", "3"], 3), (["--max-errors=0"], 0)])
def test_validate_max_errors(write, args, shown):
    path = write("x.jsonl", "1\n?\n" * 30)
    done = qvtok("validate", path, *args)
    lines = done.stdout.splitlines()
    assert lines[:-1] == [f"{path}:{2 * i + 2}:1: record {2 * i + 1}: Expecting value" for i in range(shown)]
    assert lines[-1] == "60 records, 30 invalid"  # all of them still counted
    assert (done.returncode, done.stderr) == (1, "")


def test_directory_is_refused(tmp_path):
    path = tmp_path / "dir.jsonl"
    path.mkdir()
    assert_failed(qvtok("validate", str(path)), f"cannot open {path}: Is a directory")
    assert_failed(qvtok("validate", str(path), "--format", "json"), f"cannot open {path}: Is a directory")


NESTED = '{"meta": 1, "data": [{"a": 1}, {"a": 2}]}'


@pytest.mark.parametrize(
    "command, expected",
    [
        (["count"], "2\n"),
        (["schema"], '{\n  "a": "int"\n}\n'),
        (["head", "-n", "1"], '{"a":1}\n'),
        (["to-jsonl"], '{"a":1}\n{"a":2}\n'),
        (["validate"], "2 records, 0 invalid\n"),
    ],
)
def test_at(write, command, expected):
    path = write("x.json", NESTED)
    done = qvtok(*command, path, "--at", "/data")
    assert (done.returncode, done.stdout, done.stderr) == (0, expected, "")


def test_bad_pointer(write):
    assert_failed(qvtok("count", write("x.json", NESTED), "--at", "data"), 'invalid JSON pointer "data"')


@pytest.mark.parametrize("file", [["-"], []], ids=["dash", "none"])
@pytest.mark.parametrize(
    "command, expected",
    [
        (["count"], "3\n"),
        (["head", "-n", "1"], '{"id":1,"user":"ada"}\n'),
        (["schema", "--sample", "1"], '{\n  "id": "int",\n  "user": "str"\n}\n'),
        (["validate"], "3 records, 0 invalid\n"),
    ],
)
def test_standard_input(file, command, expected):
    done = qvtok(*command, *file, input=EVENTS)
    assert (done.returncode, done.stdout, done.stderr) == (0, expected, "")


def test_standard_input_is_named_dash_in_reports():
    done = qvtok("validate", input='1\n{"a": x}\n')
    assert (done.returncode, done.stdout) == (1, "-:2:7: record 1: Expecting value\n2 records, 1 invalid\n")
    done = qvtok("validate", "--at", "/data", "--format", "json", input=NESTED)
    assert (done.returncode, done.stdout) == (0, "2 records, 0 invalid\n")


def test_version():
    done = qvtok("--version")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == f"qvtok {importlib.metadata.version('qvtok')}\n"


def test_to_jsonl(write, tmp_path):
    path = write("x.json", '[{"b": 1E2, "a": "\\u00e9"},\n {"c": [1, 2]}]')
    lines = '{"b":1E2,"a":"\\u00e9"}\n{"c":[1,2]}\n'
    done = qvtok("to-jsonl", path)
    assert (done.returncode, done.stdout, done.stderr) == (0, lines, "")
    out = tmp_path / "out.jsonl"
    for option in (["-o", str(out)], [f"--output={out}"]):
        done = qvtok("to-jsonl", path, *option)
        assert (done.returncode, done.stdout, done.stderr) == (0, "", "")
        assert out.read_text() == lines
    done = qvtok("to-jsonl", "-o", str(out), input="[1, 2]")
    assert (done.returncode, out.read_text()) == (0, "1\n2\n")


def test_to_jsonl_stops_at_a_broken_record(write, tmp_path):
    path = write("x.jsonl", '{"a": 1}\n{"a": x}\n3\n')
    done = qvtok("to-jsonl", path)
    assert (done.returncode, done.stdout) == (2, '{"a":1}\n')
    assert done.stderr == f"qvtok: {path}:2:7: record 1: Expecting value\n"
    out = tmp_path / "out.jsonl"
    assert_failed(qvtok("to-jsonl", path, "-o", str(out)), f"{path}:2:7: record 1: Expecting value")
    # A path gets all the records or none: no partial file is left.
    assert sorted(tmp_path.iterdir()) == [tmp_path / "x.jsonl"]


@pytest.mark.parametrize("how", ["-o FILE", "-o symlink", "-o hard link", "< FILE -o FILE", ">> FILE"])
def test_to_jsonl_will_not_overwrite_its_input(tmp_path, write, how):
    path = write("x.jsonl", "1\n2\n")
    os.symlink(path, tmp_path / "link")
    os.link(path, tmp_path / "hard")
    args = {"-o FILE": [path, "-o", path], "-o symlink": [path, "-o", str(tmp_path / "link")],
            "-o hard link": [path, "-o", str(tmp_path / "hard")], "< FILE -o FILE": ["-o", path],
            ">> FILE": [path]}[how]
    with open(path, "rb") as stdin, open(path, "ab") as append:
        done = subprocess.run([sys.executable, "-m", "qvtok", "to-jsonl", *args], stdin=stdin,
                              stdout=append if how == ">> FILE" else subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=TIMEOUT)
    assert (done.returncode, done.stdout or b"") == (2, b"")
    message = done.stderr.decode()
    assert message.startswith("qvtok: ") and message.count("\n") == 1 and path in message
    with open(path) as f:
        assert f.read() == "1\n2\n"


def test_to_jsonl_output_that_cannot_be_written(write, tmp_path):
    out = tmp_path / "none" / "out.jsonl"
    assert_failed(qvtok("to-jsonl", write("x.json", "[1]"), "-o", str(out)),
                  f"cannot write {out}: No such file or directory")


COMMANDS = [
    ["count"], ["schema"], ["schema", "--sample", "5"], ["head"], ["head", "-n", "0"], ["to-jsonl"], ["validate"]
]


@pytest.mark.parametrize("command", COMMANDS)
def test_missing_file(tmp_path, command):
    path = str(tmp_path / "none.jsonl")
    message = f"cannot open {path}: No such file or directory"
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
        (["validate", "x", "--max-errors", "-1"], "argument --max-errors: must not be negative: -1"),
        (["schema", "x", "--sample", "every"], "argument --sample: not an integer: 'every'"),
        (["count", "a", "--bar"], "unrecognized arguments: --bar"),
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
        (["to-jsonl"], padded(50000)),
        # Every report printed, far more than a pipe holds.
        (["validate", "--jobs", "1", "--max-errors", "50000"], "{\n" * 50000),
    ],
    ids=["head", "to-jsonl", "validate"],
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


def has_open(pid, path):
    """Whether the process holds the file open; descriptors come and go while we look."""
    fds = f"/proc/{pid}/fd"
    for fd in os.listdir(fds):
        try:
            if os.readlink(os.path.join(fds, fd)) == os.path.realpath(path):
                return True
        except OSError:
            pass
    return False


def test_interrupt_is_quiet_and_keeps_what_was_printed(fifo):
    path, writer = fifo
    os.write(writer, b'{"a": 1}\n')
    child = subprocess.Popen(
        [sys.executable, "-m", "qvtok", "head", path],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        preexec_fn=default_sigint,
    )
    # Once the file is open the interpreter is up and Python's handler set.
    deadline = time.monotonic() + TIMEOUT
    while not has_open(child.pid, path):
        assert child.poll() is None and time.monotonic() < deadline, "the command never opened its file"
        time.sleep(0.01)
    time.sleep(0.5)  # let it take the first record and block on the second
    child.send_signal(signal.SIGINT)
    stdout, stderr = child.communicate(timeout=TIMEOUT)
    assert (child.returncode, stdout, stderr) == (130, b'{"a":1}\n', b"")


def run_on_terminal(*args, stdin=None):
    """Runs the command with stderr on a pseudo-terminal and stdout on a pipe;
    gives the status, stdout and everything the terminal received."""
    controller, terminal = pty.openpty()
    child = subprocess.Popen(
        [sys.executable, "-m", "qvtok", *args], stdin=stdin, stdout=subprocess.PIPE, stderr=terminal
    )
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


def test_no_progress_bar_when_the_size_is_unknown(write):
    path = write("big.jsonl", padded(20000))
    cat = subprocess.Popen(["cat", path], stdout=subprocess.PIPE)
    status, stdout, screen = run_on_terminal("validate", stdin=cat.stdout)
    cat.stdout.close()
    assert cat.wait(TIMEOUT) == 0
    assert (status, stdout, screen) == (0, "20000 records, 0 invalid\n", "")


def test_reports_stay_clean_with_a_bar_on_the_terminal(write):
    path = write("x.jsonl", '1\n{"a": x}\n3\n')
    status, stdout, screen = run_on_terminal("validate", path)
    assert status == 1
    assert stdout == f"{path}:2:7: record 1: Expecting value\n3 records, 1 invalid\n"
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


@pytest.mark.parametrize("command", [["count"], ["schema"], ["head"], ["to-jsonl"], ["validate"]])
def test_closed_standard_output_is_an_error_without_traceback(write, command):
    done = run_with_closed(1, *command, write("x.jsonl", EVENTS))
    assert done.returncode == 2
    assert done.stderr == b"qvtok: standard output is closed\n"


def test_closed_standard_input_is_an_error():
    done = run_with_closed(0, "count")
    assert (done.returncode, done.stdout) == (2, b"")
    assert done.stderr == b"qvtok: standard input is closed\n"


@pytest.mark.parametrize(
    "args, status, out",
    [
        (["count", "{x}"], 0, b"3\n"),
        (["validate", "{x}"], 0, b"3 records, 0 invalid\n"),
        (["validate", "{bad}"], 1, b"{bad}:1:1: record 0: Expecting value\n"
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
    assert (done.returncode, done.stdout) == (status, out.decode().format_map(paths).encode())


def _array_of_records(count, broken=()):
    """A one-line JSON array as json.dumps writes it, with the records whose
    indexes are in `broken` spoilt in place (a value that is no JSON)."""
    records = [
        b'{"id": %d, "name": "n%d", "v": nope}' % (i, i) if i in broken else b'{"id": %d, "name": "n%d", "v": 1.5}' % (i, i)
        for i in range(count)
    ]
    return b"[" + b", ".join(records) + b"]"


def _without_a_key_quote(data, fraction):
    """`data` with the opening quote of the key "name" that follows `fraction`
    of it removed: every string after it reads inside out."""
    at = data.index(b'"name"', int(len(data) * fraction))
    return data[:at] + data[at + 1 :], at


def _damaged(tmp_path, kind):
    # Larger than the smallest part that --jobs cuts, so that two threads
    # really check parts of the plain files.
    count = 300_000
    if kind == "truncated-gzip":
        packed = gzip.compress(_array_of_records(count, broken={3, 10, 200_000}))
        data, name = packed[: len(packed) // 2], "x.json.gz"
    elif kind == "several-invalid":
        data, name = _array_of_records(count, broken={0, 5, 140_000, 150_001, 299_999}), "x.json"
    else:
        data, _ = _without_a_key_quote(_array_of_records(count, broken={7}), 0.5)
        name = "x.json"
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize("kind", ["truncated-gzip", "several-invalid", "structure-lost"])
def test_validate_reports_the_same_on_one_thread_and_two(tmp_path, kind):
    path = _damaged(tmp_path, kind)
    one, two = (qvtok("validate", "--jobs", jobs, path) for jobs in ("1", "2"))
    assert (one.returncode, one.stdout, one.stderr) == (two.returncode, two.stdout, two.stderr)
    reported = [line for line in one.stdout.splitlines() if line.startswith(path)]
    # Each run found the invalid records before the point where it stopped.
    assert len(reported) == {"truncated-gzip": 2, "several-invalid": 5, "structure-lost": 3}[kind]
    assert one.returncode == (2 if kind == "truncated-gzip" else 1)


@pytest.mark.parametrize("fraction", [0.0, 0.5, 0.99])
@pytest.mark.parametrize("jobs", ["1", "2"])
def test_validate_names_the_first_fault_and_the_bytes_left_unchecked(tmp_path, fraction, jobs):
    data, at = _without_a_key_quote(_array_of_records(300_000), fraction)
    path = tmp_path / "x.json"
    path.write_bytes(data)
    try:
        json.loads(data)
    except json.JSONDecodeError as e:
        expected = e
    done = qvtok("validate", "--jobs", jobs, str(path))
    record = data.count(b"{", 0, at) - 1
    assert expected.pos == at
    fault, unchecked, summary = done.stdout.splitlines()
    assert fault.startswith(f"{path}:{expected.lineno}:{expected.colno}: record {record}: ")
    assert unchecked == f"{path}: bytes {at}\u2013{len(data)} not checked: the structure was lost at record {record}"
    noun = "record" if record == 0 else "records"
    assert summary == f"{record + 1} {noun}, 1 invalid"
    assert done.returncode == 1


@pytest.mark.parametrize(
    "args",
    [
        ["count"],
        ["schema", "--sample", "all"],
        ["head", "-n", "500"],
        ["to-jsonl", "-o", os.devnull],
        ["validate", "--jobs", "1"],
        ["validate", "--jobs", "2"],
    ],
)
def test_every_long_command_draws_the_bar(write, args):
    path = write("big.jsonl", padded(20000))
    size = os.path.getsize(path)
    status, _, screen = run_on_terminal(*args, path)
    assert status == 0
    assert "%" in screen and f"/ {size / 2**20:.1f} MiB" in screen
    assert screen.endswith("\r\x1b[K")
    status, _, screen = run_on_terminal(*args, path, "--no-progress")
    assert (status, screen) == (0, "")


@pytest.mark.parametrize("command", ["count", "validate", "to-jsonl"])
def test_progress_is_drawn_when_asked_off_a_terminal(write, command):
    path = write("big.jsonl", padded(20000))
    done = qvtok(command, path, "--progress")
    assert done.returncode == 0
    assert "100%" in done.stderr
    assert qvtok(command, path).stderr == ""


def test_validate_in_file_order_whatever_the_threads(write):
    lines = padded(300000).splitlines(keepends=True)
    for at in (5, 150000, 299990):
        lines[at] = "{\n"
    path = write("big.jsonl", "".join(lines))
    one = qvtok("validate", "--jobs", "1", path)
    two = qvtok("validate", "--jobs", "2", path)
    assert one.returncode == two.returncode == 1
    assert one.stdout == two.stdout
    assert one.stdout.count("record ") == 3


@pytest.fixture
def three(tmp_path):
    """Three files in two folders, one of them compressed."""
    (tmp_path / "logs" / "old").mkdir(parents=True)
    paths = [tmp_path / "logs" / "a.jsonl", tmp_path / "logs" / "b.jsonl.gz", tmp_path / "logs" / "old" / "c.jsonl"]
    paths[0].write_text('{"a": 1}\n{"a": 2}\n')
    paths[1].write_bytes(gzip.compress(b'{"b": true}\n'))
    paths[2].write_text('{"c": "x"}\n{"c": "y"}\n{"c": "z"}\n')
    return [str(p) for p in paths]


@pytest.mark.parametrize("pattern", ["logs/**/*.jsonl*", "{files}"])
def test_count_of_several_files(three, tmp_path, pattern):
    a, b, c = three
    args = three if pattern == "{files}" else [str(tmp_path / pattern)]
    done = qvtok("count", *args)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == f"2 {a}\n1 {b}\n3 {c}\n6 total\n"


def test_several_files_are_one_stream(three, tmp_path):
    a, b, c = three
    texts = ['{"a":1}', '{"a":2}', '{"b":true}', '{"c":"x"}', '{"c":"y"}', '{"c":"z"}']
    assert qvtok("head", "-n", "4", *three).stdout == "\n".join(texts[:4]) + "\n"
    assert qvtok("to-jsonl", *three).stdout == "\n".join(texts) + "\n"
    for name in ("all.jsonl", "all.jsonl.gz"):
        out = tmp_path / name
        assert qvtok("to-jsonl", *three, "-o", str(out)).returncode == 0
        # One compressed stream per input file, read back as one.
        assert list(open_records(str(out)).compact()) == [t.encode() for t in texts]
    done = qvtok("validate", *three)
    assert (done.returncode, done.stdout) == (0, "6 records, 0 invalid\n")
    schema = json.loads(qvtok("schema", *three).stdout)
    assert schema == {a: {"a": "int"}, b: {"b": "bool"}, c: {"c": "str"}}


def test_validate_of_several_files_names_each(three, write):
    broken = write("broken.jsonl", '{"x": 1}\n{"x": }\n')
    done = qvtok("validate", three[0], broken, three[2], "--max-errors", "5")
    assert done.returncode == 1
    assert done.stdout == f"{broken}:2:7: record 1: Expecting value\n7 records, 1 invalid\n"


def test_globs(tmp_path, three):
    odd = tmp_path / "logs" / "[x].jsonl"
    odd.write_text("1\n")
    # A file whose name holds glob characters is that file, not a pattern.
    assert qvtok("count", str(odd)).stdout == "1\n"
    assert_failed(qvtok("count", str(tmp_path / "*.csv")), f"no file matches {tmp_path / '*.csv'}")
    done = qvtok("count", str(tmp_path / "logs" / "*.jsonl"))
    assert done.stdout == f"1 {odd}\n2 {three[0]}\n3 total\n"


@pytest.mark.parametrize("command", ["count", "head"])
@pytest.mark.parametrize(
    "text, hint",
    [
        ('{"type": "FeatureCollection", "name": "x", "features": [{"a": 1}, {"a": 2}, {"a": 3}], "bbox": [1, 2]}',
         "/features"),
        ('{"meta": {"n": 2}, "a/b": [1, 2]}', "/a~1b"),
        ('[{"features": [1, 2, 3]}]', None),
        ('{"features": {"a": [1]}}', None),
    ],
)
def test_hint_for_records_under_a_key(write, command, text, hint):
    path = write("doc.json", text)
    done = qvtok(command, path)
    plain = qvtok(command, path, "--at", "")
    assert done.returncode == 0
    assert done.stdout == qvtok(command, path).stdout
    expected = f"qvtok: hint: the records seem to be under {hint}; try --at {hint}\n" if hint else ""
    assert done.stderr == expected
    assert plain.stderr == ""
    # Standard input is never read twice.
    assert qvtok(command, input=text).stderr == ""


@pytest.mark.parametrize("existing", [False, True])
def test_failed_write_leaves_no_partial_file(tmp_path, write, existing):
    path = write("x.jsonl", "".join(f'{{"i": {i}}}\n' for i in range(1000)) + "{\n")
    out = tmp_path / "out.jsonl.gz"
    if existing:
        out.write_bytes(b"before")
    done = qvtok("to-jsonl", path, "-o", str(out))
    assert done.returncode == 2
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["x.jsonl"] + (["out.jsonl.gz"] if existing else []))
    if existing:
        assert out.read_bytes() == b"before"

