import json
import os
import subprocess
import sys
import time

import pytest

from qvtok import bigjson


def schema_of(write, records, sample=100, name="x.jsonl"):
    """The schema of records written one per line."""
    text = "\n".join(r if isinstance(r, str) else json.dumps(r) for r in records) + "\n"
    return json.loads(bigjson.schema(write(name, text), sample))


WORKED = [
    {"id": 1, "tags": ["a", "b"], "meta": {"x": 1.5}},
    {"id": 2, "tags": [], "meta": None, "extra": True},
    {"id": "3", "tags": [1]},
]


def test_worked_example_to_the_byte(write):
    text = bigjson.schema(write("w.jsonl", "\n".join(json.dumps(r) for r in WORKED) + "\n"))
    assert text == (
        "{\n"
        '  "extra?": "bool",\n'
        '  "id": "int|str",\n'
        '  "meta?": {\n'
        '    "__oneof__": [\n'
        '      "null",\n'
        "      {\n"
        '        "x": "float"\n'
        "      }\n"
        "    ]\n"
        "  },\n"
        '  "tags": [\n'
        '    "int|str"\n'
        "  ]\n"
        "}"
    )


@pytest.mark.parametrize(
    "records, expected",
    [
        (["1", "2.5", "3"], "float|int"),
        (["true", "false"], "bool"),
        (["null"], "null"),
        (["1.0", "1e2", "-0", "18446744073709551616"], "float"),
        (['"a"', "null", "1", "false", "2.0"], "bool|float|int|null|str"),
        (["[]", "[]"], []),
        (["[]", "[1]"], ["int"]),
        (['[1, "x"]', "[[2]]"], [{"__oneof__": ["int|str", ["int"]]}]),
        (['{"a": 1}', "{}"], {"a?": "int"}),
        (["{}", "{}"], {}),
        (['{"a": null}', '{"a": 1}'], {"a": "int|null"}),
        (['{"a": 1}', '{"b": "x"}'], {"a?": "int", "b?": "str"}),
        (['1', '"a"', "[1]", '{"x": 1}'], {"__oneof__": ["int|str", ["int"], {"x": "int"}]}),
        (["[1]", '{"x": 1}'], {"__oneof__": [["int"], {"x": "int"}]}),
        (["5", '{"a": 1}'], {"__oneof__": ["int", {"a": "int"}]}),
        (['{"a": 1, "a?": "x"}', '{"a?": "y"}'], {"a?": "str"}),
        (['{"a?": "y"}', '{"a": 1, "a?": "x"}'], {"a?": "int"}),
        (['{"o": {"p": 1}}', '{"o": {"q": true}}', "{}"], {"o?": {"p?": "int", "q?": "bool"}}),
        (['[[1, "a"], [null]]', "[[], [[2.5]]]"], [[{"__oneof__": ["int|null|str", ["float"]]}]]),
    ],
)
def test_inference(write, records, expected):
    assert schema_of(write, records) == expected


def test_fields_in_byte_order(write):
    text = bigjson.schema(write("k.jsonl", '{"a?": 1, "a": 2, "B": 3, "aB": 4, "a_": 5, "aa": 6, "b": 7}\n'))
    names = [line.split('"')[1] for line in text.splitlines()[1:-1]]
    assert names == ["B", "a", "a?", "aB", "a_", "aa", "b"]


def test_escaping_of_keys(write):
    record = {'q"': 1, "b\\": 1, "t\t": 1, "c\x01": 1, "e\u00e9": 1, "s/": 1, "d\x7f": 1,
              "n\n\r\b\f": 1, "u\x1f": 1}
    text = bigjson.schema(write("e.jsonl", json.dumps(record) + "\n"))
    assert '"q\\"": "int"' in text
    assert '"b\\\\": "int"' in text
    assert '"t\\t": "int"' in text
    assert '"c\\u0001": "int"' in text
    assert '"e\u00e9": "int"' in text
    assert '"s/": "int"' in text
    assert '"d\x7f": "int"' in text
    assert '"n\\n\\r\\b\\f": "int"' in text
    assert '"u\\u001f": "int"' in text
    assert json.loads(text) == {k: "int" for k in record}


@pytest.mark.parametrize(
    "content, name, expected",
    [
        ("", "x.json", '"unknown"'),
        (" \n\t", "x.json", '"unknown"'),
        ("[]", "x.json", '"unknown"'),
        ("\n  \n\n", "x.jsonl", '"unknown"'),
        ("42", "x.json", '"int"'),
        ('[1, 2.5, "x"]', "x.json", '"float|int|str"'),
        ("[1, 2", "x.json", '"int"'),
        ("[1] trailing text", "x.json", '"int"'),
        ("[1,,2,]", "x.json", '"int"'),
        ("[[1, 2], [3]]", "x.json", '[\n  "int"\n]'),
        ('[{"a": 1}, {"b": 2}]', "x.json", '{\n  "a?": "int",\n  "b?": "int"\n}'),
        (b'["a\xffb", {"x\xfe": 1}]', "x.json", '{\n  "__oneof__": [\n    "str",\n    {\n      "x\ufffd": "int"\n    }\n  ]\n}'),
    ],
)
def test_schema_of_files(write, content, name, expected):
    assert bigjson.schema(write(name, content)) == expected


@pytest.mark.parametrize(
    "sample, expected",
    [
        (0, '"unknown"'),
        (1, '{\n  "a": "int"\n}'),
        (2, '{\n  "a?": "int",\n  "b?": "int"\n}'),
        (3, '{\n  "a?": "int",\n  "b?": "int",\n  "c?": "int"\n}'),
        (10, '{\n  "a?": "int",\n  "b?": "int",\n  "c?": "int"\n}'),
        (True, '{\n  "a": "int"\n}'),
    ],
)
def test_sample_limit_jsonl(write, sample, expected):
    path = write("s.jsonl", '{"a": 1}\n\n  \n{"b": 2}\n{"c": 3}\n')
    assert bigjson.schema(path, sample) == expected


@pytest.mark.parametrize(
    "sample, expected",
    [
        (0, '{\n  "a": "int"\n}'),  # the first element is always taken
        (1, '{\n  "a": "int"\n}'),
        (2, '{\n  "a?": "int",\n  "b?": "int"\n}'),
        (3, '{\n  "a?": "int",\n  "b?": "int",\n  "c?": "int"\n}'),
        (2**64 - 1, '{\n  "a?": "int",\n  "b?": "int",\n  "c?": "int"\n}'),
    ],
)
def test_sample_limit_json(write, sample, expected):
    path = write("s.json", '[{"a": 1}, {"b": 2}, {"c": 3}]')
    assert bigjson.schema(path, sample=sample) == expected


def test_reading_stops_once_the_sample_is_complete(write):
    # Lines and elements after the sample are never parsed.
    assert bigjson.schema(write("a.jsonl", b'1\n2\n{bad\n\xff\n'), sample=2) == '"int"'
    assert bigjson.schema(write("a.json", b'[1, 2, {bad, \xff'), sample=2) == '"int"'


@pytest.mark.parametrize(
    "content, name, exc, message",
    [
        ('{"a": 1} x\n', "x.jsonl", ValueError, "invalid JSONL line: trailing characters at line 1 column 10"),
        (b'1\n"\xff"\n', "x.jsonl", RuntimeError, "read error: stream did not contain valid UTF-8"),
        ("[1, {x}]", "x.json", ValueError, "invalid JSON element: key must be a string at line 1 column 2"),
        ("[1, 2 3]", "x.json", ValueError, "invalid JSON element: trailing characters at line 1 column 3"),
        ('{"a": 1} x', "x.json", ValueError, "invalid JSON: trailing characters at line 1 column 10"),
        ("\ufeff[1]", "x.json", ValueError, "invalid JSON: expected value at line 1 column 1"),
        ('[1, {"a":[2}]', "x.json", ValueError, "invalid JSON element: expected `,` or `]` at line 1 column 8"),
    ],
)
def test_schema_errors(write, content, name, exc, message, no_fd_leak):
    with pytest.raises(exc) as info:
        bigjson.schema(write(name, content))
    assert str(info.value) == message


def _drain(path):
    return list(bigjson.iter_records(path))


@pytest.mark.parametrize("read", [lambda path: bigjson.schema(path, 100), _drain], ids=["schema", "iter_records"])
def test_a_broken_string_is_found_without_reading_on(tmp_path, read):
    # A stray quote on one line of a pretty-printed array: the raw line feed
    # inside the string is the fault, and nothing past it may be waited for.
    # The writer keeps the pipe open, so reading to its end would hang.
    fifo = tmp_path / "pipe.json"
    os.mkfifo(fifo)
    head = tmp_path / "head.json"
    head.write_text('[\n  {"a": 1},\n  "oops,\n' + '  {"b": 2},\n' * 1000)
    writer = subprocess.Popen(["sh", "-c", f'exec 3>"{fifo}"; cat "{head}" >&3; exec sleep 30'])
    try:
        started = time.monotonic()
        with pytest.raises(ValueError, match="control character"):
            read(str(fifo))
        assert time.monotonic() - started < 10
    finally:
        writer.kill()
        writer.wait()


def test_many_distinct_keys_at_several_depths(write):
    # Thousands of keys, each in one record only, at the root and under an
    # array of objects; equal key names under different parents stay apart.
    records = []
    for r in range(2000):
        keys = {f"k{r}_{i}": i for i in range(5)}
        records.append({**keys, "rows": [{f"k{r}_0": "x", f"r{r % 7}": [r]}]})
    expected = {f"k{r}_{i}?": "int" for r in range(2000) for i in range(5)}
    expected["rows"] = [{**{f"k{r}_0?": "str" for r in range(2000)}, **{f"r{j}?": ["int"] for j in range(7)}}]
    text = bigjson.schema(write("many.jsonl", "\n".join(json.dumps(r) for r in records)), 10**6)
    assert json.loads(text) == expected
    names = [line.split('"')[1] for line in text.splitlines() if line.startswith('  "')]
    assert names == sorted(names, key=lambda n: n.encode())


@pytest.mark.no_sanitizer
def test_memory_per_distinct_key_path(tmp_path):
    # Every record brings keys no other record has: the tallies grow with the
    # distinct key paths, and each may cost at most 200 bytes of peak RSS,
    # the returned text included.
    records, per_record = 10_000, 20
    path = tmp_path / "distinct.jsonl"
    with open(path, "w") as f:
        for r in range(records):
            f.write(json.dumps({f"key{r * per_record + i}": i for i in range(per_record)}) + "\n")
    script = (
        "def status(key):\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith(key): return int(line.split()[1]) * 1024\n"
        "from qvtok import bigjson\n"
        f"base = status('VmRSS:')\n"
        f"text = bigjson.schema({str(path)!r}, {records})\n"
        "print(len(text), status('VmHWM:') - base)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    size, grown = map(int, out.stdout.split())
    assert size > records * per_record * 10  # every key made it into the text
    assert grown < 200 * records * per_record, f"{grown / (records * per_record):.0f} bytes per key path"
