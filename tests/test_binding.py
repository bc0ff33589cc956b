import pathlib

import pytest

import qvtok
from qvtok import bigjson


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: bigjson.count(), "count() missing 1 required positional argument: 'path'"),
        (lambda: bigjson.schema(), "schema() missing 1 required positional argument: 'path'"),
        (lambda: bigjson.schema(sample=3), "schema() missing 1 required positional argument: 'path'"),
        (
            lambda: bigjson.count("a", "json", 1),
            "count() takes from 1 to 2 positional arguments but 3 were given",
        ),
        (
            lambda: bigjson.schema("a", 1, "json", 2),
            "schema() takes from 1 to 3 positional arguments but 4 were given",
        ),
        (lambda: bigjson.load("a", path="b"), "load() got multiple values for argument 'path'"),
        (
            lambda: bigjson.schema("a", 5, sample=1),
            "schema() got multiple values for argument 'sample'",
        ),
        (
            lambda: bigjson.load(path="a", fmt="json"),
            "load() got an unexpected keyword argument 'fmt'",
        ),
        (
            lambda: bigjson.iter_records("a", Path="x"),
            "iter_records() got an unexpected keyword argument 'Path'",
        ),
    ],
)
def test_call_shape_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


@pytest.mark.parametrize("fn", [bigjson.count, bigjson.load, bigjson.iter_records, bigjson.schema])
@pytest.mark.parametrize(
    "path, message",
    [
        (5, "'int' object is not an instance of 'str'"),
        (None, "'None' is not an instance of 'str'"),
        (b"data.json", "'bytes' object is not an instance of 'str'"),
        (pathlib.Path("data.json"), "'PosixPath' object is not an instance of 'str'"),
    ],
)
def test_path_must_be_str(fn, path, message, no_fd_leak):
    with pytest.raises(TypeError) as info:
        fn(path)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'path'"]


def test_path_with_lone_surrogate():
    # Only U+DC80..U+DCFF stand for bytes of a name (os.fsencode's escapes);
    # any other lone surrogate names no file.
    with pytest.raises(UnicodeEncodeError) as info:
        bigjson.count("bad\ud800.json")
    assert info.value.__notes__ == ["while processing 'path'"]


@pytest.mark.parametrize(
    "fmt, exc, message",
    [
        (1, TypeError, "'int' object is not an instance of 'str'"),
        (b"json", TypeError, "'bytes' object is not an instance of 'str'"),
        ("js\udc80", UnicodeEncodeError, None),
    ],
)
def test_format_must_be_str(fmt, exc, message, tmp_path):
    with pytest.raises(exc) as info:
        bigjson.load(str(tmp_path / "x.json"), format=fmt)
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'format'"]


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "sample, exc",
    [
        (None, TypeError),
        (-1, OverflowError),
        (2**64, OverflowError),
        ("3", TypeError),
        (1.5, TypeError),
        (Index(-2), OverflowError),
    ],
)
def test_bad_sample(sample, exc, write):
    path = write("a.jsonl", '{"a": 1}\n')
    with pytest.raises(exc) as info:
        bigjson.schema(path, sample=sample)
    assert info.value.__notes__ == ["while processing 'sample'"]


def test_arguments_are_converted_in_parameter_order():
    # path is examined before sample, and sample before format.
    with pytest.raises(TypeError) as info:
        bigjson.schema(5, sample=None, format=1)
    assert info.value.__notes__ == ["while processing 'path'"]
    with pytest.raises(TypeError) as info:
        bigjson.schema("x", sample=None, format=1)
    assert info.value.__notes__ == ["while processing 'sample'"]


def test_unknown_format_is_reported_before_the_file_is_touched():
    with pytest.raises(ValueError) as info:
        bigjson.count("/does/not/exist", format="xml")
    assert str(info.value) == "unknown format \"xml\"; expected 'json', 'jsonl' or 'auto'"


# qvtok.open and the methods of Records bind their arguments as a Python
# function of the same parameters would: the same refusals, in Python's words.
RECORDS = qvtok.open(pathlib.Path(__file__).parents[1] / "examples" / "events.jsonl")
SIGNATURES = {
    "open": (qvtok.open, "source, *, at=None, format='auto', on_error='raise', compression='auto', max_depth=1024, "
                         "storage_options=None"),
    "count": (RECORDS.count, "*, progress=None"),
    "head": (RECORDS.head, "n=10"),
    "schema": (RECORDS.schema, "sample=100, *, progress=None"),
    "validate": (RECORDS.validate, "*, workers=None, progress=None"),
    "to_jsonl": (RECORDS.to_jsonl, "dest, *, compression='auto', progress=None"),
    "partitions": (RECORDS.partitions, "size='128MiB'"),
}


@pytest.mark.parametrize(("name", "args", "kwargs"), [
    ("open", (), {}), ("open", ("a", "/x"), {}), ("open", ("a",), {"bad": 1}), ("open", ("a",), {"source": "b"}),
    ("open", (), {"at": "/x"}),
    ("count", (1,), {}), ("count", (), {"progres": None}),
    ("head", (1, 2), {}), ("head", (1,), {"n": 2}),
    ("schema", (1, None), {}), ("schema", (), {"sample": 1, "samples": 2}),
    ("validate", (2,), {}),
    ("to_jsonl", (), {}), ("to_jsonl", ("a", "gzip"), {}), ("to_jsonl", ("a",), {"dest": "b"}),
    ("partitions", ("1MiB", 2), {}), ("partitions", (), {"sizes": 1}),
])
def test_open_and_its_methods_refuse_calls_as_python_does(name, args, kwargs):
    function, params = SIGNATURES[name]
    space: dict = {}
    exec(f"def {name}({params}): pass", space)
    with pytest.raises(TypeError) as expected:
        space[name](*args, **kwargs)
    with pytest.raises(TypeError) as got:
        function(*args, **kwargs)
    # Python 3.13 adds a guess at the keyword meant, for functions written in Python.
    assert str(got.value) == str(expected.value).split(". Did you mean ")[0]
