"""One instance of one of the module's procedures, on frames the caller hands over."""
from __future__ import annotations

import numbers
from typing import Any, Dict, Iterable, List, Sequence, Tuple, Union

from . import _ambrevo
from ._options import channel_flag, click_points, is_sequence
from ._tables import numpy

# Field names and types of one object, in the order of the module's records.
OBJECT_FIELDS: List[Tuple[str, str]] = [
    ("index", "<i4"), ("x", "<i4"), ("y", "<i4"), ("area", "<i4"),
    ("vx", "<f4"), ("vy", "<f4"), ("points", "<i4"), ("selected", "<i4")]

_CASTS = {"int": int, "bool": bool, "float": float}


def procedures() -> List[str]:
    """Names of the procedures the module offers, in registration order."""
    return list(_ambrevo.procedures())


class Procedure:
    """One instance of a procedure, for frames of one size (frames of another size are adapted
    to), keeping what it learns from frame to frame (a background, its tracks).

    Settings are the procedure's own names (see describe()): keyword arguments set them at
    creation, `values` reads them, set(name=value, ...) changes them. Use it in a `with` block,
    or call close(), to free the instance at once.

        with ambrevo.Procedure("flowtrack", 640, 480, BrojObjekata=3) as p:
            objects = p.process(frame)
    """

    def __init__(self, name: str, width: int, height: int, channels: int = 3, **values: Union[int, float, bool, str]):
        """An instance of the procedure `name` (one of procedures()) for frames of `width` x
        `height` pixels with `channels` 1 (grey) or 3 (BGR), its settings given by name."""
        channel_flag(channels)
        self._shape = (str(name), int(width), int(height), int(channels))
        self._core = _ambrevo.Procedure(*self._shape)
        self._types = {d["name"]: d["type"] for d in self._core.describe()}
        self.set(**values)

    @property
    def name(self) -> str:
        """The procedure's name, as procedures() lists it."""
        return self._open().name

    def _open(self):
        if self._core is None:
            raise ValueError(f"the {self._shape[0]} procedure was closed")
        return self._core

    def describe(self) -> List[Dict[str, Any]]:
        """Every setting as a dict: name, type ("int", "bool" or "float"), value, lowest,
        highest, default and help."""
        table = self._open().describe()
        for row in table:
            cast = _CASTS[row["type"]]
            for key in ("value", "lowest", "highest", "default"):
                row[key] = cast(row[key])
        return table

    @property
    def values(self) -> Dict[str, Union[int, float, bool]]:
        """Every setting's value by name, such as {'BinThreshold': 120, ...}."""
        return {row["name"]: row["value"] for row in self.describe()}

    def set(self, **values: Union[int, float, bool, str]) -> None:
        """Changes settings by name. All or nothing: a refused value (a name the procedure does
        not have, a value of the wrong kind or out of range) raises ValueError or TypeError and
        leaves every setting as it was."""
        core = self._open()
        for name, value in values.items():
            self._check(name, value)
        before = {name: core.get(name) for name in values}
        try:
            for name, value in values.items():
                if isinstance(value, str):
                    core.set_text(name, value)
                else:
                    core.set(name, float(value))
        except BaseException:
            for name, value in before.items():
                core.set(name, value)
            raise

    def _check(self, name: str, value: Any) -> None:
        kind = self._types.get(name)
        if kind is None:
            self._core.set(name, 0.0)  # the module's own message for an unknown name
        if is_sequence(value):
            raise TypeError(f"{name} takes one value, got the {type(value).__name__} {value!r}")
        if isinstance(value, str):
            return
        if not isinstance(value, numbers.Real):
            raise TypeError(f"{name} must be a number, got {type(value).__name__} {value!r}")
        if kind == "int" and (isinstance(value, float) or not float(value).is_integer()):
            raise ValueError(f"{name} must be an integer, got {value!r}")
        if kind == "bool" and not (isinstance(value, bool) or value in (0, 1)):
            raise ValueError(f"{name} must be True or False, got {value!r}")

    def process(self, frame: Any, clicks: Iterable[Sequence[int]] = ()) -> Any:
        """Runs one frame (uint8, shape (h, w) or (h, w, 3), pixels adjacent within a row) and
        returns its objects as a structured array with the fields of OBJECT_FIELDS. `clicks`
        are (x, y) pixel positions handed over with the frame."""
        np = numpy()
        if not isinstance(frame, np.ndarray):
            raise TypeError(f"frame must be a numpy array, got {type(frame).__name__}")
        if frame.dtype != np.uint8:
            raise ValueError(f"frame must be a uint8 array, got {frame.dtype}")
        raw = self._open().process(frame, click_points(clicks))
        return np.frombuffer(raw, dtype=np.dtype(OBJECT_FIELDS)).copy()

    def destination(self) -> Any:
        """The procedure's output picture of the last frame, as a new array."""
        return self._open().destination()

    def profile(self) -> Dict[str, float]:
        """Stage times of the last frame in milliseconds, by stage name."""
        return dict(self._open().profile())

    def dialogue(self, replies: Union[str, Iterable[str]] = ()) -> str:
        """Answers the procedure's console dialogue (a list of lines, or one text with line
        breaks) and returns everything the dialogue wrote."""
        if not isinstance(replies, str):
            replies = "\n".join(str(line) for line in replies)
        return self._open().dialogue(replies)

    def reset(self) -> None:
        """Starts afresh, as a new instance with the same settings: what it learned from the
        frames so far (a background, its tracks) is forgotten."""
        values = self.values
        self._core = _ambrevo.Procedure(*self._shape)
        for name, value in values.items():
            self._core.set(name, float(value))

    def close(self) -> None:
        """Frees the instance; calls after it raise ValueError. Closing twice is harmless."""
        self._core = None

    def __enter__(self) -> "Procedure":
        """The Procedure itself, closed at the end of the `with` block."""
        return self

    def __exit__(self, *exc: Any) -> None:
        """Closes the Procedure."""
        self.close()

    def __repr__(self) -> str:
        """The procedure's name and settings."""
        if self._core is None:
            return f"<closed ambrevo.Procedure {self._shape[0]!r}>"
        return f"ambrevo.Procedure({self.name!r}, {self.values})"
