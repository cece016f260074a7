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


def reported(path):
    frames = collections.defaultdict(list)
    for r in rows(path):
        if r.get("missing", "0") not in ("0", ""):
            continue
        frames[int(r["frame"])].append((float(r["x"]), float(r["y"])))
    return frames


def group(r):
    contact, shared = int(r["contact"]), float(r["shared"])
    if contact == 0:
        return "alone"
    if contact == 1:
        return "touching"
    return "overlapping up to half" if shared <= 0.5 else "overlapping more"


def distances(tracks, truth):
    """Per group, the distance of each true position to the reported centre paired with it."""
    true = collections.defaultdict(list)
    for r in rows(truth):
        true[int(r["frame"])].append((float(r["x"]), float(r["y"]), group(r)))
    out = collections.defaultdict(list)
    for frame, bodies in true.items():
        found = tracks.get(frame, [])
        pairs = sorted((math.hypot(bx - fx, by - fy), i, j)
                       for i, (bx, by, _) in enumerate(bodies) for j, (fx, fy) in enumerate(found))
        paired, used = {}, set()
        for d, i, j in pairs:
            if d <= GATE and i not in paired and j not in used:
                paired[i] = d
                used.add(j)
        for i, body in enumerate(bodies):
            out[body[2]].append(paired.get(i, math.inf))
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tracks")
    parser.add_argument("truth")
    parser.add_argument("--within", type=float, default=2.0)
    parser.add_argument("--share", action="store_true")
    a = parser.parse_args()
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
