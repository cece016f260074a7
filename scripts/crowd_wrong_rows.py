#!/usr/bin/env python3
"""How many rows of a track file carry another animal's identity, against the truth of a
generated lab scene, by how the true body met others on that frame (alone, touching,
overlapping): where the identity pass gives the rows of a contact to the animals on either side,
a turn on the wrong frame shows up as wrong rows in contact.

    scripts/crowd_wrong_rows.py TRACKS.csv TRUTH.csv [--within PX] [--column NAME]

Per frame, true and reported centres are paired one to one, nearest first, within PX pixels
(default 5, the score's radius). Each true animal's identity is the one it was paired with most
often; a paired row of another identity is wrong. NAME is the identity column (default
`track`; `object` for the identity tool's files); rows with a negative identity, missing rows
and identities from 1000000 on (objects no animal took) are left out. Prints one line:
paired rows, wrong rows, and the wrong rows alone / touching / overlapping.
"""
import argparse
import collections

from crowd_overlaps import matched, rows

STRAY = 1000000  # the identity tool's objects that no animal's path took


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("tracks")
    parser.add_argument("truth")
    parser.add_argument("--within", type=float, default=5.0)
    parser.add_argument("--column", default="track")
    a = parser.parse_args()
    found, truth = collections.defaultdict(list), collections.defaultdict(list)
    for r in rows(a.tracks):
        identity = int(r[a.column])
        if r.get("missing", "0") in ("0", "") and 0 <= identity < STRAY:
            found[int(r["frame"])].append((float(r["x"]), float(r["y"]), identity))
    for r in rows(a.truth):
        state = "alone" if r["contact"] == "0" else "touching" if r["contact"] == "1" else "overlapping"
        truth[int(r["frame"])].append((float(r["x"]), float(r["y"]), int(r["object"]), state))
    paired = []  # (true animal, identity, state)
    for frame, bodies in truth.items():
        objects = found.get(frame, [])
        for i, (_, j) in matched(bodies, objects, a.within).items():
            paired.append((bodies[i][2], objects[j][2], bodies[i][3]))
    votes = collections.defaultdict(collections.Counter)
    for animal, identity, _ in paired:
        votes[animal][identity] += 1
    own = {animal: c.most_common(1)[0][0] for animal, c in votes.items()}
    wrong = collections.Counter(state for animal, identity, state in paired if identity != own[animal])
    print(f"paired {len(paired)} wrong {sum(wrong.values())}:",
          ", ".join(f"{s} {wrong[s]}" for s in ("alone", "touching", "overlapping")))


if __name__ == "__main__":
    main()
