"""A tour of qvtok.open on the bundled example files."""

import gzip
import io
import json
import shutil
import tempfile
from pathlib import Path

import qvtok

here = Path(__file__).parent

events = qvtok.open(here / "events.jsonl")  # a path: every pass reads the file anew
print("records:", events.count())
print("first two:", events.head(2))
for record in (it := iter(events)):
    print(f"{it.bytes_read}/{it.total_bytes} bytes, {it.records_read} records:", record)

catalog = qvtok.open(here / "catalog.json")
print(catalog.schema(sample=None))

broken = qvtok.open(here / "broken.jsonl", on_error="skip")
it = iter(broken)
print("good records:", list(it))
for error in it.errors:
    print(f"record {error.record}: {error.msg} at char {error.pos}")
print("validate:", qvtok.open(here / "broken.jsonl").validate())

try:
    qvtok.open(here / "broken.jsonl").load()
except json.JSONDecodeError as error:  # qvtok.JSONDecodeError is one
    print("raised:", error)

with open(here / "catalog.json", "rb") as f:  # a file object: read once
    print("from a file object:", qvtok.open(f).load()[0])

# Compressed input, known by its first bytes; compressed output, by the name.
with tempfile.TemporaryDirectory() as tmp:
    packed = Path(tmp) / "events.jsonl.gz"
    with open(here / "events.jsonl", "rb") as f, gzip.open(packed, "wb") as g:
        shutil.copyfileobj(f, g)
    print("gzip records:", qvtok.open(packed).count())
    print("written to zstd:", qvtok.open(packed).to_jsonl(Path(tmp) / "events.jsonl.zst"))
    print("xz in memory:", qvtok.open(here / "events.jsonl").to_jsonl(io.BytesIO(), compression="xz"))
