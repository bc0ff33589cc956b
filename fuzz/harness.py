"""What the fuzz targets share: starting atheris with coverage of the native
code, a scratch file per input, and reference models of what each entry must
return, written plainly in Python from the documented rules.

A target imports this module before anything else, because the coverage
bridge has to be loaded before the extension is.
"""

import ctypes
import json
import os
import re
import shutil
import struct
import sys
import tempfile

_BRIDGE_PATH = os.environ.get("QVTOK_COVERAGE_BRIDGE")
# RTLD_GLOBAL: the extension's calls to __sanitizer_cov_trace_pc bind to the
# bridge when the extension is loaded below.
_bridge = ctypes.CDLL(_BRIDGE_PATH, mode=os.RTLD_GLOBAL | os.RTLD_NOW) if _BRIDGE_PATH else None

import atheris  # noqa: E402

from qvtok import bigjson  # noqa: E402

# --- running ------------------------------------------------------------------

_SCRATCH = tempfile.mkdtemp(prefix="qvtok-fuzz-", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)


def scratch(name, data):
    """Writes `data` to a file of that name in this process's scratch directory."""
    path = os.path.join(_SCRATCH, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


def _attach_coverage():
    """Hands the bridge's counters to libFuzzer, which atheris loads only when
    fuzzing starts; modules that register later are picked up as well."""
    if _bridge is None:
        return
    core = None
    with open("/proc/self/maps") as maps:
        for line in maps:
            if "core_with_libfuzzer" in line:
                core = line.split(None, 5)[5].strip()
                break
    if core is None:
        raise RuntimeError("libFuzzer is not loaded; cannot attach native coverage")
    _bridge.qvtok_coverage_attach.restype = ctypes.c_size_t
    _bridge.qvtok_coverage_counters.restype = ctypes.c_void_p
    _bridge.qvtok_coverage_pcs.restype = ctypes.c_void_p
    n = _bridge.qvtok_coverage_attach(b"_qvtok")
    if n == 0:
        raise RuntimeError("the extension is not loaded; cannot attach native coverage")
    counters = _bridge.qvtok_coverage_counters()
    pcs = _bridge.qvtok_coverage_pcs()
    fuzzer = ctypes.CDLL(core)
    fuzzer.__sanitizer_cov_8bit_counters_init(ctypes.c_void_p(counters), ctypes.c_void_p(counters + n))
    word = ctypes.sizeof(ctypes.c_void_p)
    fuzzer.__sanitizer_cov_pcs_init(ctypes.c_void_p(pcs), ctypes.c_void_p(pcs + 2 * n * word))


def run(test_one_input):
    """Runs libFuzzer over `test_one_input` with the command line's options."""
    attached = False

    def one(data):
        nonlocal attached
        if not attached:
            attached = True
            _attach_coverage()
        test_one_input(data)

    try:
        atheris.Setup(sys.argv, one)
        atheris.Fuzz()
    finally:
        shutil.rmtree(_SCRATCH, ignore_errors=True)


# --- shared rules ---------------------------------------------------------------

# The 25 code points of Unicode White_Space: what decides a blank line or a
# blank array element.
WHITE_SPACE = "\t\n\x0b\x0c\r \x85\xa0\u1680" + "".join(map(chr, range(0x2000, 0x200B))) + "\u2028\u2029\u202f\u205f\u3000"
# Scanner whitespace: what the array scanners and format detection skip.
SCANNER_SPACE = b" \t\n\r\f"

UTF8_ERROR = "read error: stream did not contain valid UTF-8"
ERROR_TEXT = re.compile(r"(.+) at line (\d+) column (\d+)")
READER_MESSAGES = {
    "EOF while parsing a list", "EOF while parsing an object", "EOF while parsing a string",
    "EOF while parsing a value", "expected `:`", "expected `,` or `]`", "expected `,` or `}`",
    "expected ident", "expected value", "invalid escape", "invalid number", "number out of range",
    "control character (\\u0000-\\u001F) found while parsing a string", "key must be a string",
    "lone leading surrogate in hex escape", "trailing comma", "trailing characters",
    "unexpected end of hex escape", "recursion limit exceeded",
}


def trim(text):
    return text.strip(WHITE_SPACE)


def check_position(message, prefix, text):
    """The reader's error display for `text` (bytes): a known message and a
    position inside the text."""
    assert message.startswith(prefix), message
    match = ERROR_TEXT.fullmatch(message[len(prefix):])
    assert match, message
    what, line, column = match.group(1), int(match.group(2)), int(match.group(3))
    assert what in READER_MESSAGES, message
    lines = text.split(b"\n")
    assert 1 <= line <= len(lines), (message, text)
    assert 0 <= column <= len(lines[line - 1]), (message, text)


def outcome(call):
    """("value", result) or ("error", "ExceptionClass: message")."""
    try:
        return ("value", call())
    except (ValueError, RuntimeError) as e:
        return ("error", f"{type(e).__name__}: {e}")


def same(a, b):
    """Equal values of equal types; floats bit for bit, dict keys in order."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    return a == b


def same_outcome(a, b):
    return a[0] == b[0] and (same(a[1], b[1]) if a[0] == "value" else a[1] == b[1])


def record_of(text):
    """What a trimmed record text (str, valid UTF-8, not blank) reads as,
    found by loading it as a whole JSON file: ("value", v) or ("error", the
    reader's display text)."""
    path = scratch("record.json", text.encode("utf-8"))
    try:
        return ("value", bigjson.load(path, "json"))
    except ValueError as e:
        message = str(e)
        assert message.startswith("invalid JSON: "), message
        return ("error", message[len("invalid JSON: "):])


def element_outcome(piece, keep_end=False):
    """A gathered array element (bytes) as iter_records must hand it out:
    None for a blank element, else a value or an error item. A broken
    element keeps its last byte, the one at fault, even if it is white space."""
    text = piece.decode("utf-8", "replace")
    text = text.lstrip(WHITE_SPACE) if keep_end else trim(text)
    if not text:
        return None
    kind, result = record_of(text)
    if kind == "error":
        check_position("invalid JSON element: " + result, "invalid JSON element: ", text.encode())
        return ("error", "ValueError: invalid JSON element: " + result)
    return ("value", result)


# --- the top-level array scanner --------------------------------------------------

_STRUCTURE = re.compile(rb'["\[\]{},]|\\')
_IN_STRING = re.compile(rb'["\\]')


class Split:
    """A JSON document cut into records the way the scanners cut it.

    shape: "empty" (only scanner whitespace), "single" (first significant byte
    is not "["), or "array". For an array: `pieces`, the text of each element
    ended by a comma or by the closing bracket at depth 1, in order, each with
    the offset just past its terminator; `closed`, whether the closing bracket
    came; `broken`, whether the last piece ends at a byte no element can hold
    there (a closer of the wrong kind, a raw control byte inside a string),
    which it then includes; `trailing`, the offset of the first byte other
    than scanner whitespace after the closing bracket, or None; `count`, what
    count() must say (count never stops, and knows nothing of kinds).
    """

    def __init__(self, data):
        self.data = data
        i = len(data) - len(data.lstrip(SCANNER_SPACE))
        self.start = i
        self.pieces = []
        self.closed = False
        self.broken = False
        self.trailing = None
        if i == len(data):
            self.shape, self.count = "empty", 0
            return
        if data[i] != ord("["):
            self.shape, self.count = "single", 1
            return
        self.shape = "array"
        self._scan(i + 1)
        if self.closed:
            end = self.pieces[-1][1]
            rest = len(data) - len(data[end:].lstrip(SCANNER_SPACE))
            self.trailing = rest if rest < len(data) else None

    def _scan(self, i):
        data = self.data
        depth, separators, content = 1, 0, False
        kinds = {}  # the opener that took the depth from d to d + 1, for d below 128
        element_start = i
        stopped = False  # the element scanner stops at the closing bracket; count does not
        pos = i

        def stop_broken(at):
            nonlocal stopped
            self.pieces.append((data[element_start:at + 1], at + 1))
            self.broken = stopped = True

        while True:
            m = _STRUCTURE.search(data, pos)
            end = m.start() if m else len(data)
            # Bytes between structural ones: anything but scanner whitespace
            # is content at depth 1.
            if not content and depth == 1 and data[pos:end].strip(SCANNER_SPACE):
                content = True
            if m is None:
                break
            c = data[end:end + 1]
            pos = end + 1
            if c == b'"':
                if depth == 1:
                    content = True
                pos, control = self._skip_string(pos)
                if control is not None and not stopped:
                    stop_broken(control)
                if pos is None:
                    break
            elif c == b"\\":
                # Outside a string a backslash is an ordinary byte.
                if depth == 1:
                    content = True
            elif c in b"[{":
                if depth == 1:
                    content = True
                if depth < 128:
                    kinds[depth] = c
                depth += 1
            elif c == b"]" and depth == 1:
                if not stopped:
                    self.pieces.append((data[element_start:end], pos))
                    self.closed = stopped = True
                depth -= 1
            elif c in b"]}":
                if not stopped and depth >= 1:
                    opener = kinds.get(depth - 1) if depth > 1 else b"["
                    if depth - 1 < 128 and opener is not None and (opener == b"{") != (c == b"}"):
                        stop_broken(end)
                depth -= 1
            elif c == b"," and depth == 1:
                separators += 1
                if not stopped:
                    self.pieces.append((data[element_start:end], pos))
                    element_start = pos
        self.count = separators + 1 if content else 0

    def _skip_string(self, pos):
        """The offset just past the string's closing quote (None when the
        data ends first), and the offset of its first byte below 0x20 (None
        when it has none), escaped or not."""
        data = self.data
        start = pos
        close = None
        while True:
            m = _IN_STRING.search(data, pos)
            if m is None:
                break
            if data[m.start()] == ord('"'):
                close = m.end()
                break
            pos = m.end() + 1  # the escaped byte, whatever it is
            if pos > len(data):
                break
        body = data[:close] if close is not None else data
        control = next((k for k in range(start, len(body)) if body[k] < 0x20), None)
        return close, control

    def position(self, at):
        """Line and column of byte `at` of the file, as file errors give them."""
        data = self.data
        return data.count(b"\n", 0, at) + 1, at - (data.rfind(b"\n", 0, at) + 1) + 1

    def eof_error(self):
        """The error that ends iter_records on an array that never closes."""
        data = self.data
        line = data.count(b"\n") + 1
        column = len(data) - (data.rfind(b"\n") + 1)
        return ("error", f"ValueError: invalid JSON: EOF while parsing a list at line {line} column {column}")

    def records(self):
        """Every item iter_records must hand out, values and errors in order."""
        if self.shape == "empty":
            return []
        if self.shape == "single":
            item = element_outcome(self.data[self.start:])
            return [] if item is None else [item]
        last = len(self.pieces) - 1
        items = [element_outcome(p, keep_end=self.broken and k == last) for k, (p, _) in enumerate(self.pieces)]
        items = [x for x in items if x is not None]
        if self.trailing is not None:
            line, column = self.position(self.trailing)
            items.append(("error", f"ValueError: invalid JSON: trailing characters at line {line} column {column}"))
        elif not self.closed and not self.broken:
            items.append(self.eof_error())
        return items

    def read_end(self):
        """The offset of the last byte the element stream must look at."""
        if self.broken:
            return self.pieces[-1][1] - 1
        if self.trailing is not None:
            return self.trailing
        return len(self.data) - 1


def iterate(path, fmt, limit):
    """Every outcome of iterating, values and errors in place, and the
    iterator's counters at the end."""
    it = bigjson.iter_records(path, fmt)
    total = it.total_bytes
    items = []
    while True:
        try:
            items.append(("value", next(it)))
        except StopIteration:
            break
        except (ValueError, RuntimeError) as e:
            items.append(("error", f"{type(e).__name__}: {e}"))
        assert len(items) <= limit, "iteration does not end"
    # The end is final.
    for _ in range(2):
        try:
            next(it)
            raise AssertionError("a record after the end")
        except StopIteration:
            pass
    return items, it.bytes_read, total


def same_items(got, expected):
    return len(got) == len(expected) and all(same_outcome(a, b) for a, b in zip(got, expected))


# --- JSONL ---------------------------------------------------------------------------


def jsonl_lines(data):
    """The lines of a JSONL file, each with its line feed."""
    lines = data.split(b"\n")
    out = [line + b"\n" for line in lines[:-1]]
    if lines[-1]:
        out.append(lines[-1])
    return out


def line_outcome(line):
    """A JSONL line as iter_records must hand it out: None when blank."""
    try:
        text = line.decode("utf-8")
    except UnicodeDecodeError:
        return ("error", "RuntimeError: " + UTF8_ERROR)
    text = trim(text)
    if not text:
        return None
    kind, result = record_of(text)
    if kind == "error":
        check_position("invalid JSONL line: " + result, "invalid JSONL line: ", text.encode())
        return ("error", "ValueError: invalid JSONL line: " + result)
    return ("value", result)


# --- values as Python's json module reads them -------------------------------------


class _Refused:
    """A value that json accepts and this module refuses, standing in for it
    until the whole text is read; `reason` is the reader message expected."""

    def __init__(self, reason):
        self.reason = reason


def _integer(text):
    # Integers within the 64-bit ranges stay int; others, and -0, are floats.
    digits = text.lstrip("-")
    if len(digits) <= 20:
        n = int(text)
        if -(2**63) <= n <= 2**64 - 1 and text != "-0":
            return n
    return _float(text)


def _float(text):
    f = float(text)
    if f in (float("inf"), float("-inf")):
        return _Refused("number out of range")
    return f


def _constant(name):
    # "-Infinity" fails at the "I" after the minus, the others at their first letter.
    return _Refused("invalid number" if name.startswith("-") else "expected value")


class _Members(list):
    """An object's members as read, duplicates included: a value that a later
    duplicate replaces must still be readable."""


def _refusals(value, found, depth=0):
    if isinstance(value, _Refused):
        found.add(value.reason)
    elif isinstance(value, list):
        depth += 1
        if depth > 127:
            found.add("recursion limit exceeded")
        for item in value:
            if isinstance(value, _Members):
                _refusals(item[0], found)
                item = item[1]
            _refusals(item, found, depth)
    elif isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:
            found.update(("lone leading surrogate in hex escape", "unexpected end of hex escape"))
    return found


def canonical(value):
    """Keys in order of their UTF-8 bytes, a later duplicate winning."""
    if isinstance(value, _Members):
        value = dict(value)
    if isinstance(value, dict):
        return {k: canonical(value[k]) for k in sorted(value, key=lambda k: k.encode())}
    if isinstance(value, list):
        return [canonical(v) for v in value]
    return value


def json_module_outcome(data):
    """What this module must do with `data`, judged by Python's json module:
    ("utf8",) when the bytes are not UTF-8; ("refused", reasons) when the text
    is refused, with the reader messages that may explain it (None: json
    refuses it too, any message will do); ("value", v) when it must give v."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        return ("utf8",)
    try:
        value = json.loads(
            text, parse_int=_integer, parse_float=_float, parse_constant=_constant, object_pairs_hook=_Members
        )
    except (json.JSONDecodeError, RecursionError):
        return ("refused", None)
    reasons = _refusals(value, set())
    if reasons:
        return ("refused", reasons)
    return ("value", canonical(value))


# --- schema -------------------------------------------------------------------------


def _type_name(v):
    if v is None:
        return "null"
    if isinstance(v, bool):
        return "bool"
    if isinstance(v, int):
        return "int"
    if isinstance(v, float):
        return "float"
    return "str"


def infer(values):
    """The schema of the values at one position, step by step as documented."""
    if not values:
        return "unknown"
    names, arrays, objects = set(), [], []
    for v in values:
        if isinstance(v, dict):
            objects.append(v)
        elif isinstance(v, list):
            arrays.append(v)
        else:
            names.add(_type_name(v))
    variants = []
    if names:
        variants.append("|".join(sorted(names)))
    if arrays:
        elements = [e for a in arrays for e in a]
        variants.append([infer(elements)] if elements else [])
    if objects:
        noted = []
        seen = set()
        for o in objects:
            for k in o:
                if k not in seen:
                    seen.add(k)
                    noted.append(k)
        fields = {}
        for k in noted:
            held = [o[k] for o in objects if k in o]
            fields[k + ("?" if len(held) < len(objects) else "")] = infer(held)
        variants.append(fields)
    if len(variants) == 1:
        return variants[0]
    return {"__oneof__": variants}


def _render_string(s):
    out = bytearray(b'"')
    for b in s.encode("utf-8"):
        if b == 0x22:
            out += b'\\"'
        elif b == 0x5C:
            out += b"\\\\"
        elif b < 0x20:
            short = {8: b"\\b", 9: b"\\t", 10: b"\\n", 12: b"\\f", 13: b"\\r"}.get(b)
            out += short if short else b"\\u00%02x" % b
        else:
            out.append(b)
    out += b'"'
    return out.decode("utf-8")


def render(node, level=0):
    if isinstance(node, str):
        return _render_string(node)
    inner = "\n" + "  " * (level + 1)
    if isinstance(node, list):
        if not node:
            return "[]"
        return "[" + ",".join(inner + render(n, level + 1) for n in node) + "\n" + "  " * level + "]"
    if not node:
        return "{}"
    names = sorted(node, key=lambda k: k.encode("utf-8"))
    return "{" + ",".join(inner + _render_string(k) + ": " + render(node[k], level + 1) for k in names) + \
        "\n" + "  " * level + "}"
