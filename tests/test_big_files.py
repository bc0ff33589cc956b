"""Files larger than 4 GiB, written on the fly from real records and deleted
afterwards: positions, counters and sizes past 32 bits.

Together they take about half a minute and 4.3 GB of disk at a time: they
run where QVTOK_SLOW_TESTS=1 is set, as CI sets it, and QVTOK_SKIP_BIG_FILES=1
skips them even there (the sanitizer stage of the CI does).
"""

import json
import os
import random
import shutil

import pytest

from qvtok import bigjson

FOUR_GIB = 2**32
MIB = 2**20

pytestmark = [
    pytest.mark.slow,
    pytest.mark.skipif(
        os.environ.get("QVTOK_SKIP_BIG_FILES", "") not in ("", "0"), reason="QVTOK_SKIP_BIG_FILES is set"
    ),
]


def pool(count, seed=42):
    """Records of many shapes: escapes, text beyond ASCII, 64-bit edges,
    floats, nesting, optional fields. Each holds its index in "i"."""
    rng = random.Random(seed)
    words = ["alpha", "δέλτα", "引号", "quote\"inside", "back\\slash", "tab\there", "line\nfeed", "😀", "/"]
    edges = [2**63 - 1, -(2**63), 2**64 - 1, 0, -1, 12345678901234]
    records = []
    for i in range(count):
        r = {"i": i, "name": rng.choice(words) + str(rng.randrange(1000)), "score": rng.choice(edges),
             "text": " ".join(rng.choice(words) for _ in range(rng.randrange(50, 150)))}
        if i % 2:
            r["ratio"] = rng.uniform(-1e6, 1e6)
        if i % 3 == 0:
            r["tags"] = rng.sample(words, rng.randrange(4))
        if i % 5 == 0:
            r["meta"] = {"ok": rng.random() < 0.5, "none": None, "deep": {"a": [rng.randrange(100), {"b": "c"}]}}
        records.append(r)
    return records


@pytest.fixture
def big_dir(tmp_path):
    """A directory for big files, removed with them however the test ends
    (pytest keeps the temporary directories of recent runs)."""
    free = shutil.disk_usage(tmp_path).free
    if free < 10 * 2**30:
        pytest.skip(f"needs 10 GiB of free disk under {tmp_path}, has {free / 2**30:.1f} GiB")
    path = tmp_path / "big"
    path.mkdir()
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def test_json_array_past_4_gib(big_dir):
    records = pool(2000)
    block = ",".join(json.dumps(r, ensure_ascii=False) for r in records).encode()
    path = big_dir / "big.json"
    count = 0
    with open(path, "wb") as f:
        f.write(b"[")
        while f.tell() + len(block) + 1 < FOUR_GIB:
            f.write(block + b",")
            count += len(records)
        # One record whose text runs across the 4 GiB mark.
        straddle = FOUR_GIB - f.tell() + MIB
        f.write(json.dumps({"i": -1, "straddle": "x" * straddle}).encode())
        count += 1
        while f.tell() < FOUR_GIB + 64 * MIB:
            f.write(b"," + block)
            count += len(records)
        f.write(b',{"i": -2, "last": true}]')
        count += 1
        size = f.tell()

    assert bigjson.count(str(path)) == count

    it = bigjson.iter_records(str(path))
    assert it.total_bytes == size
    seen = 0
    expected_i = 0
    for record in it:
        i = record["i"]
        if i == -1:
            assert len(record["straddle"]) == straddle
            assert it.bytes_read > FOUR_GIB
            expected_i = 0
        elif i == -2:
            assert record == {"i": -2, "last": True}
        else:
            assert i == expected_i
            if seen % 4099 == 0:
                assert record == records[i]
            expected_i = (i + 1) % len(records)
        seen += 1
    assert seen == count
    assert (it.bytes_read, it.total_bytes) == (size, size)


def test_jsonl_past_4_gib(big_dir):
    # A few records, then white space lines up to just below 4 GiB, then
    # records that run across the mark and on: count and iter_records pass
    # the mark, and so must schema to draw its sample.
    records = pool(2000, seed=7)
    lines = [json.dumps(r, ensure_ascii=False).encode() + b"\n" for r in records]
    block = b"".join(lines)
    blank = ("\u3000 \t" * (MIB // 5)).encode() + b"\r\n"
    path = big_dir / "big.jsonl"
    count = 0
    sampled = []  # the lines that schema's sample takes, in order
    with open(path, "wb") as f:
        f.write(b"".join(lines[:3]))
        sampled += lines[:3]
        count += 3
        while f.tell() + len(blank) < FOUR_GIB - 8 * MIB:
            f.write(blank)
        while f.tell() + len(block) < FOUR_GIB:
            f.write(block)
            sampled += lines
            count += len(lines)
        straddle = json.dumps({"i": -1, "straddle": "y" * (FOUR_GIB - f.tell() + MIB)}).encode() + b"\n"
        f.write(straddle)
        sampled.append(straddle)
        count += 1
        sampled += lines[:500]
        while f.tell() < FOUR_GIB + 64 * MIB:
            f.write(block)
            count += len(lines)
        f.write(b'{"i": -2, "last": true}')  # no final line feed
        count += 1
        size = f.tell()

    assert bigjson.count(str(path)) == count

    it = bigjson.iter_records(str(path))
    assert it.total_bytes == size
    seen = 0
    last = None
    for record in it:
        if record["i"] == -1:
            assert it.bytes_read > FOUR_GIB
        seen += 1
        last = record
    assert seen == count
    assert last == {"i": -2, "last": True}
    assert (it.bytes_read, it.total_bytes) == (size, size)

    # The same sample from a small file must give the same schema.
    small = big_dir / "sample.jsonl"
    small.write_bytes(b"".join(sampled))
    expected = bigjson.schema(str(small), sample=len(sampled))
    assert "straddle?" in expected
    assert bigjson.schema(str(path), sample=len(sampled)) == expected
