"""Track dark objects in video: the Ambrevo module's procedures from Python.

    import ambrevo
    p = ambrevo.Procedure("flowtrack", 640, 480, channels=3, BrojObjekata=3)
    objects = p.process(frame)          # numpy structured array, one row per object
    table = ambrevo.track("clip.mp4", BrojObjekata=3, tracks="t.csv")   # the program's pipeline

The work runs without the interpreter lock: separate Procedure objects and track() calls run
on separate threads at once. A Procedure shared by several threads serves them in turn.
"""

import itertools
import os

from . import _ambrevo

__version__ = _ambrevo.version
interface_version = _ambrevo.interface_version

__all__ = ["Procedure", "procedures", "track", "link", "OBJECT_FIELDS", "__version__"]

# Field names and types of one object, in the order of the module's records.
OBJECT_FIELDS = [("index", "<i4"), ("x", "<i4"), ("y", "<i4"), ("area", "<i4"),
                 ("vx", "<f4"), ("vy", "<f4"), ("points", "<i4"), ("selected", "<i4")]


def _numpy():
    try:
        import numpy
    except ImportError as e:  # the package imports without numpy; frames need it
        raise ImportError("ambrevo needs numpy for frames and objects (Debian: apt-get install python3-numpy)") from e
    return numpy


def procedures():
    """Names of the procedures the module offers, in registration order."""
    return list(_ambrevo.procedures())


_CASTS = {"int": int, "bool": bool, "float": float}


class Procedure:
    """One instance of a procedure, for frames of one size (others are adapted to).

    Settings are the procedure's own names (see describe()); keyword arguments set them
    at creation, `p.values` reads them, `p.set(name=value, ...)` changes them.
    """

    def __init__(self, name, width, height, channels=3, **values):
        self._core = _ambrevo.Procedure(str(name), int(width), int(height), int(channels))
        self._types = {d["name"]: d["type"] for d in self._core.describe()}
        self.set(**values)

    @property
    def name(self):
        return self._core.name

    def describe(self):
        """Every setting: name, type, value, lowest, highest, default and help."""
        table = self._core.describe()
        for row in table:
            cast = _CASTS[row["type"]]
            for key in ("value", "lowest", "highest", "default"):
                row[key] = cast(row[key])
        return table

    @property
    def values(self):
        return {row["name"]: row["value"] for row in self.describe()}

    def set(self, **values):
        """Changes settings by name; a refused value raises ValueError and changes nothing."""
        for name, value in values.items():
            kind = self._types.get(name)
            if kind is None:
                self._core.set(name, 0.0)  # the module's own message for an unknown name
            if isinstance(value, str):
                self._core.set_text(name, value)
                continue
            if kind == "int" and (isinstance(value, float) or not _is_integral(value)):
                raise ValueError(f"{name} must be an integer, got {value!r}")
            if kind == "bool" and not (isinstance(value, bool) or (_is_integral(value) and int(value) in (0, 1))):
                raise ValueError(f"{name} must be True or False, got {value!r}")
            if not _is_number(value):
                raise ValueError(f"{name} must be a number, got {value!r}")
            self._core.set(name, float(value))

    def process(self, frame, clicks=()):
        """Runs one frame (uint8, shape (h, w) or (h, w, 3), rows top first) and returns
        its objects as a structured array with the fields of OBJECT_FIELDS."""
        np = _numpy()
        if not isinstance(frame, np.ndarray):
            raise ValueError(f"frame must be a numpy array, got {type(frame).__name__}")
        if frame.dtype != np.uint8:
            raise ValueError(f"frame must be a uint8 array, got {frame.dtype}")
        pairs = [(int(x), int(y)) for x, y in clicks]
        raw = self._core.process(frame, pairs)
        return np.frombuffer(raw, dtype=np.dtype(OBJECT_FIELDS)).copy()

    def destination(self):
        """The procedure's output picture of the last frame, as a new array."""
        return self._core.destination()

    def profile(self):
        """Stage times of the last frame in milliseconds, by stage name."""
        return dict(self._core.profile())

    def dialogue(self, replies=()):
        """Answers the procedure's console dialogue (a list of lines, or one text with
        line breaks) and returns everything the dialogue wrote."""
        if not isinstance(replies, str):
            replies = "\n".join(str(line) for line in replies)
        return self._core.dialogue(replies)

    def __repr__(self):
        return f"ambrevo.Procedure({self.name!r}, {self.values})"


def _is_integral(value):
    try:
        return int(value) == value
    except (TypeError, ValueError, OverflowError):
        return False


def _is_number(value):
    try:
        float(value)
        return True
    except (TypeError, ValueError):
        return False


_MODULE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "Ambrevo.qorb")

# The program's exit statuses as the exceptions a Python user expects.
_FAILURES = {2: ValueError, 3: ValueError, 4: OSError, 130: KeyboardInterrupt, 143: KeyboardInterrupt}


def _words(option, value):
    """An option of the program as its command-line words; nothing for None or False."""
    if value is None or value is False:
        return []
    if value is True:
        return [option]
    if isinstance(value, (list, tuple)):
        return [word for item in value for word in _words(option, item)]
    return [option, os.fsdecode(value) if isinstance(value, (bytes, os.PathLike)) else str(value)]


def _setting(name, value):
    if isinstance(value, bool):
        value = int(value)
    return f"{name}={value}"


def track(source, procedure=None, frames=None, channels=3, clicks=None, roi=None, *, tracks=None,
          summary=None, plot=None, heatmap=None, video=None, link=None, animals=None, scale=None, unit=None,
          fps=None, start=None, end=None, settings=None, **values):
    """Runs `procedure` (None: the module's default) over `source` through the ambrevo
    program's own pipeline and returns every row of the track file as one structured array:
    frame, index, x, y, area, vx, vy, points, selected, then `arena` with `roi`, `track` and
    `missing` with `link`. For a procedure that measures shapes (procedure="crowd"), as in its
    track file, x and y are decimals (float64, to a thousandth of a pixel) and `intensity`,
    `orientation` and `elongation` follow `selected` (NaN on missing rows).

    `source` is what the program takes as its input (a video file, an image sequence
    "frames/%04d.png" or a folder, a camera "cam:0", a stream, "demo"), or an iterable of
    uint8 arrays of shape (h, w) or (h, w, 3). `frames`, `start` and `end` choose the frames as
    --frames, --start and --end do; `channels=1` hands grey frames over (--grey). `clicks` maps
    a frame number to a list of (x, y). Settings are keyword arguments (BinThreshold=100), after
    those of `settings`, a file the program's --settings-out wrote.

    The program's outputs, each optional: `tracks` (.csv or .json), `summary` (.csv), `plot`
    and `heatmap` (.png), `video` (.mp4 or .avi); `roi` (one region or a list, as --roi takes
    them), `animals`, `link` ("STEP[,MEM][,predict][,global]"), `scale` with `unit`, `fps`.
    The rows and files equal the program's on the same input and settings. A refused option
    or input raises ValueError, an output that cannot be written OSError, a failure of the
    procedure RuntimeError; the outputs then hold the frames done, marked partial."""
    np = _numpy()
    if isinstance(roi, (str, bytes, os.PathLike)):
        roi = [roi]
    arrays = None if isinstance(source, (str, bytes, os.PathLike)) else iter(source)
    grey = channels == 1
    if arrays is not None:
        first = next(arrays, None)
        grey = grey or (first is not None and np.ndim(first) == 2)
        arrays = itertools.chain([] if first is None else [first], arrays)
    words = [os.fsdecode(source) if arrays is None else "python-frames", "--quiet"]
    words += [] if procedure is None else ["--procedure", str(procedure)]
    for option, value in (("--frames", frames), ("--start", start), ("--end", end), ("--grey", grey),
                          ("--roi", roi), ("--scale", scale), ("--unit", unit), ("--fps", fps), ("--link", link),
                          ("--tracks", tracks), ("--summary", summary), ("--plot", plot), ("--heatmap", heatmap),
                          ("-o", video), ("--settings", settings)):
        words += _words(option, value)
    if animals is not None:
        words += ["--animals", ",".join(str(int(n)) for n in (animals if isinstance(animals, (list, tuple)) else [animals]))]
    for n, points in sorted((clicks or {}).items()):
        words += [word for x, y in points for word in ("--click", f"{int(n)}:{int(x)}:{int(y)}")]
    words += [word for name, value in values.items() for word in ("--set", _setting(name, value))]
    status, message, columns = _ambrevo.run(_MODULE, words, arrays)
    if status != 0:
        raise _FAILURES.get(status, RuntimeError)(message)
    # A procedure that measures shapes has decimal centres and three columns more, as its file.
    shaped = "intensity" in columns
    fields = ([("frame", "<i4")] + [(name, "<f8" if shaped and name in ("x", "y") else kind)
                                    for name, kind in OBJECT_FIELDS]
              + [(name, kind) for name, kind in (("intensity", "<f8"), ("orientation", "<f8"), ("elongation", "<f8"),
                                                 ("arena", "<i4"), ("track", "<i8"), ("missing", "?"))
                 if name in columns])
    table = np.empty(len(columns["frame"]), dtype=np.dtype(fields))
    for name, _ in fields:
        table[name] = columns[name]
    return table


def link(table, max_step, memory=0, predict=False, method="frames", animals=None):
    """Links the rows of `table` (a structured array with `frame`, `x` and `y` columns, such
    as `track` returns) into tracks, as `ambrevo --link MAX_STEP,MEMORY[,predict][,global]`
    does: no step longer than `max_step` pixels, a track unseen for up to `memory` frames
    keeps its identity.

    `method="frames"` links frame by frame, a globally optimal assignment between consecutive
    frames. `method="global"` links the whole table at once: pieces cut where two tracks come
    too close to tell apart, joined over the whole run by a minimum-cost flow; `animals` (one
    count, or one per arena for a table with an `arena` column, as `--animals N[,N...]`) then
    holds exactly that many tracks in each wherever the table allows it.

    Returns the rows ordered by frame with two more columns: `track` and `missing` (True on
    the rows added for each frame a track was not seen, at its last seen position, with the
    table's other columns zero). Frame by frame, a track that ends is missing for up to
    `memory` frames; over the whole run, only between two sightings."""
    np = _numpy()
    table = np.asarray(table)
    if table.dtype.names is None or not {"frame", "x", "y"} <= set(table.dtype.names):
        raise ValueError("link needs a structured array with frame, x and y columns")
    if method == "frames":
        if animals is not None:
            raise ValueError("animals needs method=\"global\"")
        columns = _ambrevo.link(table["frame"], table["x"], table["y"], float(max_step), int(memory), bool(predict))
    elif method == "global":
        counts = [] if animals is None else [animals] if _is_integral(animals) else list(animals)
        if any(not _is_integral(n) or n <= 0 for n in counts):
            raise ValueError("animals must be positive whole numbers, got %r" % (animals,))
        if len(counts) > 1 and "arena" not in table.dtype.names:
            raise ValueError("one count per arena needs the table's arena column")
        if len(counts) > 1:
            arena = np.asarray(table["arena"], dtype=np.int64)
            groups = np.where(arena > 0, arena - 1, len(counts))
        else:
            groups = np.zeros(len(table), dtype=np.int64)
        columns = _ambrevo.link_global(table["frame"], table["x"], table["y"], groups, float(max_step),
                                       int(memory), bool(predict), [int(n) for n in counts])
    else:
        raise ValueError("method must be \"frames\" or \"global\", got %r" % (method,))
    order, frame, track_id, x, y, missing = columns
    dtype = np.dtype(table.dtype.descr + [("track", "<i8"), ("missing", "?")])
    out = np.zeros(len(order), dtype=dtype)
    seen = order >= 0
    for name in table.dtype.names:
        out[name][seen] = table[name][order[seen]]
    out["frame"] = frame
    out["x"][~seen] = x[~seen]
    out["y"][~seen] = y[~seen]
    out["track"] = track_id
    out["missing"] = missing
    return out
