"""Side-by-side benchmarks of qvtok.bigjson against its peers.

Run by hand, never in CI:

    pip install ".[bench]"
    python bench/bench.py load            # corpus files and a 200 MiB JSONL file
    python bench/bench.py stream          # count and iter_records on 1 GiB files
    python bench/bench.py schema          # schema against genson
    python bench/bench.py memory          # peak RSS, one fresh process per case
    python bench/bench.py open            # qvtok.open: pointers, to_jsonl (against jq), validate, values
    python bench/bench.py schema-memory   # schema's peak RSS per distinct key path
    python bench/bench.py compressed      # qvtok.open on .gz and .zst against gzip -dc and zstd -dc
    python bench/bench.py partitions      # partition planning, validate on two threads against one
    python bench/bench.py dask            # qvtok.dask on two worker processes (pip install ".[dask]")
    python bench/bench.py remote          # qvtok.open and qvtok.dask on loopback HTTP and S3 servers (pip install ".[test]")
    python bench/bench.py lifecycle       # load, first allocation, del and exit of a JSONL file, fresh processes
    python bench/bench.py values          # qvtok.open values against orjson and msgspec (GC off)

A program shares its machine: measure the second thread where no core is
free for it too. Pinned to one core, `taskset -c 0 python bench/bench.py
values`; with the other core busy, `taskset -c 1 python3 -c "while True:
pass" &` beside the same; with other work between calls, `--between-ms 20`.

Every table prints the median time of each contender and its ratio to qvtok
(above 1 means qvtok is faster). Large files are generated once into
--data (default qvtok-bench in the system's temporary directory) with
shared/tools/make-corpus.
"""

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from qvtok import bigjson

ROOT = Path(__file__).resolve().parent.parent
SHARED = ROOT.parent / "shared"
CORPUS = SHARED / "corpus"
MAKE_CORPUS = SHARED / "tools" / "make-corpus"


def data_file(data_dir, fmt, size, kind="mixed"):
    path = Path(data_dir) / f"{kind}-{size}.{fmt}"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        print(f"generating {path} ...", file=sys.stderr)
        subprocess.run(
            [sys.executable, str(MAKE_CORPUS), "--format", fmt, "--size", size,
             "--kind", kind, "--out", str(path)],
            check=True,
        )
    return str(path)


# Milliseconds of other Python work before each timed call (--between-ms):
# a program that loads a file now and then, not back to back, finds a
# parked thread asleep and its caches cold.
BETWEEN_MS = 0


def other_work(ms):
    until = time.perf_counter() + ms / 1000
    n = 0
    while time.perf_counter() < until:
        n += sum(i * i for i in range(100))
    return n


def timed_cpu(fn):
    """Wall and CPU seconds of one call; CPU time counts every thread of the
    process, so a second thread's work, and any spinning, is in it."""
    gc.collect()
    if BETWEEN_MS:
        other_work(BETWEEN_MS)
    cpu = time.process_time()
    start = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - start
    cpu = time.process_time() - cpu
    del result
    return elapsed, cpu


def timed(fn):
    return timed_cpu(fn)[0]


def median_time(fn, repeat):
    return statistics.median(timed(fn) for _ in range(repeat))


def table(title, size, contenders, repeat):
    """contenders: [(name, fn)], the first being qvtok's. They take turns,
    one call each per round, so that a machine whose speed drifts during
    the run slows them all alike. Prints the median wall and CPU time of
    each, and each as a ratio to qvtok's."""
    print(f"\n{title}  ({size / 2**20:.1f} MiB)")
    times = {name: [] for name, _ in contenders}
    skipped = {}
    for _ in range(repeat):
        for name, fn in contenders:
            if name in skipped:
                continue
            try:
                times[name].append(timed_cpu(fn))
            except ImportError as e:
                skipped[name] = e
    base = None
    for name, _ in contenders:
        if name in skipped:
            print(f"  {name:<34} skipped ({skipped[name]})")
            continue
        t = statistics.median(w for w, _ in times[name])
        c = statistics.median(c for _, c in times[name])
        if base is None:
            base = (t, c)
        print(f"  {name:<34} {t * 1000:10.1f} ms  {size / t / 2**20:9.0f} MiB/s  x{t / base[0]:6.2f}"
              f"   cpu {c * 1000:10.1f} ms  x{c / base[1]:6.2f}")


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def bench_load(args):
    import msgspec
    import orjson

    for name in ["twitter.json", "citm_catalog.json", "canada.json"]:
        path = str(CORPUS / name)
        size = os.path.getsize(path)

        def json_load(path=path):
            with open(path, encoding="utf-8") as f:
                return json.load(f)

        table(f"load {name}", size, [
            ("bigjson.load", lambda: bigjson.load(path)),
            ("json.load", json_load),
            ("orjson.loads(f.read())", lambda: orjson.loads(read_bytes(path))),
            ("msgspec.json.decode(f.read())", lambda: msgspec.json.decode(read_bytes(path))),
        ], args.repeat)

    path = data_file(args.data, "jsonl", args.jsonl_size)
    size = os.path.getsize(path)

    def lines_with(loads):
        with open(path, "rb") as f:
            return [loads(line) for line in f if line.strip()]

    table(f"load JSONL {args.jsonl_size}", size, [
        ("bigjson.load", lambda: bigjson.load(path)),
        ("[json.loads(l) for l in f]", lambda: lines_with(json.loads)),
        ("[orjson.loads(l) for l in f]", lambda: lines_with(orjson.loads)),
    ], max(1, args.repeat // 3))


def bench_stream(args):
    import ijson
    import orjson

    jsonl = data_file(args.data, "jsonl", args.big_size)
    array = data_file(args.data, "json", args.big_size)
    for path in (jsonl, array):
        read_bytes(path)  # warm the page cache
    repeat = max(1, args.repeat // 3)

    def wc_l(path):
        return subprocess.run(["wc", "-l", path], capture_output=True, check=True).stdout

    def python_lines(path):
        with open(path, "rb") as f:
            return sum(1 for line in f if line.strip())

    table(f"count JSONL {args.big_size}", os.path.getsize(jsonl), [
        ("bigjson.count", lambda: bigjson.count(jsonl)),
        ("wc -l", lambda: wc_l(jsonl)),
        ("python loop over lines", lambda: python_lines(jsonl)),
    ], repeat)
    table(f"count JSON array {args.big_size}", os.path.getsize(array), [
        ("bigjson.count", lambda: bigjson.count(array)),
        ("wc -l", lambda: wc_l(array)),
    ], repeat)

    def drain(it):
        n = 0
        for _ in it:
            n += 1
        return n

    def orjson_lines(path):
        n = 0
        with open(path, "rb") as f:
            for line in f:
                if line.strip():
                    orjson.loads(line)
                    n += 1
        return n

    def ijson_items(path):
        with open(path, "rb") as f:
            return drain(ijson.items(f, "item"))

    table(f"iterate JSONL {args.big_size}", os.path.getsize(jsonl), [
        ("bigjson.iter_records", lambda: drain(bigjson.iter_records(jsonl))),
        ("orjson.loads per line", lambda: orjson_lines(jsonl)),
    ], repeat)
    table(f"iterate JSON array {args.big_size}", os.path.getsize(array), [
        ("bigjson.iter_records", lambda: drain(bigjson.iter_records(array))),
        ("orjson.loads(whole file)", lambda: len(orjson.loads(read_bytes(array)))),
        (f"ijson.items ({ijson.backend})", lambda: ijson_items(array)),
    ], 1)


def bench_schema(args):
    from genson import SchemaBuilder

    small = data_file(args.data, "jsonl", "1M")
    for fmt in ("jsonl", "json"):
        big = data_file(args.data, fmt, args.big_size)
        table(f"schema(sample=100) {fmt}: 1 GiB vs 1 MiB", os.path.getsize(big), [
            (f"bigjson.schema {args.big_size}", lambda: bigjson.schema(big)),
            ("bigjson.schema 1M", lambda: bigjson.schema(small)),
        ], args.repeat)

    tweets = data_file(args.data, "jsonl", "600M", kind="tweets")
    n = 100_000

    def genson_schema():
        builder = SchemaBuilder()
        with open(tweets, "rb") as f:
            for i, line in enumerate(f):
                if i == n:
                    break
                builder.add_object(json.loads(line))
        return builder.to_schema()

    table(f"schema of {n} tweets", os.path.getsize(tweets), [
        ("bigjson.schema(sample=100_000)", lambda: bigjson.schema(tweets, n)),
        ("genson after json.loads", genson_schema),
    ], 1)


MEMORY_CASES = {
    "bigjson.load": "from qvtok import bigjson; x = bigjson.load(P)",
    "json.load": "import json; x = json.load(open(P, encoding='utf-8'))",
    "orjson.loads": "import orjson; x = orjson.loads(open(P, 'rb').read())",
    "bigjson.iter_records": "from qvtok import bigjson\nfor r in bigjson.iter_records(P): pass",
    "bigjson.count": "from qvtok import bigjson; bigjson.count(P)",
}


def peak_rss(code, path):
    """RSS at start-up and peak RSS, in MiB, of a fresh interpreter running
    `code` on `path` (from /proc: getrusage's peak survives exec)."""
    script = (
        "def status(key):\n"
        "    for line in open('/proc/self/status'):\n"
        "        if line.startswith(key): return int(line.split()[1])\n"
        "P = %r\nbase = status('VmRSS:')\n"
        "%s\nprint(base, status('VmHWM:'))" % (path, code)
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    base, peak = map(int, out.stdout.split())
    return base / 1024, peak / 1024


def bench_memory(args):
    files = [str(CORPUS / "citm_catalog.json"), data_file(args.data, "json", "200M")]
    for path in files:
        print(f"\npeak RSS, {Path(path).name} ({os.path.getsize(path) / 2**20:.0f} MiB)")
        for name in ["bigjson.load", "json.load", "orjson.loads"]:
            base, peak = peak_rss(MEMORY_CASES[name], path)
            print(f"  {name:<24} {peak:8.0f} MiB  (+{peak - base:.0f} over start-up)")
    big = data_file(args.data, "json", args.stream_size)
    big_jsonl = data_file(args.data, "jsonl", args.stream_size)
    for path in (big, big_jsonl):
        print(f"\npeak RSS growth while streaming {Path(path).name} ({os.path.getsize(path) / 2**30:.1f} GiB)")
        for name in ["bigjson.iter_records", "bigjson.count"]:
            base, peak = peak_rss(MEMORY_CASES[name], path)
            print(f"  {name:<24} +{peak - base:.1f} MiB over start-up")


def key_path_file(data_dir, name, write):
    """A generated file under data_dir, written once by write(f)."""
    path = Path(data_dir) / name
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        print(f"generating {path} ...", file=sys.stderr)
        with open(str(path) + ".part", "w") as f:
            write(f)
        os.replace(str(path) + ".part", path)
    return str(path)


def bench_schema_memory(args):
    """Peak RSS of schema() over the interpreter's start-up, divided by the
    number of distinct key paths (fields at any depth) the sample holds:
    the tallies grow with those, not with the number of records."""
    records, per_record, wide = 100_000, 20, 1_000_000

    def distinct_records(f):
        # Every record has keys no other record has: 2 M fields at the root.
        for r in range(records):
            f.write(json.dumps({f"k{r * per_record + i}": i for i in range(per_record)}) + "\n")

    def one_wide_object(f):
        f.write("{" + ", ".join(f'"k{i}": {i}' for i in range(wide)) + "}\n")

    def nested_records(f):
        # Distinct keys two levels down, under arrays: each field is reached
        # through an object, an array level and another object.
        for r in range(records):
            inner = {f"k{r * per_record + i}": [i] for i in range(per_record)}
            f.write(json.dumps({"rows": [{"cells": inner}]}) + "\n")

    shapes = [
        (f"{records} records, {per_record} distinct keys each", "schema-distinct.jsonl",
         distinct_records, records * per_record),
        (f"one object with {wide} keys", "schema-wide.json", one_wide_object, wide),
        (f"{records} records, {per_record} distinct keys each, nested in arrays", "schema-nested.jsonl",
         nested_records, records * per_record + 2),
    ]
    print("\npeak RSS of bigjson.schema over start-up, per distinct key path")
    for title, name, write, paths in shapes:
        path = key_path_file(args.data, name, write)
        base, peak = peak_rss("from qvtok import bigjson; x = bigjson.schema(P, %d)" % records, path)
        grown = (peak - base) * 2**20
        print(f"  {title:<64} +{grown / 2**20:7.0f} MiB  {grown / paths:7.0f} B/key path")


def geojson_file(data_dir, size):
    """A GeoJSON-like document: a header, then the array of features."""
    path = Path(data_dir) / f"geo-{size}.json"
    if not path.exists():
        array = data_file(data_dir, "json", size)
        print(f"generating {path} ...", file=sys.stderr)
        with open(path, "wb") as out, open(array, "rb") as src:
            out.write(b'{"type": "FeatureCollection", "meta": {"source": "bench", "note": "[not, the, array]"},\n'
                      b' "features": ')
            while chunk := src.read(1 << 24):
                out.write(chunk)
            out.write(b"\n}\n")
    return str(path)


def bench_open(args):
    """qvtok.open: records at a pointer, compaction, validation and values."""
    import orjson
    import qvtok

    geo = geojson_file(args.data, args.big_size)
    size = os.path.getsize(geo)
    table("count at /features", size, [
        ("qvtok.open(at=/features).count()", lambda: qvtok.open(geo, at="/features").count()),
        ("bigjson.count (top-level only)", lambda: bigjson.count(geo)),
    ], max(3, args.repeat // 3))

    def first(path=geo):
        return next(iter(qvtok.open(path, at="/features")))
    table("first record at /features", size, [("next(iter(open(at=/features)))", first)], args.repeat)

    pretty = Path(args.data) / f"pretty-{args.jsonl_size}.json"
    if not pretty.exists():
        subprocess.run([sys.executable, str(MAKE_CORPUS), "--format", "json", "--size", args.jsonl_size,
                        "--indent", "2", "--out", str(pretty)], check=True)
    pretty = str(pretty)
    psize = os.path.getsize(pretty)

    def to_jsonl():
        return qvtok.open(pretty).to_jsonl(os.devnull)

    def jq():
        subprocess.run(["jq", "-c", ".[]", pretty], stdout=subprocess.DEVNULL, check=True)
    table("to JSON Lines, pretty array", psize, [("Records.to_jsonl", to_jsonl), ("jq -c '.[]'", jq)], 3)

    def validate_open():
        return qvtok.open(pretty).validate()

    def validate_iter():
        return sum(1 for _ in bigjson.iter_records(pretty))
    table("validate, pretty array", psize, [("Records.validate", validate_open),
                                            ("draining bigjson.iter_records", validate_iter)], 3)

    def drain_open():
        return sum(1 for _ in qvtok.open(pretty))

    def drain_bigjson():
        return sum(1 for _ in bigjson.iter_records(pretty))
    table("iterate values, pretty array", psize, [("qvtok.open", drain_open),
                                                  ("bigjson.iter_records", drain_bigjson)], 3)

    for name in ("twitter.json", "citm_catalog.json", "canada.json"):
        path = str(CORPUS / name)
        text = read_bytes(path)

        def loads_orjson(text=text):
            gc.disable()
            try:
                return orjson.loads(text)
            finally:
                gc.enable()
        table(f"load {name}", len(text), [
            ("qvtok.open(path, format=json).load()", lambda path=path: qvtok.open(path, format="json").load()),
            ("bigjson.load", lambda path=path: bigjson.load(path)),
            ("orjson.loads (GC off)", loads_orjson),
        ], args.repeat * 5)


def bench_values(args):
    """qvtok.open against orjson and msgspec building Python values: load of
    a JSONL file and of the corpus, and iteration of 1 GiB of JSONL and of a
    JSON array. The peers run with the cyclic GC off, which is faster for
    them; qvtok pauses it itself."""
    import msgspec
    import orjson

    import qvtok

    decoder = msgspec.json.Decoder()

    def gc_off(fn):
        def run():
            gc.disable()
            try:
                return fn()
            finally:
                gc.enable()
        return run

    for name in ["twitter.json", "citm_catalog.json", "canada.json"]:
        path = str(CORPUS / name)
        table(f"load {name}", os.path.getsize(path), [
            ("qvtok.open(path).load()", lambda path=path: qvtok.open(path, format="json").load()),
            ("orjson.loads(f.read())", gc_off(lambda path=path: orjson.loads(read_bytes(path)))),
            ("msgspec decode(f.read())", gc_off(lambda path=path: decoder.decode(read_bytes(path)))),
        ], args.repeat * 5)

    def per_line(path, loads):
        def run():
            with open(path, "rb") as f:
                return [loads(line) for line in f]
        return gc_off(run)

    jsonl = data_file(args.data, "jsonl", args.jsonl_size)
    table(f"load JSONL {args.jsonl_size}", os.path.getsize(jsonl), [
        ("qvtok.open(path).load()", lambda: qvtok.open(jsonl).load()),
        ("orjson per line", per_line(jsonl, orjson.loads)),
        ("msgspec per line", per_line(jsonl, decoder.decode)),
    ], max(3, args.repeat // 3))

    def drain_lines(path, loads):
        def run():
            n = 0
            with open(path, "rb") as f:
                for line in f:
                    loads(line)
                    n += 1
            return n
        return gc_off(run)

    big_jsonl = data_file(args.data, "jsonl", args.big_size)
    big_array = data_file(args.data, "json", args.big_size)
    table(f"iterate JSONL {args.big_size}", os.path.getsize(big_jsonl), [
        ("for r in qvtok.open(path)", lambda: sum(1 for _ in qvtok.open(big_jsonl))),
        ("orjson per line", drain_lines(big_jsonl, orjson.loads)),
        ("msgspec per line", drain_lines(big_jsonl, decoder.decode)),
    ], 3)
    table(f"iterate JSON array {args.big_size}", os.path.getsize(big_array), [
        ("for r in qvtok.open(path)", lambda: sum(1 for _ in qvtok.open(big_array))),
        ("orjson.loads(whole file)", gc_off(lambda: len(orjson.loads(read_bytes(big_array))))),
        ("msgspec decode(whole file)", gc_off(lambda: len(decoder.decode(read_bytes(big_array))))),
    ], 3)


LIFECYCLE_LOADS = {
    "qvtok.open(P).load()": "import qvtok\nx = qvtok.open(P).load()",
    "orjson per line (GC off)": ("import gc, orjson\ngc.disable()\nwith open(P, 'rb') as f:\n"
                                 "    x = [orjson.loads(line) for line in f]\ngc.enable()"),
    "msgspec per line (GC off)": ("import gc, msgspec\nd = msgspec.json.Decoder()\ngc.disable()\n"
                                  "with open(P, 'rb') as f:\n    x = [d.decode(line) for line in f]\ngc.enable()"),
    "bigjson.load(P)": "from qvtok import bigjson\nx = bigjson.load(P)",
}


def lifecycle(code, path):
    """Seconds to load, for the first allocations after it, to free the
    result and for the process to exit, and peak RSS in MiB: one fresh
    interpreter."""
    script = (
        "import time, sys\nP = %r\nt0 = time.perf_counter()\n%s\nt1 = time.perf_counter()\n"
        "junk = [[] for _ in range(1000)]\nt2 = time.perf_counter()\ndel x\nt3 = time.perf_counter()\n"
        "peak = [int(l.split()[1]) for l in open('/proc/self/status') if l.startswith('VmHWM:')][0]\n"
        "print(t1 - t0, t2 - t1, t3 - t2, peak / 1024, time.perf_counter(), flush=True)" % (path, code)
    )
    start = time.perf_counter()
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    end = time.perf_counter()
    load, first, free, peak, printed = map(float, out.stdout.split())
    # The child's clock is the parent's (perf_counter is system-wide on Linux).
    return load, first, free, end - printed, peak


def bench_lifecycle(args):
    """A JSONL file from loading to exit: load, the first allocations after
    it (when the cyclic GC meets what was loaded), del, process exit."""
    path = data_file(args.data, "jsonl", args.jsonl_size)
    print(f"\nload, use and free {Path(path).name} ({os.path.getsize(path) / 2**20:.0f} MiB), median of "
          f"{args.repeat} fresh processes each; ratio = peer total / qvtok total")
    rows = {name: [] for name in LIFECYCLE_LOADS}
    for _ in range(args.repeat):
        for name, code in LIFECYCLE_LOADS.items():
            rows[name].append(lifecycle(code, path))
    base = None
    for name, runs in rows.items():
        load, first, free, leave, peak = (statistics.median(r[i] for r in runs) for i in range(5))
        total = load + first + free + leave
        base = base or total
        print(f"  {name:<28} load {load:6.2f}s  next alloc {first:5.2f}s  del {free:5.2f}s  exit {leave:5.2f}s  "
              f"total {total:6.2f}s  x {total / base:4.2f}  peak {peak:6.0f} MiB")


def compressed_file(plain, tool, ext):
    """`plain` compressed once by the tool's command at its default level."""
    path = Path(plain + ext)
    if not path.exists():
        print(f"compressing {path} ...", file=sys.stderr)
        with open(path, "wb") as out:
            subprocess.run([tool, "-c", plain], stdout=out, check=True)
    return str(path)


def bench_compressed(args):
    """qvtok.open on gzip and zstd files against the codecs' own tools."""
    import shutil

    import qvtok

    def run(*cmd):
        return lambda: subprocess.run(cmd, stdout=subprocess.DEVNULL, check=True)

    def drain(path, **kw):
        return lambda: sum(1 for _ in qvtok.open(path, **kw))

    for fmt in ("jsonl", "json"):
        plain = data_file(args.data, fmt, args.big_size)
        size = os.path.getsize(plain)
        gz = compressed_file(plain, "gzip", ".gz")
        table(f"count, {Path(gz).name}", size, [
            ("qvtok.open(.gz).count()", lambda: qvtok.open(gz).count()),
            ("gzip -dc > /dev/null", run("gzip", "-dc", gz)),
        ] + ([("pigz -dc > /dev/null", run("pigz", "-dc", gz))] if shutil.which("pigz") else []), 3)
        if shutil.which("zstd"):
            zst = compressed_file(plain, "zstd", ".zst")
            table(f"count, {Path(zst).name}", size, [
                ("qvtok.open(.zst).count()", lambda: qvtok.open(zst).count()),
                ("zstd -dc > /dev/null", run("zstd", "-qdc", zst)),
            ], 3)
        # Decompressing ahead on a second core should hide the inflater's
        # time behind the scanner's: compare with the two done one after the other.
        inflate = median_time(run("gzip", "-dc", gz), 3)
        inline = median_time(drain(plain), 3)
        print(f"\niterate values, {Path(gz).name}: decompression alone + iterating the plain file = "
              f"{(inflate + inline) * 1000:.0f} ms")
        table(f"iterate values, {Path(gz).name}", size, [
            ("qvtok.open(.gz) iterated", drain(gz)),
            ("qvtok.open(plain) iterated", drain(plain)),
            ("gzip -dc | qvtok.open('-')", lambda: subprocess.run(
                f"gzip -dc {gz} | {sys.executable} -c 'import qvtok; sum(1 for _ in qvtok.open(\"-\"))'",
                shell=True, check=True)),
        ], 3)
        base, peak = peak_rss("import qvtok\nfor _ in qvtok.open(P): pass", gz)
        print(f"  peak RSS growth iterating {Path(gz).name}: +{peak - base:.1f} MiB over start-up")


def bench_partitions(args):
    """Partition planning, and validate on one thread against two."""
    import qvtok

    for fmt in ("jsonl", "json"):
        path = data_file(args.data, fmt, args.big_size)
        size = os.path.getsize(path)
        records = qvtok.open(path)
        table(f"plan 128 MiB partitions, {Path(path).name}", size,
              [("Records.partitions()", lambda: records.partitions("128MiB"))], 3)
        table(f"validate, {Path(path).name}", size, [
            ("validate(workers=2)", lambda: records.validate(workers=2)),
            ("validate(workers=1)", lambda: records.validate(workers=1)),
        ], 3)


def bench_dask(args):
    """qvtok.dask.read_records on a local cluster of two worker processes,
    against one process reading the same file with qvtok.open, and against
    Dask's own way to read JSON Lines on the same cluster."""
    import dask.bag
    from distributed import Client, LocalCluster

    import qvtok
    from qvtok.dask import read_records

    path = data_file(args.data, "jsonl", args.big_size)
    size = os.path.getsize(path)
    read_bytes(path)  # warm the page cache
    repeat = max(1, args.repeat // 3)

    def dask_text():
        return dask.bag.read_text(path, blocksize="128MiB").map(json.loads)

    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster, \
            Client(cluster):
        table(f"count records, JSONL {args.big_size}", size, [
            ("read_records().count(), 2 workers", lambda: read_records(path).count().compute()),
            ("qvtok.open loop, 1 process", lambda: sum(1 for _ in qvtok.open(path))),
            ("qvtok.open().count(), 1 process", lambda: qvtok.open(path).count()),
            ("read_text().map(json.loads).count()", lambda: dask_text().count().compute()),
        ], repeat)
        table(f"sum of len(record), JSONL {args.big_size}", size, [
            ("read_records().map(len).sum()", lambda: read_records(path).map(len).sum().compute()),
            ("qvtok.open loop, 1 process", lambda: sum(map(len, qvtok.open(path)))),
            ("read_text().map(json.loads)...", lambda: dask_text().map(len).sum().compute()),
        ], repeat)


def bench_remote(args):
    """qvtok.open on URLs against the same file read locally, and
    qvtok.dask.read_records of a URL against Dask's read_text and
    json.loads on the same cluster of two worker processes. Two servers on
    the loopback interface, each in a process of its own: moto's S3, whose
    ranged GET costs time in proportion to the whole object (it measures how
    many requests a reader makes), and bench/range_server.py, which sends
    ranges from the page cache (it measures the reader)."""
    import socket
    import urllib.request

    import dask.bag
    import s3fs
    from distributed import Client, LocalCluster

    import qvtok
    from qvtok._remote import filesystem
    from qvtok.dask import read_records

    def fetch_whole(url, opts):
        store, where = filesystem(url, opts)
        return store.cat_file(where)

    path = data_file(args.data, "jsonl", args.big_size)
    size = os.path.getsize(path)
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    endpoint = f"http://127.0.0.1:{port}"
    env = dict(os.environ, AWS_ACCESS_KEY_ID="bench", AWS_SECRET_ACCESS_KEY="bench")
    moto = subprocess.Popen([sys.executable, "-m", "moto.server", "-H", "127.0.0.1", "-p", str(port)],
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    ranges = subprocess.Popen([sys.executable, str(ROOT / "bench" / "range_server.py"), str(Path(path).parent)],
                              stdout=subprocess.PIPE, text=True)
    try:
        http_url = f"http://127.0.0.1:{ranges.stdout.readline().strip()}/{Path(path).name}"
        for _ in range(100):
            try:
                urllib.request.urlopen(endpoint, timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)
        options = {"key": "bench", "secret": "bench",
                   "client_kwargs": {"endpoint_url": endpoint, "region_name": "eu-west-1"}}
        fs = s3fs.S3FileSystem(**options)
        fs.mkdir("bench")
        print(f"uploading {path} ...", file=sys.stderr)
        fs.put_file(path, "bench/data.jsonl")
        s3_url = "s3://bench/data.jsonl"
        read_bytes(path)  # warm the page cache for the local reads and the range server
        for name, url, opts in [("http", http_url, None), ("s3", s3_url, options)]:
            table(f"count records, JSONL {args.big_size}, {name} URL against the local path", size, [
                (f"qvtok.open({name} URL).count()", lambda: qvtok.open(url, storage_options=opts).count()),
                ("qvtok.open(local path).count()", lambda: qvtok.open(path).count()),
                # What the server gives one reader at most: the bytes alone, in one request.
                ("fsspec cat_file(URL), bytes only", lambda: len(fetch_whole(url, opts))),
            ], max(1, args.repeat // 3))
            table(f"every record's value, JSONL {args.big_size}, {name} URL against the local path", size, [
                (f"qvtok.open({name} URL) loop", lambda: sum(1 for _ in qvtok.open(url, storage_options=opts))),
                ("qvtok.open(local path) loop", lambda: sum(1 for _ in qvtok.open(path))),
            ], max(1, args.repeat // 3))
        with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) as cluster, \
                Client(cluster):
            for name, url, opts in [("http", http_url, None), ("s3", s3_url, options)]:
                table(f"count records on 2 workers, JSONL {args.big_size} at the {name} URL", size, [
                    ("read_records(url).count()",
                     lambda: read_records(url, storage_options=opts).count().compute()),
                    ("read_text(url).map(json.loads).count()",
                     lambda: dask.bag.read_text(url, blocksize="128MiB", storage_options=opts)
                     .map(json.loads).count().compute()),
                ], max(1, args.repeat // 3))
    finally:
        for server in (moto, ranges):
            server.terminate()
            server.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=["load", "stream", "schema", "memory", "schema-memory", "open", "compressed",
                                         "partitions", "dask", "remote", "lifecycle", "values", "all"])
    parser.add_argument("--data", default=os.path.join(tempfile.gettempdir(), "qvtok-bench"))
    parser.add_argument("--repeat", type=int, default=9)
    parser.add_argument("--between-ms", type=float, default=0,
                        help="milliseconds of other Python work before each timed call")
    parser.add_argument("--jsonl-size", default="200M")
    parser.add_argument("--big-size", default="1G")
    parser.add_argument("--stream-size", default="2G")
    args = parser.parse_args()
    global BETWEEN_MS
    BETWEEN_MS = args.between_ms
    for what in (["load", "stream", "schema", "memory"] if args.what == "all" else [args.what]):
        globals()["bench_" + what.replace("-", "_")](args)


if __name__ == "__main__":
    main()
