"""What validate() returns: the number of good records and the first errors,
with the number of invalid records beside them."""

from __future__ import annotations

from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from qvtok.lib._qvtok import JSONDecodeError


class Validation(tuple[int, "list[JSONDecodeError]"]):
    """`(good, errors)`: the number of good records and the first 1000
    errors, in file order, with a StructureLostError after a fault that left
    the bytes after it unread (kept past the 1000; it is no record). A
    tuple, so that `good, errors = r.validate()` and comparisons with a
    plain tuple work as they always did; `invalid` counts every invalid
    record, the ones past the kept errors too."""

    def __new__(cls, good: int, errors: list[JSONDecodeError], invalid: int) -> Validation:
        self = super().__new__(cls, (good, errors))
        self.__dict__["invalid"] = invalid
        return self

    @property
    def invalid(self) -> int:
        """How many records are invalid, however many errors were kept."""
        result: int = self.__dict__["invalid"]
        return result

    def __getnewargs__(self) -> tuple[int, list[JSONDecodeError], int]:
        return (self[0], self[1], self.invalid)

    def __repr__(self) -> str:
        return f"Validation(good={self[0]!r}, errors={self[1]!r}, invalid={self.invalid!r})"
