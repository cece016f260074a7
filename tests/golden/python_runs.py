"""The golden set's Python runs: python_runs.py NAME INPUTS, in the case's own folder.

Each run leaves the package's files where the program would and writes the rows it returns as
raw bytes (rows.bin), with their dtype on standard output, so that a changed column, type or
value shows in the digests."""
import sys

import numpy as np

import ambrevo


def keep(table, name="rows.bin"):
    print(table.dtype.descr, len(table))
    table.tofile(name)


def flow_files(inputs):
    keep(ambrevo.track("demo", frames=24, link="20,3", tracks="t.csv", summary="s.csv", plot="p.png"))


def crowd_arenas(inputs):
    keep(ambrevo.track(f"{inputs}/arena/%03d.png", procedure="crowd", channels=1, fps=20, animals=[8, 8],
                       roi=["rect:10,10,220,220", "rect:250,10,220,220"], link="15,5,global", scale=4, unit="mm",
                       tracks="t.json", summary="s.csv"))


def from_arrays(inputs):
    import cv2
    video = cv2.VideoCapture(f"{inputs}/clip.avi")
    frames = []
    while len(frames) < 20:
        ok, frame = video.read()
        if not ok:
            break
        frames.append(cv2.cvtColor(frame, cv2.COLOR_BGR2GRAY))
    keep(ambrevo.track(frames, roi="circle:320,240,230", BinThreshold=110, BrojObjekata=3))


def link_frames(inputs):
    table = ambrevo.track("demo", frames=30)
    keep(table, "unlinked.bin")
    keep(ambrevo.link(table, 25, memory=3, predict=True))


def link_global(inputs):
    table = ambrevo.track(f"{inputs}/arena/%03d.png", Algoritam=4, fps=20,
                          roi=["rect:10,10,220,220", "rect:250,10,220,220"])
    keep(ambrevo.link(table, 15, memory=5, method="global", animals=[8, 8]))


def procedure(inputs):
    import cv2
    video = cv2.VideoCapture(f"{inputs}/clip.avi")
    p = ambrevo.Procedure("flowtrack", 640, 480, BrojObjekata=3)
    print(p.name, p.values)
    for n in range(8):
        ok, frame = video.read()
        objects = p.process(frame, clicks=[(100, 100)] if n == 2 else ())
        print(n, objects.tobytes().hex())
    np.asarray(p.destination()).tofile("destination.bin")
    print(p.dialogue("\n"))


def refused(inputs):
    for call in (lambda: ambrevo.track("demo", frames=2, roi="rect:1,2,3"),
                 lambda: ambrevo.track("missing.mp4"),
                 lambda: ambrevo.link(np.zeros(3), 10)):
        try:
            call()
        except (ValueError, TypeError, OSError, RuntimeError) as e:
            print(type(e).__name__, e)


if __name__ == "__main__":
    globals()[sys.argv[1].replace("-", "_")](sys.argv[2])
