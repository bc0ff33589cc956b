"""A first look at qvtok.open on the bundled example files."""

from pathlib import Path

import qvtok

here = Path(__file__).parent

events = qvtok.open(here / "events.jsonl")
print("records in events.jsonl:", events.count())
print("first event:", events.head(1)[0])

it = iter(qvtok.open(here / "catalog.json"))
for record in it:
    print(f"{it.bytes_read}/{it.total_bytes} bytes read:", record)

print("items under /items in feed.json:", qvtok.open(here / "feed.json", at="/items").load())

good, errors = qvtok.open(here / "broken.jsonl").validate()
print(f"broken.jsonl: {good} good records;", *(f"record {e.record}: {e.msg}" for e in errors))

print("schema of events.jsonl:")
print(events.schema())
