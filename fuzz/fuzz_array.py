"""Fuzz target: the top-level array scanner, through iter_records() and
count() on a JSON file.

Oracles: a byte-by-byte model of the scanner (harness.Split) says where the
elements are, what count() must return and how far iter_records() reads;
each element must read as the same text loaded on its own. Independently of
the model, an array that load() accepts must iterate to exactly its elements
and count to its length.

An input that starts with 0xFF is padded with leading spaces so that every
read-buffer boundary (8 KiB, 64 KiB, 256 KiB) falls at the offset of the body
that its next two bytes give. One that starts with 0xFE has a run of more
than 64 KiB of one filler (picked by its fourth byte) inserted where its
second and third bytes say: strings, escapes, nesting or separators that
span read blocks.
"""

import harness  # first: it loads the coverage bridge before the extension
from harness import bigjson

BLOCK = 65536
FILLERS = [b"a", b"\\", b"\\\\", b" ", b",", b'"', b"[", b"{", b"]", b"\xc3\xa9", b"\xe2\x82", b"\\\""]


def padded(data):
    if len(data) >= 3 and data[0] == 0xFF:
        at = int.from_bytes(data[1:3], "little") % 4096
        return b" " * (4 * BLOCK - at) + data[3:]
    if len(data) >= 4 and data[0] == 0xFE:
        body = data[4:]
        at = int.from_bytes(data[1:3], "little") % (len(body) + 1)
        filler = FILLERS[data[3] % len(FILLERS)]
        run = filler * ((BLOCK + data[3]) // len(filler))
        return body[:at] + run + body[at:]
    return data


def test_one_input(data):
    data = padded(data)
    path = harness.scratch("doc.json", data)
    split = harness.Split(data)

    assert bigjson.count(path, "json") == split.count, (bigjson.count(path, "json"), split.count)

    expected = split.records()
    got, bytes_read, total = harness.iterate(path, "json", len(expected) + 1)
    assert harness.same_items(got, expected), (got, expected)
    assert total == len(data)
    if split.shape == "array":
        # Reading stops with the block that holds the last byte looked at.
        end = split.read_end() + 1
        assert bytes_read == min(len(data), -(-end // BLOCK) * BLOCK), (bytes_read, end)
    else:
        assert bytes_read == len(data), (bytes_read, len(data))

    whole = harness.outcome(lambda: bigjson.load(path, "json"))
    if whole[0] == "value" and isinstance(whole[1], list):
        assert split.closed and not split.broken and split.trailing is None
        assert harness.same_items(got, [("value", v) for v in whole[1]]), (got, whole)
        assert split.count == len(whole[1])

    if split.shape == "array":
        # Without a name that tells, the "[" decides.
        assert bigjson.count(harness.scratch("doc", data)) == split.count


if __name__ == "__main__":
    harness.run(test_one_input)
