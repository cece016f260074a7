#!/usr/bin/env python3
"""Why animals lying in heaps get no reported centre near them, from a track file and the
truth of a generated lab scene.

    scripts/crowd_heaps.py TRACKS.csv TRUTH.csv [--within PX] [--linked]

Each true position is put in the group of its heap (the truth's cluster: alone, pairs, 3-4,
5 or more animals together). Per frame, true and reported centres are paired one to one,
nearest first, within PX pixels (default 5, the score's radius); every reported row counts
(the detector's objects, those no track took included) unless --linked, which keeps the rows
of a track, as `ambrevo score` does. Each unpaired true animal is told by the reported object
nearest it, within one body length:
  whole        an object not cut out of a blob: the blob was taken for one animal (or for
               fewer than it holds: its count);
  off-centre   its midline lies along this animal (its points within 2 px of the animal's
               midline on average), but its centre is farther than PX: a body shorter or
               longer than the animal, or slid along it;
  across       a midline that lies along no one animal: over two of them, or between;
  round        an object without a midline cut out of a blob;
  nothing      no reported object within a body length.
"""
import collections
import math

from crowd_overlaps import arguments, pair, rows

GROUPS = ("alone", "pairs", "heaps of 3-4", "heaps of 5+")


def midline(r):
    try:
        return [(float(r[f"m{i}_x"]), float(r[f"m{i}_y"])) for i in range(11)]
    except (KeyError, TypeError, ValueError):  # no midline: a round or compact object
        return []


def group(cluster):
    return GROUPS[0] if cluster <= 1 else GROUPS[1] if cluster == 2 else GROUPS[2] if cluster <= 4 else GROUPS[3]


def along(points, line):
    """Mean distance of `points` to the polyline `line`."""
    def to_segment(p, a, b):
        dx, dy = b[0] - a[0], b[1] - a[1]
        t = max(0.0, min(1.0, ((p[0] - a[0]) * dx + (p[1] - a[1]) * dy) / max(dx * dx + dy * dy, 1e-12)))
        return math.hypot(p[0] - a[0] - t * dx, p[1] - a[1] - t * dy)
    return sum(min(to_segment(p, line[i], line[i + 1]) for i in range(len(line) - 1)) for p in points) / len(points)


def why(animal, objects):
    (x, y), line, length = animal
    near = [o for o in objects if math.hypot(o[0][0] - x, o[0][1] - y) <= length]
    if not near:
        return "nothing"
    centre, shape, cut = min(near, key=lambda o: math.hypot(o[0][0] - x, o[0][1] - y))
    if not cut:
        return "whole"
    if not shape:
        return "round"
    return "off-centre" if along(shape, line) < 2 else "across"


def main():
    a = arguments(__doc__, 5.0, "--linked")
    found = collections.defaultdict(list)
    for r in rows(a.tracks):
        if r.get("missing", "0") not in ("0", "") or (a.linked and r.get("track", "0") == "-1"):
            continue
        found[int(r["frame"])].append(((float(r["x"]), float(r["y"])), midline(r), r.get("split") == "1"))
    true = collections.defaultdict(list)
    for r in rows(a.truth):
        true[int(r["frame"])].append((((float(r["x"]), float(r["y"])), midline(r), float(r["length"])), int(r["cluster"])))
    tally = {g: collections.Counter() for g in GROUPS}
    for frame, animals in true.items():
        objects = found.get(frame, [])
        paired = pair([t[0][0] for t in animals], [o[0] for o in objects], a.within)
        for i, (animal, cluster) in enumerate(animals):
            t = tally[group(cluster)]
            t["animals"] += 1
            t["found" if i in paired else why(animal, objects)] += 1
    print(f"| heap | animal-frames | found within {a.within:g} px | whole | off-centre | across | round | nothing |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for g in GROUPS:
        t = tally[g]
        if t["animals"]:
            share = [f"{100 * t[k] / t['animals']:.1f}%" for k in ("found", "whole", "off-centre", "across", "round", "nothing")]
            print(f"| {g} | {t['animals']} | " + " | ".join(share) + " |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
