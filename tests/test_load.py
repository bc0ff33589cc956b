import json
import math
import random
import struct

import pytest

from qvtok import bigjson


def load_text(write, text, name="doc.json"):
    return bigjson.load(write(name, text))


def invalid(write, text):
    with pytest.raises(ValueError) as info:
        load_text(write, text)
    return str(info.value)


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "EOF while parsing a value at line 1 column 0"),
        ("  ", "EOF while parsing a value at line 1 column 2"),
        (" \n", "EOF while parsing a value at line 2 column 0"),
        ("[1,]", "trailing comma at line 1 column 4"),
        ('{"a":1,}', "trailing comma at line 1 column 8"),
        ("[1 2]", "expected `,` or `]` at line 1 column 4"),
        ('{"a":1 "b":2}', "expected `,` or `}` at line 1 column 8"),
        ('{"a" 1}', "expected `:` at line 1 column 6"),
        ("{1:2}", "key must be a string at line 1 column 2"),
        ('{"a":1,2}', "key must be a string at line 1 column 8"),
        ("01", "invalid number at line 1 column 2"),
        ("-", "EOF while parsing a value at line 1 column 1"),
        ("-a", "invalid number at line 1 column 2"),
        ("1.", "EOF while parsing a value at line 1 column 2"),
        ("1.x", "invalid number at line 1 column 3"),
        ("1e", "EOF while parsing a value at line 1 column 2"),
        ("1e+x", "invalid number at line 1 column 4"),
        ("tru", "EOF while parsing a value at line 1 column 3"),
        ("trux", "expected ident at line 1 column 4"),
        ("nul", "EOF while parsing a value at line 1 column 3"),
        ("1 2", "trailing characters at line 1 column 3"),
        ("truex", "trailing characters at line 1 column 5"),
        ("NaN", "expected value at line 1 column 1"),
        ("+1", "expected value at line 1 column 1"),
        (".5", "expected value at line 1 column 1"),
        ("Infinity", "expected value at line 1 column 1"),
        ("[", "EOF while parsing a list at line 1 column 1"),
        ("[1", "EOF while parsing a list at line 1 column 2"),
        ("[1,", "EOF while parsing a value at line 1 column 3"),
        ("{", "EOF while parsing an object at line 1 column 1"),
        ('{"a"', "EOF while parsing an object at line 1 column 4"),
        ('{"a":1', "EOF while parsing an object at line 1 column 6"),
        ('"abc', "EOF while parsing a string at line 1 column 4"),
        ('"a\\', "EOF while parsing a string at line 1 column 3"),
        ('"\\x"', "invalid escape at line 1 column 3"),
        ('"\\u12G4"', "invalid escape at line 1 column 7"),
        ('"\\u12"', "EOF while parsing a string at line 1 column 6"),
        ('"\\uD800"', "unexpected end of hex escape at line 1 column 8"),
        ('"\\uD800x"', "unexpected end of hex escape at line 1 column 8"),
        ('"\\uD800\\n"', "unexpected end of hex escape at line 1 column 9"),
        ('"\\uD800\\u0041"', "lone leading surrogate in hex escape at line 1 column 13"),
        ('"\\uDC00"', "lone leading surrogate in hex escape at line 1 column 7"),
        ('"a\nb"', "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
        ('"a\tb"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
        ("1e400", "number out of range at line 1 column 5"),
        ("-1e400", "number out of range at line 1 column 6"),
        ("1e99999999999", "number out of range at line 1 column 12"),
        ("[" * 128, "recursion limit exceeded at line 1 column 128"),
        ('{"a":' * 128, "recursion limit exceeded at line 1 column 636"),
        ("\ufeff[]", "expected value at line 1 column 1"),
        ('{"a": 1}\n{"b": 2}\n', "trailing characters at line 2 column 1"),
        ('["é", x]', "expected value at line 1 column 8"),
        ("[\n  1,\n  x]", "expected value at line 3 column 3"),
        ("\r\n\r\n  x", "expected value at line 3 column 3"),
    ],
)
def test_syntax_errors(write, text, message):
    assert invalid(write, text) == "invalid JSON: " + message


@pytest.mark.parametrize(
    "text, expected",
    [
        ("null", None),
        (" true ", True),
        ("\tfalse\r\n", False),
        ("42", 42),
        ("0", 0),
        ("18446744073709551615", 18446744073709551615),
        ("9223372036854775807", 9223372036854775807),
        ("9223372036854775808", 9223372036854775808),
        ("-9223372036854775808", -9223372036854775808),
        ("-1", -1),
        ("1E2", 100.0),
        ("1e-400", 0.0),
        ("0e99999999999", 0.0),
        ("1e-99999999999", 0.0),
        ("18446744073709551616", 2.0**64),
        ("-9223372036854775809", -9223372036854775809.0),
        ('"\\ud83d\\ude00"', "\U0001F600"),
        ('"a\\u0000b"', "a\x00b"),
        ('"\\"\\\\\\/\\b\\f\\n\\r\\t"', '"\\/\b\f\n\r\t'),
        ('"\\u00e9\\u20AC"', "é€"),
        ('"\x7f"', "\x7f"),
        ("[]", []),
        ("{}", {}),
        ('{"a": 1, "a": 2}', {"a": 2}),
    ],
)
def test_values(write, text, expected):
    value = load_text(write, text)
    assert value == expected
    assert type(value) is type(expected)


@pytest.mark.parametrize("text", ["-0", "-0.0", "-0e5"])
def test_negative_zero(write, text):
    value = load_text(write, text)
    assert type(value) is float and value == 0.0 and math.copysign(1, value) == -1


@pytest.mark.parametrize(
    "text, keys",
    [
        ('{"b": 1, "a": 2, "c": 3}', ["a", "b", "c"]),
        ('{"a": 1, "B": 2, "\\u00e9": 3, "ab": 4}', ["B", "a", "ab", "é"]),
        ('{"b": 1, "a": 2, "b": 3}', ["a", "b"]),
        ('{"aa": 1, "a": 2, "": 3}', ["", "a", "aa"]),
        ('{"\\uffff": 1, "\\ud83d\\ude00": 2, "\\u00ff": 3}', ["\u00ff", "\uffff", "\U0001F600"]),
    ],
)
def test_keys_in_byte_order(write, text, keys):
    assert list(load_text(write, text)) == keys


def test_duplicate_key_keeps_later_value_in_key_order(write):
    assert list(load_text(write, '{"b": 1, "a": 2, "b": 3}').items()) == [("a", 2), ("b", 3)]


def test_nesting_limit(write):
    deep = "[" * 127 + "]" * 127
    value = load_text(write, deep)
    for _ in range(126):
        value = value[0]
    assert value == []
    objects = '{"a":' * 127 + "1" + "}" * 127
    assert load_text(write, objects)["a"]["a"]


def test_invalid_utf8_is_a_read_error(write):
    with pytest.raises(RuntimeError) as info:
        bigjson.load(write("bad.json", b'["a\xffb"]'))
    assert str(info.value) == "read error: stream did not contain valid UTF-8"


@pytest.mark.parametrize(
    "text",
    [
        "1.7976931348623157e308",
        "2.2250738585072011e-308",
        "2.2250738585072014e-308",
        "5e-324",
        "2.4703282292062328e-324",
        "2.4703282292062327e-324",
        "4.9406564584124654e-324",
        "1.7976931348623158e308",
        "0.1",
        "9007199254740993",
        "9007199254740993.0",
        "123456789012345678901234567890e-10",
        "0." + "0" * 400 + "1e400",
        "1" + "0" * 400 + "e-400",
        "3.14159265358979323846264338327950288419716939937510582097494459",
        "-2.225073858507201136057409796709131975934819546351645648e-308",
        "7.2057594037927933e16",
        "1e23",
        "8.98846567431158e307",
    ],
)
def test_floats_are_correctly_rounded(write, text):
    value = load_text(write, text)
    assert struct.pack("<d", value) == struct.pack("<d", float(text))


def test_float_overflow_from_many_digits(write):
    assert invalid(write, "1" * 400) == "invalid JSON: number out of range at line 1 column 400"
    assert invalid(write, "1.8e308") == "invalid JSON: number out of range at line 1 column 7"


def test_random_floats_round_trip(write):
    rng = random.Random(1234)
    values = [rng.uniform(-1e6, 1e6) for _ in range(2000)]
    values += [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(3000)]
    values = [v for v in values if math.isfinite(v)]
    text = "[" + ",".join(repr(v) for v in values) + "]"
    loaded = load_text(write, text)
    assert [struct.pack("<d", v) for v in loaded] == [struct.pack("<d", v) for v in values]


# --- differential test against the json module ---------------------------------

CHARS = ["a", "Z", "0", " ", '"', "\\", "/", "\n", "\t", "\x00", "\x1f", "\x7f", "é", "€", "\U0001F600", "\u2028"]


def random_string(rng):
    return "".join(rng.choice(CHARS) for _ in range(rng.randrange(0, 12)))


def random_number(rng):
    kind = rng.randrange(6)
    if kind == 0:
        return rng.randrange(-(2**63), 2**64)
    if kind == 1:
        return rng.randrange(-1000, 1000)
    if kind == 2:
        return rng.uniform(-1e10, 1e10)
    if kind == 3:
        return rng.choice([0.0, 1e-310, 2.5e-300, 1.5e300, -7.25])
    if kind == 4:
        return rng.random()
    return rng.randrange(2**53)


def random_value(rng, depth):
    roll = rng.random()
    if depth > 0 and roll < 0.25:
        return [random_value(rng, depth - 1) for _ in range(rng.randrange(0, 5))]
    if depth > 0 and roll < 0.5:
        return {random_string(rng): random_value(rng, depth - 1) for _ in range(rng.randrange(0, 5))}
    return rng.choice(
        [None, True, False, random_number(rng), random_number(rng), random_string(rng)]
    )


def canonical(value):
    """The json module's result in this module's documented form: keys sorted
    by their UTF-8 bytes."""
    if isinstance(value, dict):
        return {k: canonical(value[k]) for k in sorted(value, key=lambda k: k.encode())}
    if isinstance(value, list):
        return [canonical(v) for v in value]
    return value


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


@pytest.mark.parametrize("seed", range(40))
def test_differential_against_json(write, seed):
    rng = random.Random(seed)
    doc = random_value(rng, depth=rng.choice([2, 4, 8]))
    text = json.dumps(doc, ensure_ascii=rng.random() < 0.5, indent=rng.choice([None, 1, "\t"]))
    assert same(load_text(write, text), canonical(json.loads(text)))


def test_deep_random_nesting_matches_json(write):
    rng = random.Random(7)
    doc = 1
    for _ in range(120):
        doc = [doc] if rng.random() < 0.5 else {"k": doc}
    text = json.dumps(doc)
    assert same(load_text(write, text), json.loads(text))


# --- JSONL ---------------------------------------------------------------------

WHITE_SPACE = [
    "\t", "\x0b", "\x0c", "\r", " ", "\x85", "\xa0", "\u1680",
    *[chr(c) for c in range(0x2000, 0x200B)],
    "\u2028", "\u2029", "\u202f", "\u205f", "\u3000",
]


def test_white_space_set_has_25_code_points():
    assert len(WHITE_SPACE) + 1 == 25  # and the line feed, which ends lines


@pytest.mark.parametrize("ws", WHITE_SPACE, ids=[f"U+{ord(c):04X}" for c in WHITE_SPACE])
def test_jsonl_blank_lines_and_trimming(write, ws):
    path = write("x.jsonl", f'{ws}\n1\n{ws}{ws}\n{ws}{{"a":2}}{ws}\n')
    assert bigjson.load(path) == [1, {"a": 2}]


@pytest.mark.parametrize("ws", ["\ufeff", "\u200b"])
def test_jsonl_not_white_space(write, ws):
    with pytest.raises(ValueError) as info:
        bigjson.load(write("x.jsonl", f"{ws}1\n"))
    assert str(info.value) == "invalid JSONL line: expected value at line 1 column 1"


@pytest.mark.parametrize(
    "content, expected",
    [
        ("", []),
        ("\n\n  \n", []),
        ('1\n\n{"x":2}\n', [1, {"x": 2}]),
        ('1\r\n{"x":2}\r\n', [1, {"x": 2}]),
        ("1\n2", [1, 2]),
        ("[1,\r2]\n", [[1, 2]]),  # a lone CR does not end a line
        ('{"b":1,"a":2}\n', [{"a": 2, "b": 1}]),
    ],
)
def test_jsonl_values(write, content, expected):
    assert bigjson.load(write("x.jsonl", content)) == expected


@pytest.mark.parametrize(
    "content, exc, message",
    [
        ("  [1,]\n", ValueError, "invalid JSONL line: trailing comma at line 1 column 4"),
        ('{"a": 1} {"b": 2}\n', ValueError, "invalid JSONL line: trailing characters at line 1 column 10"),
        ('1\n2\n{"a": x}\n4\n', ValueError, "invalid JSONL line: expected value at line 1 column 7"),
        ("[1,\n2]\n", ValueError, "invalid JSONL line: EOF while parsing a value at line 1 column 3"),
        (b"1\n\"\xff\"\n", RuntimeError, "read error: stream did not contain valid UTF-8"),
    ],
)
def test_jsonl_errors(write, content, exc, message, no_fd_leak):
    with pytest.raises(exc) as info:
        bigjson.load(write("x.jsonl", content))
    assert str(info.value) == message


def test_jsonl_load_matches_json_module(write):
    rng = random.Random(99)
    docs = [random_value(rng, 3) for _ in range(300)]
    path = write("r.jsonl", "\n".join(json.dumps(d) for d in docs) + "\n")
    loaded = bigjson.load(path)
    assert len(loaded) == len(docs)
    assert all(same(a, canonical(b)) for a, b in zip(loaded, docs))


def test_load_directory_as_json_is_a_read_error(tmp_path):
    with pytest.raises(RuntimeError) as info:
        bigjson.load(str(tmp_path), format="json")
    assert str(info.value) == "read error: Is a directory (os error 21)"


def test_load_returns_sole_owners(write):
    import sys

    text = '{"a": [1.5, "x", {"b": []}], "c": {}}'

    def counts(value):
        inner = value["a"]
        return [sys.getrefcount(x) for x in (value, inner, inner[0], inner[2], value["c"])]

    assert counts(load_text(write, text)) == counts(json.loads(text))
