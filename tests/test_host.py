"""qvtok as a guest in its host process: the interpreters it agrees to live
in, and the garbage collector, which must see what its objects hold."""

import gc
import gzip
import io
import json
import subprocess
import sys
import textwrap
import weakref

import pytest

import qvtok

# --- sub-interpreters ------------------------------------------------------

try:
    import _interpreters as interpreters  # 3.13 on
except ImportError:
    try:
        import _xxsubinterpreters as interpreters  # 3.11 and 3.12
    except ImportError:
        interpreters = None

needs_subinterpreters = pytest.mark.skipif(
    interpreters is None, reason="this interpreter offers no module to run sub-interpreters"
)

# "legacy" shares the main interpreter's GIL and leaves an extension to
# refuse by itself; "isolated" (from 3.12) has a GIL of its own and refuses
# an extension that does not declare support for it.
KINDS = ["legacy"] + (["isolated"] if sys.version_info >= (3, 12) else [])

# Run in a fresh process, so that the sub-interpreter can be the first to
# import qvtok. Prints what the sub-interpreter met and how errors of qvtok
# raised in the main interpreter afterwards look.
CHILD = textwrap.dedent(
    """
    import json, os, sys
    kind, order, broken = sys.argv[1:]
    try:
        import _interpreters as interpreters

        def create():
            return interpreters.create(kind)
    except ImportError:
        import _xxsubinterpreters as interpreters

        def create():
            if sys.version_info >= (3, 12):
                return interpreters.create(isolated=kind == "isolated")
            return interpreters.create()

    IMPORT = '''
    import os
    try:
        import qvtok
    except ImportError as e:
        os.write(fd, ("ImportError: " + str(e)).encode())
    else:
        os.write(fd, b"imported")
    '''

    def import_in_subinterpreter():
        r, w = os.pipe()
        interp = create()
        try:
            interpreters.run_string(interp, IMPORT, {"fd": w})
        finally:
            interpreters.destroy(interp)
            os.close(w)
        with os.fdopen(r, "rb") as f:
            return f.read().decode()

    if order == "main-first":
        import qvtok
    outcome = import_in_subinterpreter()
    import qvtok

    def raised(call):
        try:
            call()
        except Exception as e:
            return e
        return None

    decode = raised(lambda: qvtok.open(broken).load())
    value = raised(lambda: qvtok.open(broken, on_error="neither"))
    print(json.dumps({
        "subinterpreter": outcome,
        "decode": repr(decode),
        "decode_is_qvtok": isinstance(decode, qvtok.JSONDecodeError),
        "decode_is_json": isinstance(decode, json.JSONDecodeError),
        "value": repr(value),
        "value_is_value_error": type(value) is ValueError,
    }))
    """
)


@needs_subinterpreters
@pytest.mark.parametrize("order", ["sub-first", "main-first"])
@pytest.mark.parametrize("kind", KINDS)
def test_a_subinterpreter_cannot_import_qvtok_and_the_main_one_is_unharmed(write, kind, order):
    broken = write("broken.json", '[1, {"a": }, 3]')
    run = subprocess.run(
        [sys.executable, "-c", CHILD, kind, order, broken], capture_output=True, text=True, timeout=120
    )
    assert run.returncode == 0, run.stderr
    seen = json.loads(run.stdout)
    assert seen["subinterpreter"].startswith("ImportError: "), seen
    assert seen["decode_is_qvtok"] and seen["decode_is_json"], seen
    assert seen["value_is_value_error"], seen


# --- the garbage collector --------------------------------------------------

ARRAY = b'[{"a": 1}, [2, 3], "four", 5]'


class File(io.BytesIO):
    """A binary file object that can hold what reads it."""


class TupleFile(tuple):
    """A file object the collector cannot take apart: (BytesIO, dict). What
    it holds goes in the dict, which is tracked only once it holds an object
    that is: after the Records or iterator, so that the collector clears
    that one first."""

    __slots__ = ()

    def read(self, n=-1):
        return self[0].read(n)


class Holder:
    """An object to put in a cycle and watch with a weak reference."""


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def records_holding_its_file(tmp_path):
    f = File(ARRAY)
    f.held = qvtok.open(f)
    return f


def records_holding_its_compressed_file(tmp_path):
    f = File(gzip.compress(ARRAY))
    f.held = qvtok.open(f)
    return f


def records_holding_its_path(tmp_path):
    (tmp_path / "a.json").write_bytes(ARRAY)
    p = PathLike(str(tmp_path / "a.json"))
    p.held = qvtok.open(p)
    return p


def records_cleared_first(tmp_path):
    h = Holder()
    f = TupleFile((io.BytesIO(ARRAY), {}))
    f[1]["held"] = qvtok.open(f)
    f[1]["watched"] = h
    return h


def iterator_holding_its_file(tmp_path):
    f = File(ARRAY)
    f.held = iter(qvtok.open(f))
    return f


def iterator_holding_its_file_midway(tmp_path):
    f = File(gzip.compress(ARRAY))
    it = qvtok.open(f).raw()
    next(it)
    f.held = it
    return f


def iterator_cleared_first(tmp_path):
    h = Holder()
    f = TupleFile((io.BytesIO(ARRAY), {}))
    it = qvtok.open(f).items()
    next(it)
    f[1]["held"] = it
    f[1]["watched"] = h
    return h


def iterator_holding_its_errors(tmp_path):
    (tmp_path / "a.jsonl").write_bytes(b'1\n{"broken\n3\n')
    it = iter(qvtok.open(str(tmp_path / "a.jsonl"), on_error="skip"))
    list(it)
    h = Holder()
    h.held = it
    it.errors.append(h)
    return h


@pytest.mark.parametrize(
    "make",
    [
        records_holding_its_file,
        records_holding_its_compressed_file,
        records_holding_its_path,
        records_cleared_first,
        iterator_holding_its_file,
        iterator_holding_its_file_midway,
        iterator_cleared_first,
        iterator_holding_its_errors,
    ],
)
def test_a_cycle_through_a_qvtok_object_is_collected(tmp_path, make):
    watched = weakref.ref(make(tmp_path))
    gc.collect()
    assert watched() is None
