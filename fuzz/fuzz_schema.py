"""Fuzz target: schema() on JSON and JSONL files.

Oracle: the documented sampling rules applied to the reference split of the
file (harness.Split for JSON, lines for JSONL), inference and rendering
written step by step in Python (harness.infer, harness.render). The result
text must match byte for byte, and an error must be the first one that the
sampling meets.

The first byte picks the format (bit 0) and the sample size (the rest); the
rest of the input may ask for padding or a long run as in fuzz_array (JSON)
and fuzz_jsonl (JSONL).
"""

import harness  # first: it loads the coverage bridge before the extension
from harness import bigjson

import fuzz_array
import fuzz_jsonl

SAMPLES = [0, 1, 2, 3, 5, 100]


def json_records(data, sample):
    split = harness.Split(data)
    if split.shape == "empty":
        return []
    if split.shape == "single":
        item = harness.element_outcome(data[split.start:])
        if item is None:
            return []
        if item[0] == "error":
            # A whole document is no element.
            raise Failure(item[1].replace("invalid JSON element: ", "invalid JSON: ", 1))
        return [item[1]]
    records = []
    last = len(split.pieces) - 1
    for index, (piece, _) in enumerate(split.pieces):
        item = harness.element_outcome(piece, keep_end=split.broken and index == last)
        if item is not None:
            if item[0] == "error":
                raise Failure(item[1])
            records.append(item[1])
        closing = split.closed and index == len(split.pieces) - 1
        if closing or len(records) >= sample:
            break
    return records


def jsonl_records(data, sample):
    records = []
    for line in harness.jsonl_lines(data):
        if len(records) >= sample:
            break
        item = harness.line_outcome(line)
        if item is None:
            continue
        if item[0] == "error":
            raise Failure(item[1])
        records.append(item[1])
    return records


class Failure(Exception):
    pass


def test_one_input(data):
    if not data:
        return
    jsonl = data[0] & 1
    sample = SAMPLES[(data[0] >> 1) % len(SAMPLES)]
    data = (fuzz_jsonl if jsonl else fuzz_array).padded(data[1:])
    path = harness.scratch("doc.jsonl" if jsonl else "doc.json", data)
    try:
        records = (jsonl_records if jsonl else json_records)(data, sample)
        expected = ("value", harness.render(harness.infer(records)))
    except Failure as e:
        expected = ("error", str(e))
    got = harness.outcome(lambda: bigjson.schema(path, sample))
    assert got == expected, (got, expected)


if __name__ == "__main__":
    harness.run(test_one_input)
