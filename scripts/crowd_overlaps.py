#!/usr/bin/env python3
"""How close a track file's centres come to the truth of a generated lab scene, by how the
true bodies meet: alone, touching, overlapping another by up to half of the body, or by more.

    scripts/crowd_overlaps.py TRACKS.csv TRUTH.csv [--within PX]

Per frame, true and reported centres up to 10 px apart are paired one to one, nearest first.
For each group it prints the positions, the share paired within PX pixels (default 2) and the
median and 90th percentile distances (an unpaired position counts as farther than any). With --share it prints only
the share within PX of the bodies that overlap another by up to half: one number for a table.
"""
import argparse
import collections
import csv
import math
import sys

GATE = 10.0  # pixels: farther than this, a reported centre is not this body's


def rows(path):
    with open(path, newline="") as f:
        yield from csv.DictReader(line for line in f if not line.startswith("#"))


def reported(path, identity=None):
    """Per frame, (x, y) of each row but the missing ones, with its `identity` column third if named."""
    frames = collections.defaultdict(list)
    for r in rows(path):
        if r.get("missing", "0") not in ("0", ""):
            continue
        frames[int(r["frame"])].append((float(r["x"]), float(r["y"])) + ((int(r[identity]),) if identity else ()))
    return frames


def group(r):
    contact, shared = int(r["contact"]), float(r["shared"])
    if contact == 0:
        return "alone"
    if contact == 1:
        return "touching"
    return "overlapping up to half" if shared <= 0.5 else "overlapping more"


def matched(bodies, found, gate):
    """True and reported centres ((x, y) first in each) paired one to one, nearest first, up
    to `gate` apart: per paired true index, its distance and the reported index."""
    pairs = sorted((math.hypot(b[0] - f[0], b[1] - f[1]), i, j)
                   for i, b in enumerate(bodies) for j, f in enumerate(found))
    paired, used = {}, set()
    for d, i, j in pairs:
        if d <= gate and i not in paired and j not in used:
            paired[i] = (d, j)
            used.add(j)
    return paired


def pair(bodies, found, gate):
    """matched(), per paired true index only its distance."""
    return {i: d for i, (d, _) in matched(bodies, found, gate).items()}


def distances(tracks, truth):
    """Per group, the distance of each true position to the reported centre paired with it."""
    true = collections.defaultdict(list)
    for r in rows(truth):
        true[int(r["frame"])].append((float(r["x"]), float(r["y"]), group(r)))
    out = collections.defaultdict(list)
    for frame, bodies in true.items():
        paired = pair(bodies, tracks.get(frame, []), GATE)
        for i, body in enumerate(bodies):
            out[body[2]].append(paired.get(i, math.inf))
    return out


def arguments(doc, within, switch):
    """The command line of a script comparing a track file with a scene's truth: the two
    files, --within PX (default `within`) and the on/off option `switch`."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("tracks")
    parser.add_argument("truth")
    parser.add_argument("--within", type=float, default=within)
    parser.add_argument(switch, action="store_true")
    return parser.parse_args()


def main():
    a = arguments(__doc__, 2.0, "--share")
    by_group = distances(reported(a.tracks), a.truth)
    if a.share:
        d = by_group.get("overlapping up to half", [])
        print(f"{sum(x <= a.within for x in d) / len(d):.3f}" if d else "-")
        return 0
    for name in ("alone", "touching", "overlapping up to half", "overlapping more"):
        d = sorted(by_group.get(name, []))
        if not d:
            continue
        within = sum(x <= a.within for x in d) / len(d)
        median, high = d[len(d) // 2], d[int(0.9 * (len(d) - 1))]
        print(f"{name}: {len(d)} positions, {100 * within:.1f}% within {a.within:g} px, "
              f"median {median:.2f} px, 90% {high:.2f} px".replace("inf px", f"over {GATE:g} px"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
