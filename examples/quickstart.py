"""A tour of qvtok.bigjson on the bundled example files."""

from pathlib import Path

from qvtok import bigjson

here = Path(__file__).parent
events = str(here / "events.jsonl")
catalog = str(here / "catalog.json")

print("records in events.jsonl:", bigjson.count(events))
print("records in catalog.json:", bigjson.count(catalog))

print("first event:", bigjson.load(events)[0])

it = bigjson.iter_records(catalog)
for record in it:
    print(f"{it.bytes_read}/{it.total_bytes} bytes read:", record)

print("schema of events.jsonl:")
print(bigjson.schema(events))
