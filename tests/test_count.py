import pytest

from qvtok import bigjson


@pytest.mark.parametrize(
    "text, expected",
    [
        ("[]", 0),
        ("[ \n\t ]", 0),
        ("[1, 2, 3]", 3),
        ("[[]]", 1),
        ('["a,b", {"c": [1, 2]}, [3, 4]]', 3),
        ('["say \\"hi, there\\"", 2]', 2),
        ('["\\\\", 2]', 2),
        ("[1, 2,]", 3),        # a trailing comma counts as a separator
        ("[1,,2]", 3),
        ("[,]", 0),            # nothing but separators
        ("[1, 2", 2),          # cut off: tolerated
        ("[", 0),
        ("[1] [2, 3]", 2),     # the second array is scanned too
        ('{"a": [1, 2]}', 1),
        ('"text"', 1),
        ("42", 1),
        ("not json at all", 1),
        ("\ufeff[1, 2]", 1),
        ("", 0),               # no records, as iter_records agrees
        (" \n\t\r\f", 0),
    ],
)
def test_count_json(write, text, expected, no_fd_leak):
    assert bigjson.count(write("x.json", text)) == expected


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", 0),
        ("1\n2\n3\n", 3),
        ("1\n2\n3", 3),
        ("1\r\n\r\n2\r\n", 2),
        ("\n \n\t\n1\n", 1),
        ("  \u00a0 \n\u3000\n1\n", 1),
        ("hello\n", 1),
        ("\ufeff\n", 1),
        ("a\rb\n", 1),
    ],
)
def test_count_jsonl(write, text, expected, no_fd_leak):
    assert bigjson.count(write("x.jsonl", text)) == expected


def test_count_jsonl_rejects_invalid_utf8(write, no_fd_leak):
    with pytest.raises(RuntimeError) as info:
        bigjson.count(write("x.jsonl", b"1\n2\n\xc3\x28\n4\n"))
    assert str(info.value) == "read error: stream did not contain valid UTF-8"


def test_count_json_ignores_invalid_utf8(write):
    assert bigjson.count(write("x.json", b'["\xff", "\xc3"]')) == 2


@pytest.mark.parametrize("size", [65535, 65536, 65537, 200_000])
def test_count_across_block_boundaries(write, size):
    # Strings with escapes and commas straddle the block edges.
    element = '"a,\\"[{b\\\\",'
    body = element * (size // len(element))
    text = "[" + body + "1]"
    assert bigjson.count(write("x.json", text)) == text.count(element) + 1
    lines = "\n".join(["{}", " ", "\u00e9" * 30] * (size // 40))
    path = write("y.jsonl", lines)
    assert bigjson.count(path) == sum(1 for l in lines.split("\n") if l.strip())
