"""Two square arenas of 16 wandering discs on a mottled floor, and one disc outside them:
arena_scene.py FOLDER writes 41 pictures, the first without the discs."""
import math
import os
import random
import sys

import cv2
import numpy as np

out = sys.argv[1]
os.makedirs(out)
rng = random.Random(7)
floor = np.clip(cv2.resize(np.array([[rng.randint(170, 225) for _ in range(30)] for _ in range(17)], np.uint8),
                           (480, 270), interpolation=cv2.INTER_CUBIC).astype(int)
                + np.array([[rng.randint(0, 19) for _ in range(480)] for _ in range(270)]), 0, 255).astype(np.uint8)
floor = cv2.cvtColor(floor, cv2.COLOR_GRAY2BGR)
arenas = [(10, 10, 220, 220), (250, 10, 220, 220)]
discs = [[a[0] + 20 + rng.random() * 180, a[1] + 20 + rng.random() * 180, rng.random() * 6.28]
         for a in (arenas[i % 2] for i in range(16))]
for f in range(41):
    m = floor.copy()
    for i, d in enumerate(discs):
        a = arenas[i % 2]
        d[2] += rng.gauss(0, 0.15)
        d[0] = min(max(d[0] + 3 * math.cos(d[2]), a[0] + 9), a[0] + a[2] - 10)
        d[1] = min(max(d[1] + 3 * math.sin(d[2]), a[1] + 9), a[1] + a[3] - 10)
        if f:
            cv2.circle(m, (int(d[0] * 16), int(d[1] * 16)), 80, (40, 40, 40), -1, cv2.LINE_AA, 4)
    if f:
        cv2.circle(m, (240, 12 + 3 * f), 5, (40, 40, 40), -1)
    cv2.imwrite(f"{out}/{f:03d}.png", m)
