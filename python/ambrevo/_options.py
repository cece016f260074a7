"""The keyword arguments of track() and Tracker as the program's command-line words, checked
first in Python's own terms; and the program's messages told in those terms."""
from __future__ import annotations

import numbers
import os
import re
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

from . import _ambrevo

PathLike = Union[str, "os.PathLike[str]"]

# The program's option for each keyword argument that names a file or a folder, and Python's
# name for each of the program's options, for the messages: as the program declares them.
FILE_OPTIONS = tuple((python, option) for option, use, python in _ambrevo.options()
                     if use in ("input", "output", "folder"))
PYTHON_NAMES = {option: python for option, _, python in _ambrevo.options()}

_OPTION = re.compile(r"(?<![\w-])(--[a-z][a-z-]*|-o)(?![\w-])")


def python_words(message: str) -> str:
    """The program's message with Python's names for its options: `--set BinThreshold=90`
    becomes `BinThreshold=90`, `--frames` becomes `frames`."""
    message = re.sub(r"--set (\S+=)", r"\1", message)
    message = message.replace("--set NAME=VALUE", "NAME=VALUE")
    return _OPTION.sub(lambda m: PYTHON_NAMES.get(m.group(1), m.group(1)), message)


def _type_name(value: Any) -> str:
    return type(value).__name__


def is_sequence(value: Any) -> bool:
    """A list, tuple, numpy array or other sequence; not a text."""
    return not isinstance(value, (str, bytes, os.PathLike)) and (
        isinstance(value, Sequence) or hasattr(value, "__array__"))


def one_value(name: str, value: Any) -> Any:
    """Refuses a list where an option takes one value."""
    if is_sequence(value) or isinstance(value, (set, frozenset, Mapping)):
        raise TypeError(f"{name} takes one value, got the {_type_name(value)} {value!r}")
    return value


def whole(name: str, value: Any, lowest: int) -> int:
    one_value(name, value)
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a whole number, got {_type_name(value)} {value!r}")
    if value < lowest:
        raise ValueError(f"{name} must be {lowest} or more, got {value}")
    return int(value)


def positive(name: str, value: Any) -> float:
    one_value(name, value)
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a number, got {_type_name(value)} {value!r}")
    if not value > 0 or value == float("inf"):
        raise ValueError(f"{name} must be a positive number, got {value}")
    return float(value)


def path(name: str, value: Any) -> str:
    one_value(name, value)
    if not isinstance(value, (str, bytes, os.PathLike)):
        raise TypeError(f"{name} must be a file name, got {_type_name(value)} {value!r}")
    return os.fsdecode(value)


def text(name: str, value: Any) -> str:
    one_value(name, value)
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a text, got {_type_name(value)} {value!r}")
    return value


def link_text(value: Any) -> str:
    """`link` as the program takes it: "STEP[,MEM][,predict][,global]", or a number of pixels."""
    if is_sequence(value):
        raise TypeError(f"link takes one text such as \"15,5\" or \"15,5,predict\" (largest step in pixels, "
                        f"frames a track may go unseen, ...), got the {_type_name(value)} {value!r}")
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        return repr(float(value)) if not float(value).is_integer() else str(int(value))
    return text("link", value)


def animals_text(value: Any) -> str:
    """One count, or one per arena: any sequence of positive whole numbers."""
    counts = list(value) if is_sequence(value) else [value]
    for n in counts:
        if isinstance(n, bool) or not isinstance(n, numbers.Integral) or n <= 0:
            raise ValueError(f"animals must be a positive whole number or one per arena (such as [12, 12]), "
                             f"got {value!r}")
    if not counts:
        raise ValueError("animals is empty: give one count, or one per arena")
    return ",".join(str(int(n)) for n in counts)


def roi_words(value: Any) -> List[str]:
    regions = list(value) if is_sequence(value) else [value]
    return [word for region in regions for word in ("--roi", path("roi", region))]


def click_words(clicks: Any) -> List[str]:
    """`clicks` maps a frame number to the (x, y) clicked with it."""
    if not isinstance(clicks, Mapping):
        raise TypeError(f"clicks maps a frame number to a list of (x, y), such as {{0: [(320, 240)]}}; got the "
                        f"{_type_name(clicks)} {clicks!r}")
    words = []
    for frame, points in sorted(clicks.items()):
        n = whole("a frame of clicks", frame, 0)
        for x, y in click_points(points):
            words += ["--click", f"{n}:{x}:{y}"]
    return words


def click_points(points: Any) -> List[Tuple[int, int]]:
    """A list of (x, y) pixel positions, checked."""
    try:
        pairs = [(x, y) for x, y in points]
    except (TypeError, ValueError):
        raise TypeError(f"clicks must be (x, y) pairs such as [(320, 240)], got {points!r}") from None
    return [(whole("a click's x", x, 0), whole("a click's y", y, 0)) for x, y in pairs]


def setting_words(values: Mapping[str, Any]) -> List[str]:
    """The procedure's settings by name, as --set NAME=VALUE."""
    words = []
    for name, value in values.items():
        one_value(name, value)
        if isinstance(value, bool):
            value = int(value)
        elif not isinstance(value, (numbers.Real, str)):
            raise TypeError(f"{name} must be a number or a text, got {_type_name(value)} {value!r}")
        words += ["--set", f"{name}={value}"]
    return words


def channel_flag(channels: Optional[int]) -> Optional[bool]:
    """Whether frames go over as grey: True for 1, False for 3, None to follow the frames."""
    if channels is None:
        return None
    if isinstance(channels, bool) or channels not in (1, 3):
        raise ValueError(f"channels must be 1 (grey) or 3 (colour), got {channels!r}")
    return channels == 1


def option_words(procedure: Optional[str], options: Mapping[str, Any]) -> List[str]:
    """Every option given (not None) as the program's words."""
    words: List[str] = []
    if procedure is not None:
        words += ["--procedure", text("procedure", procedure)]
    checks = {"frames": lambda v: str(whole("frames", v, 1)), "start": lambda v: str(whole("start", v, 0)),
              "end": lambda v: str(whole("end", v, 1)), "max_pixels": lambda v: str(whole("max_pixels", v, 1)),
              "scale": lambda v: repr(positive("scale", v)), "fps": lambda v: repr(positive("fps", v)),
              "unit": lambda v: text("unit", v), "link": link_text, "animals": animals_text}
    for name, value in options.items():
        if value is None or value is False:
            continue
        if name in checks:
            words += ["--" + name.replace("_", "-"), checks[name](value)]
        elif name == "roi":
            words += roi_words(value)
        elif name == "clicks":
            words += click_words(value)
        elif name in ("strict", "profile"):
            words.append("--" + name)
        else:
            words += [dict(FILE_OPTIONS)[name], path(name, value)]
    if options.get("unit") is not None and options.get("scale") is None:
        raise ValueError(f"unit={options['unit']!r} needs scale, the pixels per {options['unit']}")
    return words


def source_word(source: Any) -> Optional[str]:
    """The input the program reads, or None for an iterable of frames."""
    if isinstance(source, (str, bytes, os.PathLike)):
        return os.fsdecode(source)
    if isinstance(source, Iterable) and not isinstance(source, Mapping):
        return None
    hint = f" (camera {source} is \"cam:{source}\")" if isinstance(source, numbers.Integral) else ""
    raise TypeError("source must be a video file, an image sequence such as \"frames/%04d.png\" or a folder, "
                    "a camera \"cam:0\", a stream address, \"demo\", or an iterable of frames; got "
                    f"{_type_name(source)} {source!r}{hint}")

