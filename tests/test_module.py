import importlib.util
import inspect
import sys

import pytest

import qvtok
import qvtok.lib._qvtok as _qvtok
from qvtok import bigjson

FUNCTIONS = ["count", "schema", "load", "iter_records"]


def test_submodule_is_registered():
    assert sys.modules["qvtok.bigjson"] is _qvtok.bigjson is bigjson is qvtok.bigjson
    assert bigjson.__name__ == "bigjson"
    assert _qvtok.__all__ == ["bigjson"]
    assert bigjson.__all__ == FUNCTIONS + ["RecordIterator"]


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_are_bound_to_the_submodule(name):
    fn = getattr(bigjson, name)
    assert fn.__module__ == "bigjson"
    assert fn.__self__ is bigjson
    assert fn.__name__ == name
    assert fn.__text_signature__.startswith("(path")


@pytest.mark.parametrize(
    "name, signature",
    [
        ("count", "(path, format=None)"),
        ("load", "(path, format=None)"),
        ("iter_records", "(path, format=None)"),
        ("schema", "(path, sample=100, format=None)"),
    ],
)
def test_text_signatures(name, signature):
    assert str(inspect.signature(getattr(bigjson, name))) == signature


def test_record_iterator_class():
    cls = bigjson.RecordIterator
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == "RecordIterator"
    assert cls.__doc__ == "Python iterator wrapper returned by [`iter_records`]."
    assert cls.__bases__ == (object,)
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_second_execution_gives_a_new_submodule_with_the_same_type():
    spec = importlib.util.find_spec("qvtok.lib._qvtok")
    old = sys.modules["qvtok.bigjson"]
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    try:
        assert again.bigjson is not old
        assert sys.modules["qvtok.bigjson"] is again.bigjson
        assert again.bigjson.RecordIterator is old.RecordIterator
        assert again.bigjson.__all__ == old.__all__
    finally:
        sys.modules["qvtok.bigjson"] = old


def test_panic_exception_is_not_exposed():
    assert not hasattr(_qvtok, "PanicException")
    assert not hasattr(bigjson, "PanicException")
