"""Track dark objects in video: the Ambrevo module's procedures from Python.

    import ambrevo
    p = ambrevo.Procedure("flowtrack", 640, 480, channels=3, BrojObjekata=3)
    objects = p.process(frame)          # numpy structured array, one row per object
    table = ambrevo.track("clip.mp4", BrojObjekata=3)   # every frame, with a frame column

The work runs without the interpreter lock: separate Procedure objects may run on
separate threads. One Procedure is used by one thread at a time.
"""

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


def _frames_from(source, channels):
    """Frames of a video file, an image sequence (printf pattern or folder) or an
    iterable of arrays, as uint8 arrays of the requested channels."""
    np = _numpy()
    if isinstance(source, (str, bytes)) or hasattr(source, "__fspath__"):
        import os
        try:
            import cv2
        except ImportError as e:
            raise ImportError("reading video files needs OpenCV's Python module "
                              "(Debian: apt-get install python3-opencv); pass a list of arrays instead") from e
        path = os.fspath(source)
        if isinstance(path, bytes):
            path = path.decode()
        if os.path.isdir(path):
            exts = (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".pgm", ".ppm", ".webp")
            names = sorted(n for n in os.listdir(path) if n.lower().endswith(exts))
            for n in names:
                image = cv2.imread(os.path.join(path, n), cv2.IMREAD_COLOR if channels == 3 else cv2.IMREAD_GRAYSCALE)
                if image is None:
                    raise ValueError(f"cannot read image {os.path.join(path, n)}")
                yield image
            return
        if "%" not in path and not os.path.exists(path):
            raise ValueError(f"no such file: {path}")
        capture = cv2.VideoCapture(path)
        if not capture.isOpened():
            raise ValueError(f"cannot open video {path}")
        try:
            while True:
                ok, image = capture.read()
                if not ok:
                    break
                if channels == 1 and image.ndim == 3:
                    image = cv2.cvtColor(image, cv2.COLOR_BGR2GRAY)
                yield image
        finally:
            capture.release()
        return
    for image in source:
        yield np.asarray(image)


def track(source, procedure="flowtrack", frames=None, channels=3, clicks=None, roi=None, **values):
    """Runs `procedure` over every frame of `source` (video file, image sequence, or a
    list/iterator of arrays) and returns all objects as one structured array with a
    leading `frame` column. `clicks` maps a frame number to a list of (x, y).

    `roi` is one region or a list of them, as `ambrevo --roi` takes them ("rect:x,y,w,h",
    "circle:cx,cy,r", "polygon:x1,y1,...", or the path of a mask image): every frame is
    painted outside them with its background brightness before the procedure sees it, by
    the host's own code, and each row gets the `arena` (1, 2, ...) it lies in."""
    np = _numpy()
    if isinstance(roi, (str, bytes)) or hasattr(roi, "__fspath__"):
        roi = [roi]
    import os
    specs = [os.fsdecode(r) for r in roi] if roi else []
    fields = [("frame", "<i4")] + OBJECT_FIELDS + ([("arena", "<i4")] if specs else [])
    dtype = np.dtype(fields)
    rows = []
    p = None
    arenas = None
    for n, frame in enumerate(_frames_from(source, channels)):
        if frames is not None and n >= frames:
            break
        if p is None:
            c = 1 if frame.ndim == 2 else frame.shape[2]
            if specs:
                arenas = _ambrevo.Arenas(specs, frame.shape[1], frame.shape[0])
            p = Procedure(procedure, frame.shape[1], frame.shape[0], channels=c, **values)
        if arenas is not None:
            frame = arenas.paint(frame)
        objects = p.process(frame, (clicks or {}).get(n, ()))
        block = np.empty(len(objects), dtype=dtype)
        block["frame"] = n
        for name, _ in OBJECT_FIELDS:
            block[name] = objects[name]
        if arenas is not None:
            block["arena"] = [arenas.arena_of(float(x), float(y)) for x, y in zip(objects["x"], objects["y"])]
        rows.append(block)
    return np.concatenate(rows) if rows else np.empty(0, dtype=dtype)


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
