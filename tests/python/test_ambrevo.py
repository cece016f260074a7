"""The Python package against the host and the module's own rules."""
import csv
import os
import subprocess

import numpy as np
import pytest

import ambrevo

HOST = os.environ.get("AMBREVO_HOST", "build/bin/ambrevo")


def scene(w=96, h=72, centres=((30, 36),)):
    y, x = np.mgrid[0:h, 0:w]
    frame = (200 + (x * 7 + y * 3) % 23).astype(np.uint8)
    for cx, cy in centres:
        frame[(x - cx) ** 2 + (y - cy) ** 2 <= 81] = 30
    return frame


def host_rows(path):
    with open(path) as f:
        return list(csv.DictReader(line for line in f if not line.startswith("#")))


def test_settings_frames_and_refusals():
    assert ambrevo.procedures() == ["canny", "canny_w0", "ccTrack", "nop", "flowtrack"]
    p = ambrevo.Procedure("flowtrack", 96, 72, channels=3, Algoritam=2, BrojObjekata=1, drawsAim=True)
    assert p.values["drawsAim"] is True
    assert {r["name"]: r["highest"] for r in p.describe()}["Algoritam"] == 4
    for values in [{"BrojObjekata": 9}, {"BrojObjekata": 2.5}, {"Nonsense": 1}, {"BrojObjekata": "two"}]:
        with pytest.raises(ValueError):
            p.set(**values)
    for bad in [np.zeros((72, 96), np.float32), np.zeros((72, 96, 4), np.uint8), np.zeros((72, 192), np.uint8)[:, ::2],
                [[0, 1], [2, 3]]]:
        with pytest.raises(ValueError):
            p.process(bad)
    for k in range(12):
        frame = np.dstack([scene(centres=((30 + 2 * k, 36),))] * 3)
        objects = p.process(frame)
    assert len(objects) == 1 and abs(objects["x"][0] - 52) <= 3 and abs(objects["y"][0] - 36) <= 3
    assert np.array_equal(p.destination(), frame)
    assert list(p.profile()) == ["copying", "optical flow", "active rays", "annotating"]
    p.dialogue(["", "0 1 1 2 2"])
    assert p.values["BrojObjekata"] == 2
    # Rows of a wider array are taken as they lie.
    wide = np.zeros((72, 128), np.uint8)
    wide[:, :96] = scene()
    a, b = (ambrevo.Procedure("flowtrack", 96, 72, channels=1) for _ in range(2))
    assert np.array_equal(a.process(wide[:, :96]), b.process(np.ascontiguousarray(wide[:, :96])))


def test_track_equals_the_host_on_the_demo_scene(tmp_path):
    subprocess.run([HOST, "demo", "--frames", "40", "--tracks", str(tmp_path / "demo.csv"), "--dst", str(tmp_path),
                    "-o", str(tmp_path / "demo.avi"), "--quiet"], check=True, capture_output=True)
    # The flow tracker's destination is the frame itself, so the host's PNGs are its input.
    table = ambrevo.track(str(tmp_path), BrojObjekata=3, Algoritam=2, drawsContour=True, smartTracking=True)
    rows = host_rows(tmp_path / "demo.csv")
    assert len(rows) == len(table) > 0
    assert [tuple(int(r[k]) for k in ("frame", "object", "x", "y", "area")) for r in rows] == \
        [tuple(int(g[k]) for k in ("frame", "index", "x", "y", "area")) for g in table]


def test_roi_equals_the_hosts_arenas(tmp_path):
    # Two dark discs crossing, one in each half of the picture, and one outside both halves.
    frames = [scene(120, 60, ((10 + 4 * k, 20), (50 - 4 * k, 40), (115, 5 + 5 * k))) for k in range(10)]
    assert (ambrevo.track(frames, Algoritam=4)["x"] > 100).any()
    inside = ambrevo.track(frames, roi=["rect:0,0,60,60", "rect:60,0,40,60"], Algoritam=4)
    assert len(inside) > 0 and not (inside["x"] >= 100).any()
    for k, f in enumerate(frames):
        (tmp_path / f"{k:03d}.pgm").write_bytes(b"P5 %d %d 255\n" % (f.shape[1], f.shape[0]) + f.tobytes())
    subprocess.run([HOST, str(tmp_path), "--set", "Algoritam=4", "--roi", "rect:0,0,60,60", "--roi", "rect:60,0,40,60",
                    "--tracks", str(tmp_path / "t.csv"), "--quiet"], check=True, capture_output=True)
    assert [(int(r["frame"]), int(r["x"]), int(r["y"]), int(r["arena"])) for r in host_rows(tmp_path / "t.csv")] == \
        [(int(r["frame"]), int(r["x"]), int(r["y"]), int(r["arena"])) for r in inside]
