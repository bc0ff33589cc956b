"""Fuzz target: JSONL reading, through load(), iter_records() and count() on
a JSONL file.

Oracle: the file split at line feeds by Python. A line that is not UTF-8 is
a read error, a line of Unicode White_Space only is skipped, any other line
must read as its trimmed text loaded on its own. load() returns the values or
raises the first error; iter_records() hands out every outcome in order and
goes on after errors, its bytes_read counting every line, the ones that are
not UTF-8 included; count() counts the non-blank lines or raises the read error.

An input that starts with 0xFF begins with a long blank line (spaces or
White_Space beyond ASCII, picked by the next byte) that puts the read-buffer
boundaries inside the body. One that starts with 0xFE has a run of more than
64 KiB of one filler (picked by its fourth byte) inserted where its second
and third bytes say: lines longer than a read buffer.
"""

import harness  # first: it loads the coverage bridge before the extension
from harness import bigjson

PADDING = [" ", "\u3000", "\xa0", "\u2028 "]
FILLERS = [b"a", b" ", b"\xe3\x80\x80", b"\xc2\x85", b"\\\\", b"\r", b"\xe2\x82", b"1,"]


def padded(data):
    if len(data) >= 3 and data[0] == 0xFF:
        unit = PADDING[data[1] % len(PADDING)].encode()
        length = 4 * 65536 - data[2] * 16
        return unit * (length // len(unit)) + b"\n" + data[3:]
    if len(data) >= 4 and data[0] == 0xFE:
        body = data[4:]
        at = int.from_bytes(data[1:3], "little") % (len(body) + 1)
        filler = FILLERS[data[3] % len(FILLERS)]
        run = filler * ((65536 + data[3]) // len(filler))
        return body[:at] + run + body[at:]
    return data


def test_one_input(data):
    data = padded(data)
    path = harness.scratch("doc.jsonl", data)
    lines = harness.jsonl_lines(data)
    outcomes = [harness.line_outcome(line) for line in lines]
    expected = [x for x in outcomes if x is not None]
    unreadable = [line for line, x in zip(lines, outcomes) if x and x[1] == "RuntimeError: " + harness.UTF8_ERROR]

    got, bytes_read, total = harness.iterate(path, "jsonl", len(expected) + 1)
    assert harness.same_items(got, expected), (got, expected)
    assert total == len(data)
    # Every line counts toward progress, readable or not.
    assert bytes_read == len(data), (bytes_read, len(data))

    errors = [x for x in expected if x[0] == "error"]
    whole = harness.outcome(lambda: bigjson.load(path, "jsonl"))
    if errors:
        assert whole == errors[0], (whole, errors[0])
    else:
        assert whole[0] == "value" and harness.same(whole[1], [v for _, v in expected]), (whole, expected)

    counted = harness.outcome(lambda: bigjson.count(path, "jsonl"))
    if unreadable:
        assert counted == ("error", "RuntimeError: " + harness.UTF8_ERROR), counted
    else:
        assert counted == ("value", len(expected)), (counted, len(expected))


if __name__ == "__main__":
    harness.run(test_one_input)
