"""What the Python tests share: the program and the scene tool beside it, generated frames."""
import csv
import os
import pathlib

import numpy as np

HOST = os.environ.get("AMBREVO_HOST", "build/bin/ambrevo")


def scene_tool():
    """The crowd scene tool of the build the program comes from."""
    return os.environ.get("AMBREVO_SCENE_TOOL", str(pathlib.Path(HOST).parent / "crowd_scene_tool"))


def host_rows(path):
    """The rows of the program's track file as dicts of texts."""
    with open(path) as f:
        return list(csv.DictReader(line for line in f if not line.startswith("#")))


ARENAS = ["rect:10,10,260,280", "rect:290,10,260,280"]


def discs(frames=40, hidden=((1, 10, 13), (3, 20, 22)), gone_from=36):
    """Four dark discs wandering in two arenas, 560x300 colour frames: disc k unseen on frames
    [a, b) for each (k, a, b) in `hidden`, every disc gone from frame `gone_from` on."""
    import cv2
    rng = np.random.default_rng(5)
    position = np.array([[60, 120], [150, 200], [380, 120], [450, 220]], float)
    velocity = rng.uniform(-2, 2, (4, 2))
    out = []
    for f in range(frames):
        image = np.full((300, 560, 3), 210, np.uint8)
        for k, (x, y) in enumerate(position):
            if f < gone_from and not any(k == d and a <= f < b for d, a, b in hidden):
                cv2.circle(image, (int(x * 16), int(y * 16)), 8 * 16, (40, 40, 40), -1, cv2.LINE_AA, 4)
        out.append(image)
        position += velocity
    return out
