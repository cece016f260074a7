"""Rows as tables: the track file's columns in types that do not change with the procedure, as
a numpy structured array or a pandas DataFrame, and linking such rows into tracks."""
from __future__ import annotations

from typing import Any, Dict, Mapping, Optional, Sequence, Tuple, Union

from . import _ambrevo
from ._options import is_sequence

# The module's record: zero on the rows of tracks that were not seen.
RECORD_COLUMNS = ("area", "vx", "vy", "points", "appearances", "selected")
# One value per frame, the same on every row of the frame.
FRAME_COLUMNS = ("time_s", "t_capture", "t_done")
# Posture columns that say "unknown" with -1, as on the rows of tracks that were not seen.
_UNKNOWN_AS_MINUS_ONE = ("head", "split")
# The animals' looks that tell identities apart, as the track file names them.
_LOOKS = ("area", "intensity", "elongation", "length", "width", "texture", "head", "split")
_GREY = tuple(f"grey{k}" for k in range(11))
# The columns after the procedure's own, before which `track` and `missing` come.
_LATER_COLUMNS = ("arena", "t_capture", "t_done")


def numpy():
    try:
        import numpy as np
    except ImportError as e:  # the package imports without numpy; frames and tables need it
        raise ImportError("ambrevo needs numpy for frames and tables (Debian: apt-get install python3-numpy)") from e
    return np


def pandas():
    try:
        import pandas as pd
    except ImportError as e:
        raise ImportError("tables as DataFrames need pandas (Debian: apt-get install python3-pandas; "
                          "pip: pip install pandas)") from e
    return pd


def table_of(rows: Any, as_frame: bool, attrs: Optional[Dict[str, Any]] = None):
    """A run's rows, a structured array typed as the extension types them, as they are or as a
    DataFrame with `attrs`."""
    return make_table({name: rows[name] for name in rows.dtype.names}, True, attrs) if as_frame else rows


def make_table(columns: Mapping[str, Any], as_frame: bool, attrs: Optional[Dict[str, Any]] = None):
    """The columns as one structured array, or as a DataFrame with `attrs`."""
    np = numpy()
    if as_frame:
        frame = pandas().DataFrame({name: np.asarray(values) for name, values in columns.items()})
        frame.attrs.update(attrs or {})
        return frame
    n = len(next(iter(columns.values()))) if columns else 0
    table = np.empty(n, dtype=np.dtype([(name, np.asarray(values).dtype) for name, values in columns.items()]))
    for name, values in columns.items():
        table[name] = values
    return table


def columns_of(table: Any) -> Tuple[Dict[str, Any], bool]:
    """A table's columns by name, and whether it is a DataFrame."""
    np = numpy()
    if hasattr(table, "columns") and hasattr(table, "to_numpy") and hasattr(table, "attrs"):
        return {str(name): table[name].to_numpy() for name in table.columns}, True
    if isinstance(table, Mapping):
        return {str(name): np.asarray(values) for name, values in table.items()}, False
    array = np.asarray(table)
    if array.dtype.names is None:
        raise TypeError("a table is a structured array (as track() returns), a pandas DataFrame or a dict of "
                        f"columns; got an array of {array.dtype}")
    return {name: array[name] for name in array.dtype.names}, False


def to_frame(table: Any) -> Any:
    """The rows as a pandas DataFrame, one column per field: a structured array as track() and
    link() return, or a dict of columns. A DataFrame comes back as it is."""
    columns, is_frame = columns_of(table)
    return table if is_frame else make_table(columns, True)


def _track_position(names: Sequence[str]) -> int:
    """Where `track` and `missing` go among the columns, as in the track file: after `time_s`,
    else before the arena, units and live times."""
    if "time_s" in names:
        return list(names).index("time_s") + 1
    for i, name in enumerate(names):
        if name in _LATER_COLUMNS or _is_unit(name, names):
            return i
    return len(names)


def _is_unit(name: str, names: Sequence[str]) -> bool:
    return len(name) > 2 and name[:2] in ("x_", "y_") and {"x_" + name[2:], "y_" + name[2:]} <= set(names)


def _carried(values, track, seen):
    """Each missing row's value of its track's last row seen before it (rows in frame order)."""
    np = numpy()
    n = len(values)
    order = np.lexsort((np.arange(n), track))
    last = np.maximum.accumulate(np.where(seen[order], np.arange(n), -1))
    same = (last >= 0) & (track[order][np.maximum(last, 0)] == track[order])
    out = values.copy()
    out[order] = np.where(same & ~seen[order], values[order][np.maximum(last, 0)], values[order])
    return out


def _frame_values(frames, values, seen):
    """A value of the frame on each missing row: the frame's own where a row of it was seen, else
    frame / rate where every known value is that, else drawn along the known ones."""
    np = numpy()
    known = seen & ~np.isnan(values)
    at, first = np.unique(frames[known], return_index=True)
    got = values[known][first]
    want = frames[~seen].astype(np.float64)
    if len(at) == 0:
        return np.full(len(want), np.nan)
    rates, counts = np.unique(at[got > 0] / got[got > 0], return_counts=True)
    if len(rates) and np.array_equal(at / rates[np.argmax(counts)], got):
        return want / rates[np.argmax(counts)]
    out = np.interp(want, at, got)
    if len(at) > 1:
        step = (got[-1] - got[-2]) / (at[-1] - at[-2])
        later = want > at[-1]
        out[later] = got[-1] + (want[later] - at[-1]) * step
    return out


def _pixels_per_unit(x, in_units):
    """The pixels per unit the unit column was made with: the ratio most rows give."""
    np = numpy()
    usable = (in_units != 0) & np.isfinite(in_units)
    ratios, counts = np.unique(x[usable] / in_units[usable], return_counts=True)
    return ratios[np.argmax(counts)] if len(ratios) else np.nan


def _missing_default(name: str, kind):
    np = numpy()
    if name in _UNKNOWN_AS_MINUS_ONE:
        return -1
    if name in RECORD_COLUMNS or kind.kind in "iub":
        return 0
    return np.nan


def linked_columns(columns: Dict[str, Any], linked: Tuple[Any, ...]) -> Dict[str, Any]:
    """The table's rows in the linker's order, with the rows of tracks not seen (at their last
    position, index -1, their track's arena, the frame's time, NaN where nothing is known) and
    `track` and `missing` where the track file has them."""
    np = numpy()
    order, frame, track, x, y, missing = linked
    seen = order >= 0
    out: Dict[str, Any] = {}
    for name, values in columns.items():
        column = np.empty(len(order), dtype=values.dtype)
        column[seen] = values[order[seen]]
        column[~seen] = _missing_default(name, values.dtype)
        out[name] = column
    out["frame"] = frame.astype(columns["frame"].dtype)
    out["x"][~seen], out["y"][~seen] = x[~seen], y[~seen]
    if "index" in out:
        out["index"][~seen] = -1
    if "arena" in out:
        out["arena"] = _carried(out["arena"], track, seen)
    for name in FRAME_COLUMNS:
        if name in out and out[name].dtype.kind == "f":
            out[name][~seen] = _frame_values(frame, out[name], seen)
    for name in out:
        if _is_unit(name, list(out)) and out[name].dtype.kind == "f":
            position = out["x" if name.startswith("x_") else "y"]
            out[name][~seen] = position[~seen] / _pixels_per_unit(position[seen], out[name][seen])
    names = list(out)
    at = _track_position(names)
    ordered = [(n, out[n]) for n in names[:at]] + [("track", track.astype(np.int64)), ("missing", missing.astype(bool))]
    return dict(ordered + [(n, out[n]) for n in names[at:]])


def _groups(columns: Dict[str, Any], counts: Sequence[int]):
    """Each row's group for the whole-run linker: its arena's (never linked across arenas), the
    rows outside every arena a group after them."""
    np = numpy()
    if "arena" not in columns:
        if len(counts) > 1:
            raise ValueError("one count per arena needs the table's arena column (track(..., roi=...))")
        return np.zeros(len(columns["frame"]), dtype=np.int64)
    arena = np.asarray(columns["arena"], dtype=np.int64)
    outside = max(len(counts), int(arena.max()) if len(arena) else 0)
    return np.where(arena > 0, arena - 1, outside)


def _counts(animals: Any) -> list:
    counts = [] if animals is None else list(animals) if is_sequence(animals) else [animals]
    for n in counts:
        if isinstance(n, bool) or not float(n).is_integer() or n <= 0:
            raise ValueError(f"animals must be positive whole numbers, got {animals!r}")
    return [int(n) for n in counts]


def link(table: Any, max_step: float, memory: int = 0, predict: bool = False, method: str = "frames",
         animals: Union[int, Sequence[int], None] = None, last_frame: Optional[int] = None) -> Any:
    """Links the rows of `table` into tracks, as `ambrevo --link MAX_STEP,MEMORY[,predict][,global]`
    does: no step longer than `max_step` pixels, a track unseen for up to `memory` frames keeps
    its identity; with `predict`, from where its last velocity would have taken it.

    `table` is what track() returns (a structured array or a DataFrame), or any table with
    `frame`, `x` and `y` columns; rows linked before are linked afresh (their `track` and
    `missing` rows are dropped first). The result has the table's kind and columns, ordered by
    frame, with `track` and `missing` where the track file has them, and a row for each frame a
    track was not seen: at its last position, `index` -1, its track's `arena` and the frame's
    time, the module's record columns zero and the measures NaN. On the rows of one track() run
    it equals `track(..., link=...)` row for row.

    `method="frames"` links frame by frame, a globally optimal assignment between consecutive
    frames; a track that ends is missing for up to `memory` frames, up to `last_frame` (the
    run's last frame: by default the table's, or the DataFrame's `attrs["last_frame"]`).
    `method="global"` links the whole table at once: pieces cut where two tracks come too close
    to tell apart, joined over the whole run by a minimum-cost flow; missing rows fill only the
    gaps between two sightings. `animals` (one count, or one per arena for a table with an
    `arena` column, as `--animals N[,N...]`) then holds exactly that many tracks in each
    wherever the table allows it. Rows of different arenas are never linked together."""
    np = numpy()
    columns, is_frame = columns_of(table)
    if "missing" in columns:
        kept = ~np.asarray(columns["missing"], dtype=bool)
        columns = {name: values[kept] for name, values in columns.items()}
    columns = {name: values for name, values in columns.items() if name not in ("track", "missing", "confidence")}
    if not {"frame", "x", "y"} <= set(columns):
        raise ValueError(f"link needs a table with frame, x and y columns; it has {', '.join(columns) or 'none'}")
    step, memory = float(max_step), int(memory)
    frames = np.asarray(columns["frame"], dtype=np.int64)
    x, y = (np.asarray(columns[c], dtype=np.float64) for c in ("x", "y"))
    counts = _counts(animals)
    sure = None  # each row's confidence in its identity, where the looks gave identities
    if method == "frames":
        if counts:
            raise ValueError("animals needs method=\"global\"")
        if last_frame is None and is_frame:
            last_frame = table.attrs.get("last_frame")
        linked = _ambrevo.link(frames, x, y, step, memory, bool(predict), last_frame)
    elif method == "global" and counts and "width" in columns:
        linked, sure = _identified(columns, frames, x, y, step, memory, bool(predict), counts)
    elif method == "global":
        linked = _ambrevo.link_global(frames, x, y, _groups(columns, counts), step, memory, bool(predict), counts)
    else:
        raise ValueError(f"method must be \"frames\" or \"global\", got {method!r}")
    out = linked_columns(columns, linked)
    if sure is not None:
        out = _with_confidence(out, sure)
    return make_table(out, is_frame, dict(table.attrs) if is_frame else None)


def _identified(columns: Dict[str, Any], frames, x, y, step: float, memory: int, predict: bool, counts: list):
    """link(method="global", animals=...) of a table that carries the animals' looks: the linked
    columns, whose tracks are the identities learned from the looks, and each linked row's
    confidence (NaN on missing rows)."""
    np = numpy()
    looks = {name: np.ascontiguousarray(columns[name], dtype=np.float64) for name in _LOOKS if name in columns}
    if all(name in columns for name in _GREY):
        looks["grey"] = np.ascontiguousarray(np.stack([columns[g] for g in _GREY], axis=1), dtype=np.float64).reshape(-1)
    linked, confidence = _ambrevo.link_identities(frames, x, y, _groups(columns, counts), looks, step, memory, predict,
                                                  counts)
    order = linked[0]
    seen = order >= 0
    sure = np.full(len(order), np.nan)
    sure[seen] = confidence[order[seen]]
    return linked, sure


def _with_confidence(columns: Dict[str, Any], confidence) -> Dict[str, Any]:
    """The columns with `confidence` where the track file puts it: right after `missing`."""
    names = list(columns)
    at = names.index("missing") + 1 if "missing" in names else len(names)
    return dict([(n, columns[n]) for n in names[:at]] + [("confidence", confidence)] +
                [(n, columns[n]) for n in names[at:]])
