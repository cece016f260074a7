"""track() and Tracker: the program's own pipeline over an input or over frames from Python."""
from __future__ import annotations

import itertools
import os
import sys
import threading
import warnings
from collections.abc import Sized
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Union

from . import _ambrevo
from ._options import (PathLike, channel_flag, click_points, link_text, option_words, python_words,
                       setting_words, source_word)
from ._progress import shown
from ._tables import numpy, table_of

_MODULE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "Ambrevo.qorb")

# The run's kinds of failure as the exceptions a Python user expects.
_FAILURES = {"usage": ValueError, "input": ValueError, "output": OSError, "interrupted": KeyboardInterrupt,
             "terminated": KeyboardInterrupt}
# The input's name in the outputs when the frames come from Python.
_FRAMES_INPUT = "python-frames"

Setting = Union[int, float, bool, str]


class AmbrevoWarning(UserWarning):
    """A remark of a run that is no failure, such as why it may have found nothing."""


def _failure(kind: str, message: str, cause: Optional[BaseException] = None) -> BaseException:
    """The exception for a run that failed as `kind`; the frames' own exception as its cause."""
    if cause is not None:
        error: BaseException = RuntimeError(message)
        error.__cause__ = cause
        return error
    return _FAILURES.get(kind, RuntimeError)(python_words(message))


def _warn(notices: Sequence[str]) -> None:
    for text in notices:
        warnings.warn(python_words(text), AmbrevoWarning, stacklevel=3)


_NO_FRAME = object()


def _frames(source: Iterable[Any]) -> Tuple[Any, Any, int]:
    """The iterator of the frames, its first frame, and how many there are (-1: unknown). An
    exception of the first frame is raised as a failure of frame 0."""
    total = len(source) if isinstance(source, Sized) else -1
    frames = iter(source)
    try:
        first = next(frames, _NO_FRAME)
    except Exception as e:
        raise _failure("input", f"frame 0: the frames' iterator raised {type(e).__name__}: {e}", e) from e
    if first is _NO_FRAME:
        raise ValueError("source gave no frames")
    return itertools.chain([first], frames), first, total


def _option_values(names: Sequence[str], given: Mapping[str, Any]) -> Dict[str, Any]:
    return {name: given[name] for name in names}


_OPTIONS = ("frames", "start", "end", "roi", "animals", "link", "scale", "unit", "fps", "clicks", "max_pixels",
            "strict", "profile", "tracks", "summary", "plot", "heatmap", "video", "dst", "windows", "console_log",
            "settings", "settings_out", "config")


def track(source: Union[PathLike, Iterable[Any]], procedure: Optional[str] = None, frames: Optional[int] = None,
          channels: Optional[int] = None, clicks: Optional[Mapping[int, Sequence[Tuple[int, int]]]] = None,
          roi: Union[PathLike, Sequence[PathLike], None] = None, *, start: Optional[int] = None,
          end: Optional[int] = None, animals: Union[int, Sequence[int], None] = None,
          link: Union[str, float, None] = None, scale: Optional[float] = None, unit: Optional[str] = None,
          fps: Optional[float] = None, tracks: Optional[PathLike] = None, summary: Optional[PathLike] = None,
          plot: Optional[PathLike] = None, heatmap: Optional[PathLike] = None, video: Optional[PathLike] = None,
          dst: Optional[PathLike] = None, windows: Optional[PathLike] = None, console_log: Optional[PathLike] = None,
          settings: Optional[PathLike] = None, settings_out: Optional[PathLike] = None,
          config: Optional[PathLike] = None, max_pixels: Optional[int] = None, strict: bool = False,
          profile: bool = False, progress: Any = None, as_frame: bool = False, **values: Setting) -> Any:
    """Runs `procedure` over `source` through the ambrevo program's own pipeline and returns
    every row of its track file: the same rows, and files byte for byte the same, as `ambrevo`
    gives on the same input and settings.

    `source` is what the program takes as its input (a video file, an image sequence
    "frames/%04d.png" or a folder, a camera "cam:0", a stream, "demo"), or an iterable of uint8
    arrays of shape (h, w) or (h, w, 3). `procedure` is one of procedures() (by default the
    program's, or that of `settings`). Its settings are keyword arguments (BinThreshold=100),
    applied after those of `settings` (a file `settings_out` wrote) and `config` (the
    dialogue's replies, one per line).

    The frames: `frames` (at most this many), `start` and `end` (input frame numbers from 0,
    the end not processed), `channels` (1: grey, 3: colour; by default grey for arrays of shape
    (h, w)), `max_pixels`, `strict` (a frame that cannot be decoded stops the run). `clicks` maps
    a frame number to the (x, y) clicked with it.

    Arenas, animals, tracks and units: `roi` (one region or a list: "rect:x,y,w,h",
    "circle:cx,cy,r", "polygon:x1,y1,...", a mask image), `animals` (one count, or one per
    arena), `link` ("STEP[,MEM][,predict][,global]"), `scale` (pixels per `unit`), `fps` (for
    `time_s` of image sequences and arrays). The outputs, each optional: `tracks` (.csv or
    .json), `summary` (.csv), `plot` and `heatmap` (.png), `video` (.mp4 or .avi), `dst` and
    `windows` (folders of PNG pictures), `console_log`, `settings_out`; `profile` prints the
    table of stage times.

    The rows are a numpy structured array, or a pandas DataFrame with `as_frame` (its
    `attrs["last_frame"]` the run's last frame, for link()). Columns as in the track file, the
    file's `object` named `index`: frame, index, x, y and the procedure's own, then `time_s`,
    `track` and `missing`, `arena`, and `x_<unit>`, `y_<unit>` where the run has them. frame,
    index and the other counts are int64, x, y and the measures float64 (NaN: unknown),
    `selected` and `missing` bool, whatever the procedure.

    `progress=True` shows a bar (tqdm's when installed, in a notebook its widget; else a line on
    standard error); a callable is called with the frames done, the frames expected (None when
    unknown) and the frames per second, and stops the run by returning False: the rows of the
    frames done are returned, the files marked partial ("cancelled").

    Ctrl-C stops the run within a frame: the files are closed as partial, as the program's, and
    KeyboardInterrupt is raised. A refused option or input raises ValueError or TypeError, an
    output that cannot be written OSError, a failure of the procedure RuntimeError, an exception
    of the frames' iterator RuntimeError with that exception as its __cause__; the outputs then
    hold the frames done, marked partial. Remarks such as why nothing was found are warnings
    (AmbrevoWarning)."""
    given = locals()
    input_word = source_word(source)
    grey = channel_flag(channels)
    arrays, total = None, -1
    if input_word is None:
        arrays, first, total = _frames(source)
        grey = numpy().ndim(first) == 2 if grey is None else grey
    words = option_words(procedure, _option_values(_OPTIONS, given)) + setting_words(values)
    words += (["--grey"] if grey else []) + ["--quiet", "--", input_word or _FRAMES_INPUT]
    report, finish = shown(progress)
    try:
        kind, message, rows, notices, raised, cancelled, last, stages = _ambrevo.run(
            _MODULE, words, arrays, total, report)
    finally:
        finish()
    _warn(notices)
    if stages:
        print(stages, end="", file=sys.stdout)
    if kind and not cancelled:
        raise _failure(kind, message, raised)
    return table_of(rows, as_frame, {"last_frame": last})


_TRACKER_OPTIONS = ("roi", "animals", "link", "scale", "unit", "fps", "max_pixels", "tracks", "summary", "plot",
                    "heatmap", "video", "dst", "windows", "console_log", "settings", "settings_out", "config")


class Tracker:
    """The program's pipeline over frames handed over one at a time from a loop of the caller's
    own (a camera, a microscope's API): each frame's rows come back at once, linked into tracks
    with `link`, in arenas with `roi`. On the same frames the rows are those track() gives.

        with ambrevo.Tracker("crowd", animals=12, link="15,5,predict", fps=30, tracks="t.csv") as tracker:
            for frame in camera:
                rows = tracker.process(frame)     # this frame's rows: frame, index, x, y, ..., track

    The keyword arguments are track()'s, less those that choose frames of an input; "global"
    linking, which waits for the end of the run, is refused (link the rows afterwards with
    link(method="global")). Outputs such as `tracks` are complete once close() (or the end of
    the `with` block) has returned; an exception that ends the block leaves them partial
    ("cancelled"). `channels` is as in track(): by default grey for frames of shape (h, w).
    """

    def __init__(self, procedure: Optional[str] = None, *, channels: Optional[int] = None,
                 roi: Union[PathLike, Sequence[PathLike], None] = None,
                 animals: Union[int, Sequence[int], None] = None, link: Union[str, float, None] = None,
                 scale: Optional[float] = None, unit: Optional[str] = None, fps: Optional[float] = None,
                 max_pixels: Optional[int] = None, tracks: Optional[PathLike] = None,
                 summary: Optional[PathLike] = None, plot: Optional[PathLike] = None,
                 heatmap: Optional[PathLike] = None, video: Optional[PathLike] = None,
                 dst: Optional[PathLike] = None, windows: Optional[PathLike] = None,
                 console_log: Optional[PathLike] = None, settings: Optional[PathLike] = None,
                 settings_out: Optional[PathLike] = None, config: Optional[PathLike] = None,
                 as_frame: bool = False, **values: Setting):
        """Checks the options; the run starts with the first frame (whose shape chooses grey or
        colour when `channels` is not given)."""
        if link is not None and "global" in link_text(link).split(",")[1:]:
            raise ValueError(f"link={link!r}: global linking waits for the end of the run, and a Tracker gives "
                             "each frame's rows at once; link frame by frame here (\"15,5,predict\") and the rows "
                             "afterwards with ambrevo.link(rows, ..., method=\"global\") if need be")
        self._words = option_words(procedure, _option_values(_TRACKER_OPTIONS, locals())) + setting_words(values)
        self._grey = channel_flag(channels)
        self._as_frame = as_frame
        self._core: Any = None
        self._closed = False
        self._done = 0
        self._turn = threading.Lock()  # frames from several threads are taken one at a time

    def process(self, frame: Any, time: Optional[float] = None, clicks: Sequence[Tuple[int, int]] = ()) -> Any:
        """Runs one frame (uint8, shape (h, w) or (h, w, 3)) and returns its rows, as track()
        returns rows: a structured array, or a DataFrame with `as_frame`. `time` is the frame's
        time in seconds (its `time_s` when no `fps` was given); `clicks` are (x, y) positions
        clicked on it. Frames are numbered from 0 in the order they come."""
        with self._turn:
            if self._closed:
                raise ValueError("the Tracker was closed")
            if self._core is None:
                self._start(frame)
            try:
                rows = self._core.push(frame, -1.0 if time is None else float(time), click_points(clicks))
            except KeyboardInterrupt:
                self._closed = True
                raise
        if rows is None:
            self.close()
            raise RuntimeError("the run ended before this frame")
        return table_of(rows, self._as_frame)

    def _start(self, frame: Any) -> None:
        grey = numpy().ndim(frame) == 2 if self._grey is None else self._grey
        words = self._words + (["--grey"] if grey else []) + ["--quiet", "--threads", "1", "--", _FRAMES_INPUT]
        core = _ambrevo.LiveRun()
        kind, message = core.start(_MODULE, words)
        if kind:
            self._closed = True
            raise _failure(kind, message)
        self._core = core

    @property
    def frames(self) -> int:
        """The frames processed so far."""
        return self._done if self._core is None else self._core.frames

    def close(self, cancel: bool = False) -> None:
        """Ends the run: its outputs are written and closed, complete (or with `cancel`,
        partial). A failure of the run raises as in track(). Closing twice is harmless."""
        self._finish(cancel)

    def _finish(self, cancel: bool) -> None:
        with self._turn:
            self._closed = True
            core, self._core = self._core, None
        if core is None:
            return
        kind, message, notices = core.close(cancel)
        self._done = core.frames
        _warn(notices)
        if kind and not cancel:
            raise _failure(kind, message)

    def __enter__(self) -> "Tracker":
        """The Tracker itself, closed at the end of the `with` block."""
        return self

    def __exit__(self, kind: Any, error: Any, trace: Any) -> None:
        """Closes the Tracker: its outputs complete, or partial when an exception ends the block."""
        self._finish(cancel=kind is not None)

    def __del__(self) -> None:
        """A Tracker that was not closed closes now, with a ResourceWarning."""
        if getattr(self, "_core", None) is not None:
            warnings.warn("a Tracker was not closed; its outputs are closed now", ResourceWarning, stacklevel=2)
            try:
                self._finish(cancel=False)
            except Exception:
                pass
