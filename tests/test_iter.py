import os
import signal

import pytest

from qvtok import bigjson


def records(path, fmt=None):
    """Every outcome of iterating: values, and error texts in their place."""
    return records_of(bigjson.iter_records(path, fmt))


def records_of(it):
    out = []
    while True:
        try:
            out.append(next(it))
        except StopIteration:
            return out
        except (ValueError, RuntimeError) as e:
            out.append(f"{type(e).__name__}: {e}")
        if len(out) > 100:
            raise AssertionError("iteration does not end")


@pytest.mark.parametrize(
    "text, expected",
    [
        ("[]", []),
        ("[,]", []),
        ("[1, 2, 3]", [1, 2, 3]),
        ("[1, 2,]", [1, 2]),
        ("[1,,2]", [1, 2]),
        ('["a,]b", {"c": [1, {"d": "}"}]}, "\\"[", "\\\\"]', ["a,]b", {"c": [1, {"d": "}"}]}, '"[', "\\"]),
        # Text after the array is no record, and never passed over in silence.
        ("[1] [2]", [1, "ValueError: invalid JSON: trailing characters at line 1 column 5"]),
        ("[1] trailing text", [1, "ValueError: invalid JSON: trailing characters at line 1 column 5"]),
        ("[1,2]\n[3,4]\n[5,6]\n", [1, 2, "ValueError: invalid JSON: trailing characters at line 2 column 1"]),
        ("[1]\n\f\t \r\n", [1]),
        ('{"a": 1}', [{"a": 1}]),
        ('\n  {"a":\n 1}\n', [{"a": 1}]),
        ("  42  ", [42]),
        ('"s"', ["s"]),
        ("", []),
        (" \n ", []),
        ('[{"b": 1, "a": 2}]', [{"a": 2, "b": 1}]),
        ('[ 1 ,\n\t2 ]', [1, 2]),
        # Whitespace inside an element is the reader's to judge, never dropped.
        ("[1 2]", ["ValueError: invalid JSON element: trailing characters at line 1 column 3"]),
        ("[tru e]", ["ValueError: invalid JSON element: expected ident at line 1 column 4"]),
        ('[{"a":1}\n{"b":2}]', ["ValueError: invalid JSON element: trailing characters at line 2 column 1"]),
        ('[{"a":1}{"b":2}]', ["ValueError: invalid JSON element: trailing characters at line 1 column 8"]),
        ("[1, x, 3]", [1, "ValueError: invalid JSON element: expected value at line 1 column 1", 3]),
        ("[1, x]", [1, "ValueError: invalid JSON element: expected value at line 1 column 1"]),
        ('{"a": 1} x', ["ValueError: invalid JSON element: trailing characters at line 1 column 10"]),
        ("\ufeff[1]", ["ValueError: invalid JSON element: expected value at line 1 column 1"]),
        # A closer of the wrong kind breaks its element, and nothing after it
        # can be told apart safely: the records end there.
        ("[1}, 2, 3]", ["ValueError: invalid JSON element: trailing characters at line 1 column 2"]),
        ('[{"a":1}}, [1,2], [3,4]]', ["ValueError: invalid JSON element: trailing characters at line 1 column 8"]),
        ('[0, {"a":[1}, 2]', [0, "ValueError: invalid JSON element: expected `,` or `]` at line 1 column 8"]),
        ('[{"a":1}, [1,2]], {"c":3}, {"d":4}]',
         [{"a": 1}, [1, 2], "ValueError: invalid JSON: trailing characters at line 1 column 17"]),
        # A raw control byte inside a string is where the element breaks.
        ('[1,\n"oops,\n{"a": 1},\n2]', [1, "ValueError: invalid JSON element: control character "
                                             "(\\u0000-\\u001F) found while parsing a string at line 2 column 0"]),
        ('["a\x01b", 2]', ["ValueError: invalid JSON element: control character "
                            "(\\u0000-\\u001F) found while parsing a string at line 1 column 3"]),
    ],
)
def test_json_records(write, text, expected):
    assert records(write("x.json", text)) == expected


@pytest.mark.parametrize(
    "text, position, before",
    [
        ("[1, 2", "line 1 column 5", [1]),
        ("[\n1,\n2", "line 3 column 1", [1]),
        ("[", "line 1 column 1", []),
        ('[1, "a,', "line 1 column 7", [1]),
        ("[1, 2, ", "line 1 column 7", [1, 2]),
    ],
)
def test_truncated_array_is_an_error(write, text, position, before):
    it = bigjson.iter_records(write("x.json", text))
    got = []
    with pytest.raises(ValueError) as info:
        for record in it:
            got.append(record)
    assert str(info.value) == "invalid JSON: EOF while parsing a list at " + position
    assert got == before
    with pytest.raises(StopIteration):
        next(it)
    with pytest.raises(StopIteration):
        next(it)


def test_invalid_utf8_in_element_is_replaced(write):
    path = write("x.json", b'["a\xffb", "\xe2\x82", "ok\xf0\x9f\x98\x80"]')
    assert list(bigjson.iter_records(path)) == ["a\ufffdb", "\ufffd", "ok\U0001F600"]


def test_nesting_limit_applies_per_element(write):
    deep = "[" * 127 + "]" * 127
    path = write("x.json", "[" + deep + "]")
    assert len(list(bigjson.iter_records(path))) == 1
    with pytest.raises(ValueError, match="recursion limit exceeded"):
        bigjson.load(path)
    too_deep = write("y.json", "[" + "[" * 128 + "]" * 128 + "]")
    assert records(too_deep) == [
        "ValueError: invalid JSON element: recursion limit exceeded at line 1 column 128"
    ]


def test_end_is_final_for_json(write):
    it = bigjson.iter_records(write("x.json", "[1, 2, 3]"))
    assert list(it) == [1, 2, 3]
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


def test_progress_counters_json(write):
    body = ",".join(['{"k": "%06d"}' % i for i in range(10000)])
    # Padding before the bracket puts the last record in the last block.
    text = "[" + body + " " * (200_000 - len(body) - 2) + "]"
    path = write("x.json", text)
    assert len(text) == 200_000
    it = bigjson.iter_records(path)
    assert (it.bytes_read, it.total_bytes) == (0, 200_000)
    next(it)
    assert it.bytes_read == 65536
    rest = list(it)
    assert len(rest) == 9999
    assert it.bytes_read == 200_000 and it.total_bytes == 200_000


def test_progress_counters_jsonl(write):
    text = "".join(f'{{"i": {i}}}\n' for i in range(5000)) + "\n  \n"
    path = write("x.jsonl", text)
    it = bigjson.iter_records(path)
    assert (it.bytes_read, it.total_bytes) == (0, len(text))
    first = next(it)
    assert first == {"i": 0} and it.bytes_read == len('{"i": 0}\n')
    assert len(list(it)) == 4999
    assert it.bytes_read == len(text)


def test_jsonl_errors_leave_the_iterator_usable(write):
    path = write("x.jsonl", b'1\n{"a": x}\n"\xff"\n[1,\n2]\n4\n')
    assert records(path) == [
        1,
        "ValueError: invalid JSONL line: expected value at line 1 column 7",
        "RuntimeError: read error: stream did not contain valid UTF-8",
        "ValueError: invalid JSONL line: EOF while parsing a value at line 1 column 3",
        "ValueError: invalid JSONL line: trailing characters at line 1 column 2",
        4,
    ]


def test_jsonl_lines_appended_after_the_end_are_delivered(write):
    path = write("x.jsonl", "1\n")
    it = bigjson.iter_records(path)
    assert list(it) == [1]
    with pytest.raises(StopIteration):
        next(it)
    with open(path, "a") as f:
        f.write('{"late": true}\n')
    assert next(it) == {"late": True}
    with pytest.raises(StopIteration):
        next(it)


def test_iterating_jsonl_equals_load(write):
    lines = ['{"a": [1, 2.5, null]}', "", '"x"', "  ", "[{}]", "-0", "18446744073709551615"]
    path = write("x.jsonl", "\n".join(lines))
    assert list(bigjson.iter_records(path)) == bigjson.load(path)


def test_iterator_protocol_and_properties(write):
    it = bigjson.iter_records(write("x.json", "[1]"))
    assert iter(it) is it
    assert type(it) is bigjson.RecordIterator
    for name in ["bytes_read", "total_bytes"]:
        with pytest.raises(AttributeError):
            setattr(it, name, 5)
        with pytest.raises(AttributeError):
            delattr(it, name)
    with pytest.raises(AttributeError):
        it.other = 1
    doc = bigjson.RecordIterator.bytes_read.__doc__
    assert doc == "Bytes consumed from the file so far (for progress reporting)."
    doc = bigjson.RecordIterator.total_bytes.__doc__
    assert doc == "Total size of the file in bytes (0 if it could not be determined)."


def test_size_of_an_unsizable_file_is_zero():
    r, w = os.pipe()
    os.write(w, b'1\n{"a": 2}\n')
    os.close(w)
    try:
        it = bigjson.iter_records(f"/proc/self/fd/{r}", "jsonl")
        assert it.total_bytes == 0 or it.total_bytes == 11
        assert list(it) == [1, {"a": 2}]
    finally:
        os.close(r)


def test_missing_file_fails_at_once(tmp_path):
    with pytest.raises(ValueError, match="cannot open"):
        bigjson.iter_records(str(tmp_path / "none.json"))


def test_dropping_an_iterator_closes_its_file(write, no_fd_leak):
    path = write("x.json", "[" + ",".join(["1"] * 100000) + "]")
    it = bigjson.iter_records(path)
    next(it)
    del it
    it = bigjson.iter_records(path)
    del it


@pytest.mark.parametrize("fmt, data", [
    ("json", b'[{"a": [1, 2, 3]}, 2]'),
    ("jsonl", b'{"a": [1, 2, 3]}\n2\n'),
])
def test_busy_marker_under_reentrant_use(fmt, data):
    # Python code that runs while __next__ is inside the iterator finds it
    # busy, except for the progress counters, which can always be read. Here
    # that code is a signal handler: the iterator reads an empty pipe, the
    # alarm interrupts the read, and the reader runs the handlers before it
    # waits again. The handler then feeds the pipe, so that the outer next()
    # goes on with the record.
    r, w = os.pipe()
    fds = [r, w]
    it = bigjson.iter_records(f"/proc/self/fd/{r}", fmt)
    seen = []
    calls = 0

    def touch(signum, frame):
        nonlocal calls
        calls += 1
        outcomes = []
        for action in (lambda: iter(it), lambda: next(it), lambda: it.bytes_read, lambda: it.total_bytes):
            try:
                action()
                outcomes.append("ok")
            except RuntimeError as e:
                outcomes.append(str(e))
            if outcomes[0] == "ok":
                break  # not inside next() yet: a next() here would wait for ever
        if outcomes[0] == "ok" and calls < 50:
            signal.setitimer(signal.ITIMER_REAL, 0.05)
            return
        seen.extend(outcomes)
        os.write(w, data)
        os.close(w)
        fds.remove(w)

    old = signal.signal(signal.SIGALRM, touch)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        assert next(it) == {"a": [1, 2, 3]}
        assert seen == ["Already mutably borrowed", "Already borrowed", "ok", "ok"]
        # Free again once the outer call is done, and nothing was lost.
        assert iter(it) is it
        assert list(it) == [2]
        assert it.bytes_read == len(data)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, old)
        for fd in fds:
            os.close(fd)


def test_progress_counts_lines_that_are_not_utf8(write):
    content = b'1\n"\xff\xfe bad"\n2\n'
    it = bigjson.iter_records(write("x.jsonl", content))
    assert records_of(it) == [1, "RuntimeError: read error: stream did not contain valid UTF-8", 2]
    assert (it.bytes_read, it.total_bytes) == (len(content), len(content))
