import subprocess
import sys
import textwrap

import pytest


@pytest.mark.no_sanitizer  # ASan aborts on a failed allocation instead of throwing
def test_failed_allocation_is_a_memory_error(tmp_path):
    # 25 million numbers need far more than the cap for their parse; the
    # interpreter must survive with a MemoryError, and keep working.
    path = tmp_path / "many.json"
    path.write_text("[" + "1," * 25_000_000 + "1]")
    script = textwrap.dedent(
        f"""
        import os, resource
        from qvtok import bigjson
        def vm():
            with open("/proc/self/status") as f:
                for line in f:
                    if line.startswith("VmSize:"):
                        return int(line.split()[1]) * 1024
        cap = vm() + 150 * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
        fds = len(os.listdir("/proc/self/fd"))
        try:
            bigjson.load({str(path)!r})
        except MemoryError:
            print("MemoryError")
        print(bigjson.count({str(path)!r}))
        print(len(os.listdir("/proc/self/fd")) == fds)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.split()
    assert lines == ["MemoryError", "25000001", "True"]


# Tries `op` under address-space caps above what the interpreter already
# uses, from tight (the read fails) through the parse and the conversion to
# loose (everything fits). Each attempt must end as a result or a
# MemoryError, never as an abort or another exception, and afterwards the
# interpreter must work on with no file left open.
LIMITS_SCRIPT = """
import gc, os, resource, sys
import qvtok
from qvtok import bigjson

path, fmt, how = sys.argv[1], sys.argv[2], sys.argv[3]
# Where to_jsonl writes, its extension naming the compression.
out = os.path.join(os.path.dirname(path), "out." + how) if how in ("gz", "zst") else None

def op():
    if how == "load":
        return len(bigjson.load(path, fmt))
    if how == "iter":
        return len(list(bigjson.iter_records(path, fmt)))
    if how == "open":
        # A file object is read on this thread: values built from the text.
        with open(path, "rb") as f:
            return len(qvtok.open(f, format=fmt).load())
    # A path is read on threads: records read ahead of the caller, a large
    # record read on two, a file to write cut into parts, the output
    # compressed beside the reading.
    if how == "open-path":
        return len(qvtok.open(path, format=fmt).load())
    if how == "open-iter":
        return len(list(qvtok.open(path, format=fmt)))
    return qvtok.open(path, format=fmt).to_jsonl(out)

def vm(key="VmSize"):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1]) * 1024

fds = len(os.listdir("/proc/self/fd"))
base = vm()
expected = op()
gc.collect()
need = vm("VmPeak") - base  # what one unconstrained run took at its peak
hard = resource.getrlimit(resource.RLIMIT_AS)[1]
for share in (0.01, 0.3, 0.6, 0.8, 0.9, 0.95, 0.98, 1.5):
    cap = base + int(need * share)
    resource.setrlimit(resource.RLIMIT_AS, (cap, hard))
    try:
        outcome = op()
    except MemoryError:
        outcome = "MemoryError"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    gc.collect()
    print(share, outcome, flush=True)
# What the last, loosest attempt wrote reads whole.
written = qvtok.open(out).count() if out else expected
print("alive", expected, bigjson.count(path, fmt), written, len(os.listdir("/proc/self/fd")) == fds)
"""


@pytest.fixture(scope="module")
def records_file(tmp_path_factory):
    """About 20 MB of varied records ("r"), and 8 MB of records of some 170 KB
    each ("big"), as JSON and JSONL."""
    lines = [
        '{"id": %d, "name": "user-%d", "tags": ["a", "b\\u00e9"], "score": %d.5, "ok": true}' % (i, i, i)
        for i in range(300_000)
    ]
    big = [
        '{"id": %d, "rows": [%s]}' % (i, ", ".join('{"n": %d, "s": "v%d"}' % (j, j * i) for j in range(6_000)))
        for i in range(48)
    ]
    folder = tmp_path_factory.mktemp("records")
    for name, records in [("r", lines), ("big", big)]:
        (folder / f"{name}.jsonl").write_text("\n".join(records) + "\n")
        (folder / f"{name}.json").write_text("[\n" + ",\n".join(records) + "\n]\n")
    return folder


RECORDS = {"r": 300_000, "big": 48}


# Each case runs a child once per memory cap it sweeps: a minute in all,
# which CI spends; a plain run keeps one case of each kind of source.
def sweep(how, fmt, name):
    quick = {("load", "json", "r"), ("open-path", "jsonl", "big"), ("gz", "jsonl", "big")}
    return pytest.param(how, fmt, name, marks=() if (how, fmt, name) in quick else pytest.mark.slow)


@pytest.mark.no_sanitizer
@pytest.mark.parametrize(
    "how, fmt, name",
    [sweep(how, fmt, "r") for how in ("load", "iter", "open") for fmt in ("json", "jsonl")]
    + [sweep("open-path", fmt, name) for fmt in ("json", "jsonl") for name in ("r", "big")]
    + [sweep("open-iter", fmt, "big") for fmt in ("json", "jsonl")]
    + [sweep(codec, "jsonl", name) for codec in ("gz", "zst") for name in ("r", "big")],
)
def test_memory_runs_out_at_any_point(records_file, how, fmt, name):
    path = records_file / f"{name}.{fmt}"
    out = subprocess.run(
        [sys.executable, "-c", LIMITS_SCRIPT, str(path), fmt, how],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    outcomes = [line.split()[1] for line in lines[:-1]]
    n = str(RECORDS[name])
    assert set(outcomes) <= {"MemoryError", n}, out.stdout
    # The tightest caps fail wherever the peak falls, which threads move
    # from run to run; the loosest fits.
    assert outcomes[0] == "MemoryError" and outcomes[-1] == n, out.stdout
    assert lines[-1] == f"alive {n} {n} {n} True"


THREADS_SCRIPT = """
import io, resource, sys
import qvtok

def vm():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024

path, which = sys.argv[1], sys.argv[2]
# Too little room for a thread's stack, enough for one thread's work.
cap = vm() + 6 * 2**20
resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
ops = {"iterate": lambda: sum(1 for _ in qvtok.open(path)),
       "validate": lambda: qvtok.open(path).validate(workers=2)[0],
       "to_jsonl": lambda: qvtok.open(path)._to_jsonl(io.BytesIO(), 1 << 20)}
try:
    print(ops[which]())
except MemoryError:
    print("MemoryError")
print(len(qvtok.open(io.BytesIO(b"[1, 2, 3]")).load()))  # and the interpreter works on
"""


@pytest.mark.no_sanitizer  # ASan aborts on a failed allocation instead of throwing
@pytest.mark.parametrize("fmt", ["jsonl", "json"])
def test_threads_that_cannot_start(tmp_path, fmt):
    # Reading ahead goes on without its thread; work cut for threads fails
    # as memory does, and the interpreter works on.
    rows = ['{"i": %d, "s": "%s"}' % (i, "x" * (i % 90)) for i in range(200_000)]
    path = tmp_path / f"x.{fmt}"
    path.write_text("\n".join(rows) + "\n" if fmt == "jsonl" else "[\n" + ",\n".join(rows) + "\n]\n")
    for which, expected in [("iterate", ["200000"]), ("validate", ["MemoryError"]), ("to_jsonl", ["MemoryError"])]:
        out = subprocess.run([sys.executable, "-c", THREADS_SCRIPT, str(path), which], capture_output=True,
                             text=True, timeout=120)
        assert out.returncode == 0, out.stderr
        assert out.stdout.split() == expected + ["3"], (which, out.stdout, out.stderr)
