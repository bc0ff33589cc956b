"""Values equal to json.loads': keys in text order with json's duplicate
rule, exact big integers, -0 as 0, and shared key objects.

Driven through the internal entries that parse with those options: one
converts a parsed document with the shared-key converter, the other builds
the values straight from the text, as qvtok.open's passes do."""

import io
import json
import math
import os
import signal
import subprocess
import random
import sys

import pytest

import qvtok
import qvtok.lib._qvtok as _qvtok
from conftest import corpus_files, forks_with_threads
from qvtok import bigjson

CORPUS = corpus_files()


@pytest.fixture(params=["_loads", "_loads_direct"])
def loads(request):
    entry = getattr(_qvtok, request.param)
    return lambda text: entry(text.encode() if isinstance(text, str) else text)


def assert_same(got, want, path="$"):
    """Equal values of the same types, dict keys in the same order."""
    assert type(got) is type(want), f"{path}: {type(got).__name__} != {type(want).__name__}"
    if isinstance(want, dict):
        assert list(got) == list(want), f"{path}: keys {list(got)} != {list(want)}"
        for key in want:
            assert_same(got[key], want[key], f"{path}.{key}")
    elif isinstance(want, list):
        assert len(got) == len(want), f"{path}: length {len(got)} != {len(want)}"
        for i, (g, w) in enumerate(zip(got, want)):
            assert_same(g, w, f"{path}[{i}]")
    elif isinstance(want, float):
        assert got == want and math.copysign(1, got) == math.copysign(1, want), f"{path}: {got!r} != {want!r}"
    else:
        assert got == want, f"{path}: {got!r} != {want!r}"


@pytest.mark.parametrize("path", CORPUS, ids=lambda p: p.name)
def test_corpus_files_equal_json(path, loads):
    data = path.read_bytes()
    assert_same(loads(data), json.loads(data))


@pytest.mark.parametrize(
    "text",
    [
        '{"b": 1, "a": 2, "b": 3}',
        '{"a": 1, "a": 2, "a": {"a": 3, "a": [4]}}',
        '{"a": 1, "\\u0061": 2, "b": 3, "a": 4}',
        '{"z": 0, "y": 1, "x": 2, "": 3, "\\u00e9": 4, "e\\u0301": 5}',
        '[{"k": 1}, {"k": 2, "j": 3}, {"j": 4, "k": 5}]',
        "[18446744073709551615, 18446744073709551616, -9223372036854775808, -9223372036854775809]",
        "[123456789012345678901234567890, -123456789012345678901234567890]",
        "[-0, 0, -0.0, 0.0, -0e0, -0E-0]",
        "[1e-400, -1e-400, 4.9e-324, 2.2250738585072014e-308, 1.7976931348623157e308]",
        "[123456789012345678901234567890.0, 123456789012345678901234567890e-10, 1E22, 1e23]",
        '["\\ud83d\\ude00", "\\u0000", "tab\\there", "caf\\u00e9", "\\u4e2d\\u6587", "\xf0\x9f\x98\x80"]',
        '"just a string"',
        # Decoded strings one after another: each key and value its own.
        '{"\\u00e9x": "\\u00e9y", "a\\nb": ["\\t", "\\u00e9", "\\"q\\""], "k\\u0000": {"\\/": "\\\\"}}',
        "[" * 127 + "]" * 127,
        "-0",
        "99999999999999999999999999",
        "{}",
        "[]",
    ],
)
def test_texts_equal_json(text, loads):
    assert_same(loads(text), json.loads(text))


def test_duplicate_key_keeps_first_place_and_last_value(loads):
    got = loads('{"b": 1, "a": 2, "b": 3}')
    assert list(got.items()) == [("b", 3), ("a", 2)]


def test_bigjson_keeps_sorted_keys_and_float_big_integers(write):
    path = write("doc.json", '{"b": [-0, 18446744073709551616], "a": 2, "b": [-0]}')
    got = bigjson.load(path)
    assert list(got) == ["a", "b"]
    assert got["b"] == [-0.0] and math.copysign(1, got["b"][0]) == -1
    big = bigjson.load(write("big.json", "[18446744073709551616]"))
    assert type(big[0]) is float


def random_key(rng):
    return rng.choice(
        [
            "id",
            "name",
            "a",
            "",
            "caf\\u00e9",
            "\\u0061",
            "\\ud83d\\ude00",
            "k" * 64,
            "k" * 65,
            "long_" + "x" * 100,
            "\u4e2d",
            "quote\\\"d",
            "user_id",
            "user_name",
        ]
    )


def random_number(rng):
    choice = rng.randrange(7)
    if choice == 0:
        return str(rng.randrange(-(2**70), 2**70))
    if choice == 1:
        edge = rng.choice([2**63, 2**64])
        return str(rng.choice([1, -1]) * (edge + rng.randrange(-3, 4)))
    if choice == 2:
        return rng.choice(["-0", "0", "-0.0", "0.0", "-0e5"])
    if choice == 3:
        return repr(rng.uniform(-1e6, 1e6))
    if choice == 4:
        return repr(random_double(rng))
    if choice == 5:
        digits = "".join(rng.choice("0123456789") for _ in range(rng.randrange(1, 40)))
        digits = digits.lstrip("0") or "0"
        return f"{digits}.{rng.randrange(10**6)}e{rng.randrange(-300, 250)}"
    return str(rng.randrange(-1000, 1000))


def random_double(rng):
    while True:
        value = rng.choice([-1, 1]) * rng.random() * 10.0 ** rng.randrange(-307, 308)
        if math.isfinite(value):
            return value


def random_value(rng, depth=0):
    choice = rng.randrange(9 if depth < 5 else 6)
    if choice == 0:
        return rng.choice(["null", "true", "false"])
    if choice in (1, 2):
        return random_number(rng)
    if choice in (3, 4, 5):
        return '"' + random_key(rng) + rng.choice(["", "x", "\\n", "\u00e9", "\\u2028"]) + '"'
    if choice in (6, 7):
        members = [f'"{random_key(rng)}": {random_value(rng, depth + 1)}' for _ in range(rng.randrange(0, 25))]
        return "{" + ", ".join(members) + "}"
    return "[" + ", ".join(random_value(rng, depth + 1) for _ in range(rng.randrange(0, 8))) + "]"


@pytest.mark.parametrize("seed", range(200))
def test_random_documents_equal_json(seed, loads):
    rng = random.Random(seed)
    text = random_value(rng)
    assert_same(loads(text), json.loads(text))


def test_many_distinct_keys_past_the_cache(loads):
    # Far more keys than the cache has slots: evictions keep every value right.
    rng = random.Random(5)
    keys = [f"key{rng.randrange(10**6)}_{i}" for i in range(20000)]
    text = "[" + ", ".join("{" + f'"{k}": {i}, "{keys[i // 2]}": {i}' + "}" for i, k in enumerate(keys)) + "]"
    assert_same(loads(text), json.loads(text))


def test_equal_keys_are_one_object_across_records(loads):
    records = loads('[{"id": 1, "caf\\u00e9": 2, "name": 3}, {"name": 4, "id": 5, "caf\\u00e9": 6}]')
    first, second = records
    for key in first:
        (same,) = [k for k in second if k == key]
        assert same is key
    # Long keys are not cached, but still right.
    long_key = "x" * 200
    a, b = loads(json.dumps([{long_key: 1}, {long_key: 2}]))
    assert list(a) == list(b) == [long_key]


@pytest.mark.parametrize("length", [0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 25, 40, 63, 64, 65, 100])
def test_keys_that_differ_in_one_byte_stay_apart(length, loads):
    # Same length, same ends: only the bytes compared in the middle (or the
    # one byte of a short key) tell them apart.
    def key(c):
        if length == 0:
            return ""
        middle = length // 2
        return "k" * middle + c + "k" * (length - middle - 1)

    variants = [key(c) for c in "abcab"] + [key("\u00e9"), key("a")]
    text = "[" + ", ".join("{" + f'"{k}": {i}, "z": "{k}"' + "}" for i, k in enumerate(variants)) + "]"
    got = loads(text)
    assert_same(got, json.loads(text))
    # Each record's key is the text its "z" member repeats.
    assert [list(record)[0] for record in got] == [record["z"] for record in got]


def test_keys_are_released_with_the_values(loads):
    result = loads('{"a_key_nobody_else_has": 1}')
    key = next(iter(result))
    del result
    # Only `key` and the argument of getrefcount hold it: the cache let go.
    assert sys.getrefcount(key) == 2


def test_repeated_integers_keep_their_values(loads):
    # Repeated numbers share one int: many more than the table has slots,
    # meeting each other in slots, at the edges of the 64-bit ranges and of
    # CPython's own small ints, and as keys of dicts that repeat them.
    rng = random.Random(8)
    edges = [-(2**63), -(2**63) + 1, -6, -5, 256, 257, 2**63 - 1, 2**63, 2**64 - 1]
    numbers = edges + [rng.randrange(-(10**12), 10**12) for _ in range(5000)]
    picks = [rng.choice(numbers) for _ in range(40000)]
    text = json.dumps([{"n": n, "m": [n, -n]} for n in picks])
    got = loads(text)
    assert_same(got, json.loads(text))
    assert [r["n"] for r in got] == picks


@pytest.mark.parametrize(
    "text",
    ["1e400", "-1e400", "[1, 2e999]", '{"a": 1', "[1,]", '{"a" 1}', "-", "01", '"\\ud800"'],
)
def test_refused_texts_raise_value_error(text, loads):
    # json.loads reads 1e400 as inf; we refuse numbers beyond the doubles.
    with pytest.raises(ValueError):
        loads(text)


def test_integers_beyond_pythons_digit_limit_fail_as_in_json(loads):
    text = "9" * 5000
    with pytest.raises(ValueError):
        json.loads(text)
    with pytest.raises(ValueError):
        loads(text)


@pytest.mark.parametrize("entry", ["_loads", "_loads_direct"])
def test_argument_must_be_bytes(entry):
    with pytest.raises(TypeError):
        getattr(_qvtok, entry)("[]")
    with pytest.raises(ValueError):
        getattr(_qvtok, entry)(b'["\xff"]')


@pytest.mark.parametrize("path", [p for p in CORPUS if p.name != "canada.json"], ids=lambda p: p.name)
def test_repeated_calls_leave_no_objects_behind(path, loads):
    data = path.read_bytes()
    loads(data)
    before = sys.getallocatedblocks()
    for _ in range(30):
        loads(data)
    # A key or value kept by mistake would stay behind 30 times over.
    assert sys.getallocatedblocks() - before < 200


def test_objects_that_repeat_a_key_order_equal_json(loads):
    # From the third object of one order on, dicts are copies of a model:
    # each must still hold its own values, in its own order, with json's
    # rule for a repeated key, also when an order differs in one key.
    keys = [f"key_{i}" for i in range(20)]
    orders = [
        keys,
        keys[::-1],
        keys[:10] + ["key_0"] + keys[10:],  # a repeated key: first place, last value
        keys[:19] + ["other"],
        keys + ["key_20"],
    ]
    rng = random.Random(3)
    objects = []
    for n in range(60):
        order = orders[rng.randrange(len(orders))] if n >= 10 else orders[n % 2]
        members = ", ".join(f'"{k}": {rng.choice(["1", "[2]", "{}", "null", str(n)])}' for k in order)
        objects.append("{" + members + "}")
    text = "[" + ", ".join(objects) + "]"
    assert_same(loads(text), json.loads(text))


def test_strings_of_every_width_equal_json(loads):
    # A str made wider than its characters need compares unequal to the one
    # json makes: lengths past eight bytes and their tails, every width.
    alphabet = ["a", "\u00e9", "\u00ff", "\u0100", "\u4e2d", "\U0001f600", "\x7f", "\uffff", "\U00010000"]
    rng = random.Random(11)
    texts = ["".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 30))) for _ in range(3000)]
    text = json.dumps([[s, {s: i}] for i, s in enumerate(texts)], ensure_ascii=False)
    assert_same(loads(text), json.loads(text))


def large_object(seed, last, members=6000):
    """An object past the size from which a text is read on a thread of its
    own while its values are built: long enough for that thread's ring to
    come round many times, with escapes and every string width."""
    rng = random.Random(seed)
    members = [f'"k{i}": {random_value(rng, 3)}' for i in range(members)]
    return "{" + ", ".join(members) + ', "last": ' + last + "}"


@pytest.mark.parametrize("members", [6000, 30000])  # the second is past a MiB: read on two threads too
@pytest.mark.parametrize("source", ["path", "file object"])
def test_large_documents_equal_json(write, source, members):
    text = large_object(1, '"\\u00e9\\ud83d\\ude00 end"', members)
    assert len(text) > (1 << 18 if members == 6000 else 1 << 20)
    path = write("large.json", text.encode())
    records = qvtok.open(path if source == "path" else io.BytesIO(text.encode()), format="json")
    assert_same(records.load(), [json.loads(text)])


@pytest.mark.parametrize("last", ["1]", "nul", '"\\q"', "1.e5", "2,}", '"open'])
def test_large_documents_fail_where_small_ones_do(write, last):
    """A fault far into a large text is placed and named as in a small one
    (which is read on one thread), the same distance past the same bytes."""
    small = '{"last": ' + last + "}"
    with pytest.raises(qvtok.JSONDecodeError) as want:
        qvtok.open(io.BytesIO(small.encode()), format="json").load()
    text = large_object(2, last)
    shift = len(text.encode()) - len(small.encode())
    with pytest.raises(qvtok.JSONDecodeError) as got:
        qvtok.open(write("broken.json", text), format="json").load()
    assert (got.value.msg, got.value.pos, got.value.lineno, got.value.colno) == (
        want.value.msg,
        want.value.pos + shift,
        1,
        want.value.colno + shift,
    )


@pytest.mark.parametrize("where", ["front", "middle", "end"])
@pytest.mark.parametrize("bad", [b"\xff", b"\xe2\x82", b"\xed\xa0\x80"])
def test_large_documents_with_broken_utf8_fail_at_the_byte(write, where, bad):
    """The reading thread starts on a large text before its UTF-8 has been
    checked: a bad byte anywhere still fails the load, at that byte, and
    the next load is unharmed."""
    text = large_object(3, '"end"').encode()
    at = {"front": 8, "middle": len(text) // 2, "end": len(text) - 3}[where]
    at = text.index(b'"', at) + 1  # inside a string: the text stays JSON
    broken = write("broken.json", text[:at] + bad + text[at:])
    with pytest.raises(qvtok.JSONDecodeError, match="UTF-8") as got:
        qvtok.open(broken, format="json").load()
    assert got.value.pos == at
    assert_same(qvtok.open(write("whole.json", text), format="json").load(), [json.loads(text)])


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.filterwarnings("ignore::DeprecationWarning")  # fork while the reading thread is parked
@forks_with_threads
def test_a_child_of_fork_reads_large_documents(write):
    path = write("large.json", large_object(3, "0"))
    want = qvtok.open(path, format="json").load()
    pid = os.fork()
    if pid == 0:
        signal.alarm(20)  # a read that waits for its parent's thread fails rather than hangs
        os._exit(0 if qvtok.open(path, format="json").load() == want else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="needs affinity")
def test_a_process_held_to_one_core_reads_large_documents_on_its_own_thread(write):
    """Two threads that hand work to each other on one core would take
    turns, each waiting out the other's time slice."""
    path = write("large.json", large_object(4, "0"))
    script = (
        "import os, sys, qvtok\n"
        "os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n"
        "qvtok.open(sys.argv[1], format='json').load()\n"
        "print(len(os.listdir('/proc/self/task')))\n"
    )
    threads = subprocess.run([sys.executable, "-c", script, path], capture_output=True, text=True, check=True)
    assert threads.stdout.split() == ["1"]
