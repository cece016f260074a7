#!/usr/bin/env python3
"""Where a track file's identity switches come from, against the truth of a generated lab
scene: best on the procedure's own identities (a run without --link, whose `object` is the
crowd tracker's track).

    scripts/crowd_switches.py TRACKS.csv TRUTH.csv [--within PX] [--linked]

Per frame, true and reported centres are paired one to one, nearest first, within PX pixels
(default 5, the score's radius). A switch is a true animal paired with another track than the
one it was last paired with; it is told by where that track was on the frame before:
  found again   the track had no row on the frame before: a lost track given an object;
  swap          it was paired with another true animal: two tracks traded bodies;
  off           it had a row paired with no true animal: a part cut across animals, or off
                the body, that the track then followed onto this animal;
  new           the track's first row.
It prints the counts, with those whose track stepped more than 10 px to this animal apart
(a larva moves a few pixels a frame), and the steps' spread; and for the tracks found again
(every gap in a track's rows, switch or not) how far they were found from where they were
lost, against how many frames they were lost, and whether they were found on the animal they
had: the same, another, or none.
With --linked (a linked track file) the `track` column is the identity and missing rows are
left out.
A switch mostly starts where a track leaves the animal it was on (still in view). For those
departures it tells how far the track already lay from that animal the frame before (a body
fitted a little farther off each frame drifts, a wrong prediction jumps) and how many had a
body of the wrong size: a part's length (the body its track placed) against its animal's
true length off by more than a fifth from the run's median ratio; and of those, how many were
on another animal than the first their track was paired with (a body carried over a switch).
"""
import collections
import math
import statistics

from crowd_overlaps import arguments, matched, reported, rows


def lengths(path, identity):
    """Per (frame, identity), the row's length; of a track file's rows only the parts cut out of
    a blob (`split`), whose length is the body their track placed: a whole one's is measured."""
    return {(int(r["frame"]), int(r[identity])): float(r.get("length") or 0) for r in rows(path)
            if r.get("missing", "0") in ("0", "") and r.get("split", "1") != "0"}


def departures(paired, truth, found_length, true_length):
    """`paired`: per frame, {track: (true animal, distance)}. Prints how the departures came."""
    ratios = [found_length[f, t] / true_length[f, a] for f, p in paired.items() for t, (a, _) in p.items()
              if true_length.get((f, a)) and found_length.get((f, t))]
    usual = statistics.median(ratios or [1])

    def wrong(f, t, a):  # a round object, or a true animal without a length, tells nothing
        found, true = found_length.get((f, t)), true_length.get((f, a))
        return bool(found and true) and abs(found / true / usual - 1) > 0.2

    left, off, carried, rows_wrong, paired_rows, first = [], 0, 0, 0, 0, {}
    for f in sorted(paired):
        for t, (a, d) in paired.get(f - 1, {}).items():
            first.setdefault(t, a)
            paired_rows += 1
            rows_wrong += wrong(f - 1, t, a)
            if paired[f].get(t, (None,))[0] != a and any(b[2] == a for b in truth[f]):
                left.append(d)
                off += wrong(f - 1, t, a)
                carried += wrong(f - 1, t, a) and first[t] != a
    if not left:
        return
    print(f"departures: {len(left)}, off their animal the frame before by a median {statistics.median(left):.1f} px,",
          f"{sum(d >= 2 for d in left)} by 2 px or more; with a body of the wrong size {off}",
          f"({100 * off / len(left):.0f}%, against {100 * rows_wrong / max(paired_rows, 1):.1f}% of the paired rows),",
          f"{carried} of them on another animal than their track's first")


def main():
    a = arguments(__doc__, 5.0, "--linked")
    found, truth = reported(a.tracks, "track" if a.linked else "object"), reported(a.truth, "object")
    last = {}  # true animal -> track it was last paired with
    where = {}  # track -> (frame, x, y, true animal or None) of its last row
    kinds = collections.Counter()
    paired = {}  # frame -> {track: (true animal, distance)}
    gaps = []  # (distance, frames lost, "same" / "other" / "none")
    steps = []  # of the tracks switched to, from their last row
    for frame in sorted(truth):
        bodies, objects = truth[frame], found.get(frame, [])
        pairs = matched(bodies, objects, a.within)
        animal_of = {objects[j][2]: bodies[i][2] for i, (_, j) in pairs.items()}
        paired[frame] = {objects[j][2]: (bodies[i][2], d) for i, (d, j) in pairs.items()}
        for x, y, track in objects:
            now = animal_of.get(track)
            before = where.get(track)
            if before is not None and before[0] < frame - 1:
                lost = frame - before[0] - 1
                same = "none" if now is None or before[3] is None else "same" if now == before[3] else "other"
                gaps.append((math.hypot(x - before[1], y - before[2]), lost, same))
            if now is not None and last.get(now, track) != track:
                kind = ("new" if before is None else "found again" if before[0] < frame - 1 else
                        "off" if before[3] is None else "swap")
                step = 0 if before is None else math.hypot(x - before[1], y - before[2])
                kinds[kind + (" (a step over 10 px)" if step > 10 else "")] += 1
                steps.append(step)
            if now is not None:
                last[now] = track
            where[track] = (frame, x, y, now)
    print("switches:", sum(kinds.values()), ", ".join(f"{k} {n}" for k, n in kinds.most_common()))
    steps = sorted(steps) or [0]
    print("their steps from the last row, px: median", f"{steps[len(steps) // 2]:.1f}, 90%",
          f"{steps[len(steps) * 9 // 10]:.1f}, largest", ", ".join(f"{d:.0f}" for d in steps[-8:]))
    print("found again (every gap): frames lost | count | same animal | another | none | median px | max px")
    for low, high in ((1, 1), (2, 3), (4, 9), (10, 10**9)):
        g = [x for x in gaps if low <= x[1] <= high]
        if not g:
            continue
        d = sorted(x[0] for x in g)
        c = collections.Counter(x[2] for x in g)
        span = f"{low}" if low == high else f"{low}+" if high > 10**8 else f"{low}-{high}"
        print(f"{span} | {len(g)} | {c['same']} | {c['other']} | {c['none']} | {d[len(d) // 2]:.1f} | {d[-1]:.1f}")
    wrong = sorted((x for x in gaps if x[2] == "other"), reverse=True)
    print("found on another animal, farthest first (px, frames lost):",
          ", ".join(f"{d:.0f}/{n}" for d, n, _ in wrong[:12]))
    departures(paired, truth, lengths(a.tracks, "track" if a.linked else "object"), lengths(a.truth, "object"))


if __name__ == "__main__":
    main()
