"""The bar that ``progress=True`` draws: tqdm's, which is optional."""

from __future__ import annotations

from typing import Any

MISSING_TQDM = "progress=True draws its bar with tqdm, which is not installed: pip install 'qvtok[progress]', or pass a callable"


class _Bar:
    """A callable (done, total) that moves a tqdm bar counting bytes.

    The bar is made at the first call, when the size is known; it is closed
    once all of a known size is done, or when the pass drops the callable."""

    def __init__(self, tqdm: Any) -> None:
        self._tqdm = tqdm
        self._bar: Any = None

    def __call__(self, done: int, total: int | None) -> None:
        if self._bar is None:
            self._bar = self._tqdm(total=total, unit="B", unit_scale=True, unit_divisor=1024)
        self._bar.update(done - self._bar.n)
        if total is not None and done >= total:
            self.close()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()

    def __del__(self) -> None:
        self.close()


def bar() -> _Bar:
    try:
        from tqdm.auto import tqdm
    except ImportError as e:
        raise ModuleNotFoundError(MISSING_TQDM, name="tqdm") from e

    class QuietTqdm(tqdm):  # type: ignore[misc, valid-type]
        # tqdm's monitor is a thread that outlives every bar; ours are moved
        # often enough without it, and leave the host's threads as they were.
        monitor_interval = 0

    return _Bar(QuietTqdm)
