"""What track(progress=...) shows: a tqdm bar when tqdm is installed (in a notebook, its
widget), else one line on standard error rewritten in place, as the program's."""
from __future__ import annotations

import sys
import time
from typing import Any, Callable, Optional

# (frames done, frames expected or None, frames per second) -> False to stop, else anything.
ProgressCallback = Callable[[int, Optional[int], float], Any]


class PlainLine:
    """frame 120/300  29.7 fps  6 s left, at most four times a second."""

    def __init__(self, stream=None):
        self._stream = stream if stream is not None else sys.stderr
        self._last = -1.0
        self._shown = False

    def __call__(self, done: int, expected: Optional[int], rate: float) -> None:
        now = time.monotonic()
        if now - self._last < 0.25 and done != expected:
            return
        self._last = now
        if expected:
            left = (expected - done) / rate if rate > 0 else 0.0
            line = f"\rframe {done}/{expected}  {rate:.1f} fps  {left:.0f} s left   "
        else:
            line = f"\rframe {done}  {rate:.1f} fps   "
        self._stream.write(line)
        self._stream.flush()
        self._shown = True

    def close(self) -> None:
        if self._shown:
            self._stream.write("\n")
            self._stream.flush()


class Bar:
    """tqdm's bar (tqdm.auto: the notebook's widget where there is one), its total set once
    the run knows it."""

    def __init__(self, tqdm_class):
        self._bar = tqdm_class(total=None, unit="frame", desc="ambrevo", leave=True)

    def __call__(self, done: int, expected: Optional[int], rate: float) -> None:
        if expected is not None and self._bar.total != expected:
            self._bar.total = expected
            self._bar.refresh()
        self._bar.update(done - self._bar.n)

    def close(self) -> None:
        self._bar.close()


def shown(progress: Any):
    """The callback for `progress` and what ends its display: True shows a bar, a callable is
    called as it is, None or False shows nothing."""
    if progress is None or progress is False:
        return None, lambda: None
    if progress is True:
        try:
            from tqdm.auto import tqdm
        except ImportError:
            display: Any = PlainLine()
        else:
            display = Bar(tqdm)
        return display, display.close
    if callable(progress):
        return progress, lambda: None
    raise TypeError(f"progress must be True, False, None or a callable (done, expected, rate), got {progress!r}")
