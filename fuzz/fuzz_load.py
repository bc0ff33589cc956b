"""Fuzz target: the JSON reader, through load() on a JSON file.

Differential oracle: Python's json module on the same text, modulo the
documented differences (keys in UTF-8 byte order, later duplicate wins,
integers beyond 64 bits and -0 as floats, no NaN or Infinity, no number that
rounds to infinity, no lone surrogate, nesting limited to 127 levels). Both
must accept or refuse the same texts and accepted texts must give the same
values; refusals carry a known message with a position inside the text, and
a text that json accepts is refused for one of the documented reasons.
"""

import harness  # first: it loads the coverage bridge before the extension
from harness import bigjson


def test_one_input(data):
    path = harness.scratch("doc.json", data)
    expected = harness.json_module_outcome(data)
    try:
        got = ("value", bigjson.load(path, "json"))
    except RuntimeError as e:
        assert str(e) == harness.UTF8_ERROR, str(e)
        assert expected == ("utf8",), (expected, str(e))
        return
    except ValueError as e:
        harness.check_position(str(e), "invalid JSON: ", data)
        assert expected[0] == "refused", (expected, str(e))
        # Where only the documented differences make the text unacceptable,
        # the message names one of them.
        reason = harness.ERROR_TEXT.fullmatch(str(e)[len("invalid JSON: "):]).group(1)
        assert expected[1] is None or reason in expected[1], (expected, str(e))
        return
    assert expected[0] == "value", (expected, got)
    assert harness.same(got[1], expected[1]), (got[1], expected[1])


if __name__ == "__main__":
    harness.run(test_one_input)
