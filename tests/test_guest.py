"""qvtok in someone else's process: the collector, idle threads, fork and the
thread limit are the host's, not qvtok's."""

import gc
import io
import json
import os
import subprocess
import sys
import textwrap
import time
import weakref

import pytest

import qvtok
from conftest import forks_with_threads


@pytest.fixture(scope="module")
def big_files(tmp_path_factory):
    """A document of a few MiB (read on two threads) and a JSONL file of
    more than 1 MiB (read ahead on a thread)."""
    folder = tmp_path_factory.mktemp("guest")
    rows = [{"id": i, "name": f"n{i}", "tags": ["a", "b"], "geo": {"x": i / 7, "y": [i, i + 1]}} for i in range(40_000)]
    (folder / "doc.json").write_text(json.dumps({"rows": rows}))
    (folder / "rows.jsonl").write_text("".join(json.dumps(r) + "\n" for r in rows))
    return folder


def threads_of_process():
    return len(os.listdir("/proc/self/task"))


class Node:
    pass


def test_a_load_leaves_the_collector_alone(big_files):
    before = gc.get_freeze_count(), gc.isenabled(), gc.get_threshold()
    qvtok.open(big_files / "doc.json").load()
    qvtok.open(big_files / "rows.jsonl").load()
    qvtok.bigjson.load(str(big_files / "doc.json"))
    assert (gc.get_freeze_count(), gc.isenabled(), gc.get_threshold()) == before


def test_young_cycles_made_before_a_load_are_still_collected(big_files):
    node = Node()
    node.self = node
    gone = weakref.ref(node)
    del node
    enabled = gc.isenabled()
    qvtok.open(big_files / "doc.json").load()
    assert gc.isenabled() == enabled
    gc.collect()
    assert gone() is None


def test_what_the_program_froze_stays_frozen(big_files):
    gc.freeze()
    try:
        frozen = gc.get_freeze_count()
        assert frozen > 0
        qvtok.open(big_files / "doc.json").load()
        qvtok.bigjson.load(str(big_files / "doc.json"))
        assert gc.get_freeze_count() == frozen
    finally:
        gc.unfreeze()


@pytest.mark.parametrize("enabled", [True, False])
def test_the_collector_is_left_as_it_was(big_files, enabled):
    was = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        qvtok.open(big_files / "doc.json").load()
        qvtok.open(big_files / "rows.jsonl").head(5)
        with pytest.raises(qvtok.JSONDecodeError):
            qvtok.open(io.BytesIO(b"[1, 2, oops]")).load()
        assert gc.isenabled() == enabled
    finally:
        (gc.enable if was else gc.disable)()


def containers(value):
    if isinstance(value, dict):
        yield value
        for v in value.values():
            yield from containers(v)
    elif isinstance(value, list):
        yield value
        for v in value:
            yield from containers(v)


BIG_TREE = json.dumps([{"id": i, "tags": ["a", [i, {"k": [None]}]], "d": {"e": {"f": [1.5]}}} for i in range(3000)])


@pytest.mark.parametrize("text", [
    b'[{"flat": [1, "a", 2.5, null, true], "nested": [[1], {"k": 1}], "obj": {"a": {"b": []}}, "empty": []}]',
    BIG_TREE.encode(),  # read on two threads
])
@pytest.mark.parametrize("how", ["open", "bigjson", "records"])
def test_what_a_load_makes_is_never_walked_by_the_collector(tmp_path, text, how):
    path = tmp_path / "t.json"
    path.write_bytes(text)
    if how == "open":
        value = qvtok.open(io.BytesIO(text)).load()
    elif how == "bigjson":
        value = qvtok.bigjson.load(str(path))
    else:
        value = list(qvtok.open(path))  # a list of Python's own, tracked: the records are qvtok's
    assert value == json.loads(text)
    made = value if how == "records" else [value]
    assert not any(gc.is_tracked(c) for record in made for c in containers(record))
    # What the program does with a dict later is the collector's again.
    first = value[0]
    first["self"] = first
    assert gc.is_tracked(first)


def test_a_cycle_the_program_makes_of_loaded_dicts_is_collected():
    value = qvtok.open(io.BytesIO(b'[{"a": {"b": 1}}]')).load()[0]
    inner = value["a"]
    inner["outer"] = value
    value["self"] = value
    ids = id(value)  # dicts take no weak references
    del value, inner
    gc.collect()
    assert all(id(o) != ids for o in gc.get_objects())


@pytest.mark.no_sanitizer  # measures CPU time
def test_no_cpu_is_burnt_between_loads(big_files):
    text = (big_files / "doc.json").read_bytes()
    for _ in range(3):
        qvtok.open(io.BytesIO(text)).load()
    # Jobs 2 ms apart: a thread that watched for the next job would burn
    # the whole gap.
    cpu, wall = time.process_time(), time.perf_counter()
    for _ in range(20):
        qvtok.open(big_files / "doc.json").load()
        time.sleep(0.002)
    busy = time.process_time() - cpu
    cpu = time.process_time()
    time.sleep(0.3)
    assert time.process_time() - cpu < 0.02  # idle: nothing runs
    # The sleeps alone are 40 ms of wall time, none of it CPU time.
    assert busy < (time.perf_counter() - wall) * 1.2


def test_max_threads_limits_the_threads_a_pass_starts(big_files):
    default = qvtok.max_threads()
    assert default >= 1
    qvtok.set_max_threads(1)
    try:
        assert qvtok.max_threads() == 1
        before = threads_of_process()
        it = iter(qvtok.open(big_files / "rows.jsonl"))
        next(it)
        assert threads_of_process() == before
        assert sum(1 for _ in it) == 39_999
        assert qvtok.open(big_files / "doc.json").load()[0]["rows"][-1]["id"] == 39_999
        assert qvtok.open(big_files / "rows.jsonl").validate() == (40_000, [])
    finally:
        qvtok.set_max_threads(None)
    assert qvtok.max_threads() == default


@pytest.mark.parametrize("bad", [0, -1, 5000, 1.5, "2"])
def test_max_threads_refuses_what_is_no_count(bad):
    with pytest.raises((ValueError, TypeError)):
        qvtok.set_max_threads(bad)


@pytest.mark.parametrize("value, expected", [("1", "1"), ("", None), ("zero", "ImportError")])
def test_max_threads_from_the_environment(value, expected):
    script = "import qvtok, os; print(qvtok.max_threads() if os.environ['QVTOK_MAX_THREADS'] else 'default')"
    env = dict(os.environ, QVTOK_MAX_THREADS=value)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    if expected == "ImportError":
        assert out.returncode != 0 and "QVTOK_MAX_THREADS" in out.stderr
    else:
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == (expected or "default")


FORK_SCRIPT = """
import faulthandler, os, signal, sys, warnings
import qvtok
signal.alarm(20)  # a child that hangs fails the test rather than stall it
warnings.simplefilter("error")  # os.fork warns when the process has threads
path, how = sys.argv[1], sys.argv[2]
if how == "after-load":
    qvtok.open(path).load()
    pid = os.fork()
    if pid == 0:
        os._exit(0 if qvtok.open(path).count() == 40_000 else 3)
    _, status = os.waitpid(pid, 0)
    print("child", os.waitstatus_to_exitcode(status))
    sys.exit(0)
it = iter(qvtok.open(path))
# The first record comes from this thread; reading ahead starts with the
# second.
taken = 1 if how == "first-record" else 100
for _ in range(taken):
    next(it)
warnings.simplefilter("ignore")  # a pass is open on its thread: the warning is due
pid = os.fork()
if pid == 0:
    # A child that hangs says where before its alarm ends it.
    faulthandler.dump_traceback_later(9, exit=False)
    signal.alarm(10)
    if how == "first-record":
        # Nothing runs on another thread yet: the child reads on alone,
        # from its own place in the file, as the parent does from its own.
        os._exit(0 if taken + sum(1 for _ in it) == 40_000 else 7)
    if how == "go-on":
        try:
            for _ in it:
                pass
            os._exit(4)
        except RuntimeError as e:
            os._exit(0 if "forked" in str(e) else 5)
    elif how == "del":
        del it
        os._exit(0 if qvtok.open(path).count() == 40_000 else 6)
    else:  # leaves `it` to interpreter exit
        sys.exit(0)
_, status = os.waitpid(pid, 0)
print("child", os.waitstatus_to_exitcode(status))
print("parent", taken + sum(1 for _ in it))
"""


@pytest.mark.parametrize("how", ["first-record", "go-on", "del", "exit", "after-load"])
@forks_with_threads
def test_fork_with_a_pass_open(big_files, how):
    out = subprocess.run([sys.executable, "-c", FORK_SCRIPT, str(big_files / "rows.jsonl"), how],
                         capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    lines = out.stdout.split("\n")
    assert lines[0] == "child 0", out.stdout + out.stderr
    if how != "after-load":
        assert lines[1] == "parent 40000"
