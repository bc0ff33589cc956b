"""Resources across many calls: file descriptors, memory, reference counts,
and the file behind an iterator."""

import gc
import json
import os
import subprocess
import sys
import textwrap

import pytest

from qvtok import bigjson

RECORDS = [
    {"id": i, "name": f"name {i} é", "tags": ["a", "b", str(i)], "score": i * 1.25, "big": 2**64 - 1 - i,
     "nested": {"ok": i % 2 == 0, "none": None, "list": [[i], {"k": "v" * (i % 7)}]}}
    for i in range(400)
]


def make_files(root, large=False):
    """Good and bad inputs for every path through the operations."""
    os.makedirs(root, exist_ok=True)
    files = {
        "array.json": json.dumps(RECORDS),
        "lines.jsonl": "\n".join(json.dumps(r) for r in RECORDS) + "\n",
        "object.json": json.dumps({"records": RECORDS[:50]}),
        "bad-element.json": "[1, x, 3, {\"a\": tru}, 5]",
        "truncated.json": json.dumps(RECORDS[:20])[:-40],
        "bad-lines.jsonl": b'1\n{"a": x}\n\xff\xfe\n[1,]\n' + b'"ok"\n' * 50,
        "not-utf8.json": b'["a\xff", ' + json.dumps(RECORDS[:30]).encode() + b"]",
        "bad-document.json": '{"a": 1} trailing',
        "deep.json": "[" * 200 + "]" * 200,
        "empty.json": "",
    }
    if large:
        # Megabytes: a buffer or a parse kept by mistake shows in RSS at once.
        files["large.json"] = json.dumps(RECORDS * 10, indent=1)
    paths = []
    for name, content in files.items():
        path = os.path.join(root, name)
        with open(path, "wb") as f:
            f.write(content.encode() if isinstance(content, str) else content)
        paths.append(path)
    directory = os.path.join(root, "directory.json")
    os.makedirs(directory, exist_ok=True)
    return paths + [directory, os.path.join(root, "missing.json"), os.path.join(root, "missing")]


def exercise(paths):
    """One round: every operation on every file, errors included; iterators
    run to their end, dropped early, or dropped right after creation."""
    calls = 0
    for path in paths:
        for op in (
            bigjson.count,
            bigjson.load,
            lambda p: bigjson.load(p, "jsonl"),
            bigjson.schema,
            lambda p: bigjson.schema(p, 3, "json"),
            lambda p: bigjson.count(p, "jsonl"),
        ):
            calls += 1
            try:
                op(path)
            except (ValueError, RuntimeError):
                pass
        for fmt, take in ((None, None), ("jsonl", None), (None, 2), ("json", 0)):
            calls += 1
            try:
                it = bigjson.iter_records(path, fmt)
            except ValueError:
                continue
            # A read error repeats on every call (a directory): give up then.
            for _ in range(take if take is not None else 2000):
                try:
                    next(it)
                except StopIteration:
                    break
                except ValueError:
                    pass
                except RuntimeError:
                    break
            del it
    return calls


def test_no_descriptor_left_after_many_calls(tmp_path, no_fd_leak):
    paths = make_files(str(tmp_path))
    calls = 0
    while calls < 3000:
        calls += exercise(paths)


@pytest.mark.no_sanitizer  # its leak checker covers this run
def test_memory_does_not_grow(tmp_path):
    # A fresh interpreter, so that nothing else the test run holds moves the
    # numbers. Current and peak RSS are taken after a warm-up and again after
    # thousands more calls; Python objects are traced on top, since a leaked
    # small object would hide below RSS granularity.
    here = os.path.dirname(os.path.abspath(__file__))
    script = textwrap.dedent(
        f"""
        import resource, sys, tracemalloc
        sys.path.insert(0, {here!r})
        from test_resources import exercise, make_files

        def rss():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * resource.getpagesize()

        def peak():
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

        paths = make_files({str(tmp_path)!r}, large=True)
        for _ in range(5):
            exercise(paths)
        tracemalloc.start()
        exercise(paths)
        rss0, peak0, traced0 = rss(), peak(), tracemalloc.get_traced_memory()[0]
        calls = 0
        while calls < 4000:
            calls += exercise(paths)
        rss1, peak1, traced1 = rss(), peak(), tracemalloc.get_traced_memory()[0]
        print(calls, rss1 - rss0, peak1 - peak0, traced1 - traced0)
        """
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=600)
    assert out.returncode == 0, out.stderr
    calls, rss_growth, peak_growth, traced_growth = map(int, out.stdout.split())
    assert calls >= 4000
    # One leaked read buffer per call would be hundreds of megabytes.
    assert rss_growth < 4 * 2**20, f"RSS grew by {rss_growth} bytes over {calls} calls"
    assert peak_growth < 4 * 2**20, f"peak RSS grew by {peak_growth} bytes over {calls} calls"
    assert traced_growth < 64 * 1024, f"Python objects grew by {traced_growth} bytes over {calls} calls"


# --- reference counts ------------------------------------------------------------------


def owner_counts(value):
    """sys.getrefcount of every object in a result that is not shared by
    design: containers, floats, ints outside the small-int cache and strings
    longer than one character, found by walking the values (dict keys are
    left out: json interns repeated keys, this module does not)."""
    counts = []
    stack = [value]
    while stack:
        v = stack.pop()
        if isinstance(v, bool) or v is None:
            continue
        if isinstance(v, int) and -5 <= v <= 256:
            continue
        if isinstance(v, str) and len(v) < 2:
            continue
        counts.append((type(v).__name__, sys.getrefcount(v)))
        if isinstance(v, dict):
            stack.extend(v.values())
        elif isinstance(v, list):
            stack.extend(v)
    return counts


DOC = {"a": [1.5, "xy", {"b": [], "c": {}}, 10**18, -(10**18), 2**64 - 1, "é€😀", 3.0e300],
       "d": "text", "e": [[[-7.25]]], "f": ["leaf", 12345]}
LINES = [json.dumps(DOC), "", json.dumps([DOC, DOC]), json.dumps(DOC["a"])]


def jsonl_values(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


@pytest.mark.parametrize(
    "name, text, read, baseline",
    [
        ("doc.json", json.dumps(DOC), bigjson.load, json.loads),
        ("doc.jsonl", "\n".join(LINES) + "\n", bigjson.load, jsonl_values),
        ("arr.json", json.dumps([DOC, [DOC], "long string"]), lambda p: list(bigjson.iter_records(p)), json.loads),
        ("arr.jsonl", "\n".join(LINES), lambda p: list(bigjson.iter_records(p)), jsonl_values),
    ],
    ids=["load-json", "load-jsonl", "iter-json", "iter-jsonl"],
)
def test_returned_values_have_one_owner(write, name, text, read, baseline):
    # Both counted before the assert, which keeps the values it shows alive.
    counts = owner_counts(read(write(name, text)))
    expected = owner_counts(baseline(text))
    assert counts == expected
    assert len(counts) >= 20


def test_scalar_results_have_one_owner(write):
    path = write("many.json", "[" + ",".join(["1"] * 300) + "]")
    counted, fresh_int = bigjson.count(path), int("300")
    assert counted == 300
    assert sys.getrefcount(counted) == sys.getrefcount(fresh_int) == 2
    text, fresh_str = bigjson.schema(path), "".join(["x", "y"])
    assert sys.getrefcount(text) == sys.getrefcount(fresh_str) == 2
    it = bigjson.iter_records(path)
    assert sys.getrefcount(it) == 2
    same = iter(it)
    assert same is it and sys.getrefcount(it) == 3
    del same
    assert sys.getrefcount(it) == 2


def test_raised_errors_have_one_owner(write):
    def held(raise_it):
        try:
            raise_it()
        except Exception as e:
            return sys.getrefcount(e)
        raise AssertionError("no error")

    def python_error():
        raise ValueError("invalid JSON: expected value at line 1 column 1")

    path = write("bad.json", "x")
    assert held(lambda: bigjson.load(path)) == held(python_error)
    assert held(lambda: next(bigjson.iter_records(path))) == held(python_error)
    assert held(lambda: bigjson.schema(path)) == held(python_error)
    assert held(lambda: bigjson.load(path, "bogus")) == held(python_error)
    assert held(lambda: bigjson.count(b"bytes path")) == held(python_error)  # TypeError with a note


# --- the file behind an iterator ----------------------------------------------------------


def descriptors_of(path):
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == path:
                found.append(fd)
        except OSError:
            pass
    return found


def drop_after(it, steps):
    for _ in range(steps):
        try:
            next(it)
        except (ValueError, RuntimeError):
            pass


@pytest.mark.parametrize(
    "name, content, steps",
    [
        ("a.json", json.dumps(RECORDS), 0),
        ("a.json", json.dumps(RECORDS), 1),
        ("a.json", json.dumps(RECORDS * 20), 300),  # past the first 64 KiB block
        ("a.jsonl", "\n".join(json.dumps(r) for r in RECORDS), 5),
        ("e.json", "[1, x, " + json.dumps(RECORDS) + "]", 2),  # just after an element error
        ("e.jsonl", b'1\n\xff\n{"a": x}\n' + b"2\n" * 100, 3),  # just after a read error and a parse error
    ],
    ids=["unread", "first-record", "later-block", "jsonl", "element-error", "jsonl-errors"],
)
def test_iterator_dropped_mid_file_closes_it(write, name, content, steps, no_fd_leak):
    path = write(name, content)
    it = bigjson.iter_records(path)
    drop_after(it, steps)
    assert len(descriptors_of(path)) == 1  # still open: the iterator owns it
    del it
    assert descriptors_of(path) == []


def test_iterator_in_a_reference_cycle_closes_it_when_collected(write, no_fd_leak):
    path = write("c.json", json.dumps(RECORDS))
    holder = []
    holder.append(holder)
    holder.append(bigjson.iter_records(path))
    drop_after(holder[1], 3)
    del holder
    gc.collect()
    assert descriptors_of(path) == []
