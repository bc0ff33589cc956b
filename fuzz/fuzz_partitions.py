"""Fuzz target: partitions of a file, read apart, against one read of the
whole.

Oracles: for JSON (the top-level array, or the array under /a when the
first byte asks for it) and for JSON Lines, at a partition size that the
first byte picks, the partitions tile the file, their raw records joined in
order are the whole file's (and fail where it does), and validation on
threads (cut at that size) gives the same counts and the same errors,
placed the same, as one thread. to_jsonl on threads, in parts of that
size, writes the same bytes and raises the same error as one pass, with
errors raised or skipped.
"""

import harness  # first: it loads the coverage bridge before the extension

import io

import qvtok


def read_raw(call):
    """The raw records, and where and how the read failed, if it did."""
    out = []
    try:
        for record in call():
            out.append(record)
    except (ValueError, RuntimeError) as e:
        return out, (type(e).__name__, getattr(e, "msg", str(e)), getattr(e, "pos", None))
    return out, None


def jsonl_of(write):
    """The bytes a to_jsonl pass wrote, and its count or its error."""
    sink = io.BytesIO()
    try:
        result = write(sink)
    except (ValueError, RuntimeError) as e:
        result = (type(e).__name__, getattr(e, "msg", str(e)), getattr(e, "pos", None), getattr(e, "lineno", None),
                  getattr(e, "colno", None), getattr(e, "record", None))
    return sink.getvalue(), result


def errors_of(result):
    good, invalid, errors, failure = result
    if failure is not None:
        raise failure
    return good, invalid, [(type(e).__name__, e.msg, e.pos, e.lineno, e.colno, e.record) for e in errors]


def test_one_input(data):
    if not data:
        return
    size = 1 + data[0] % 64
    body = data[1:]
    for fmt, at in (("json", "/a" if data[0] & 0x80 else None), ("jsonl", None)):
        path = harness.scratch("doc." + fmt, body)
        records = qvtok.open(path, format=fmt, at=at)
        parts = records.partitions(size)
        assert parts[0].offset == 0 and sum(p.length for p in parts) == len(body), parts
        assert all(a.offset + a.length == b.offset for a, b in zip(parts, parts[1:])), parts
        whole = read_raw(records.raw)
        apart, ended = [], None
        for part in parts:
            got, ended = read_raw(part.raw)
            apart += got
            if ended is not None:
                break
        # Parts past the first of JSON Lines count lines from their own
        # start, so errors agree on their class, reason and byte; an array
        # is cut only when its structure is sound, and raw records then
        # read without fault but for blank elements, which are errors of
        # their own record.
        assert (apart, ended) == whole, (parts, apart, ended, whole)
        if fmt == "json" and len(parts) > 1:
            assert ended is None or ended[1] in ("expected value", "trailing comma"), (parts, ended)
        one = errors_of(records._validate(1, 1000))
        many = errors_of(records._validate(3, 1000, size))
        assert one == many, (parts, one, many)
        for on_error in ("raise", "skip"):
            cut = qvtok.open(path, format=fmt, at=at, on_error=on_error)
            alone = qvtok.open(io.BytesIO(body), format=fmt, at=at, on_error=on_error)
            expected = jsonl_of(alone.to_jsonl)
            got = jsonl_of(lambda sink: cut._to_jsonl(sink, size))
            assert got == expected, (on_error, got, expected)


if __name__ == "__main__":
    harness.run(test_one_input)
