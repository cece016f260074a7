"""The Python package against the host and the module's own rules."""
import csv
import os
import subprocess

import numpy as np
import pytest

import ambrevo

HOST = os.environ.get("AMBREVO_HOST", "build/bin/ambrevo")


def host_rows(path):
    with open(path) as f:
        return list(csv.DictReader(line for line in f if not line.startswith("#")))


def test_settings_frames_and_refusals():
    p = ambrevo.Procedure("flowtrack", 96, 72, channels=3, Algoritam=2, BrojObjekata=1, drawsAim=True)
    assert p.values["drawsAim"] is True
    for values in [{"BrojObjekata": 9}, {"Nonsense": 1}, {"BrojObjekata": "two"}]:
        with pytest.raises(ValueError):
            p.set(**values)
    for bad in [np.zeros((72, 96), np.float32), np.zeros((72, 96, 4), np.uint8), np.zeros((72, 192, 3), np.uint8)[:, ::2]]:
        with pytest.raises(ValueError):
            p.process(bad)
    y, x = np.mgrid[0:72, 0:96]
    wide = np.zeros((72, 128, 3), np.uint8)  # rows of a wider array are taken as they lie
    for k in range(12):  # a dark disc moving right over a bright texture
        wide[:, :96] = np.where((x - 30 - 2 * k) ** 2 + (y - 36) ** 2 <= 81, 30, 200 + (x * 7 + y * 3) % 23)[..., None]
        objects = p.process(wide[:, :96])
    assert len(objects) == 1 and abs(objects["x"][0] - 52) <= 3 and abs(objects["y"][0] - 36) <= 3
    assert np.array_equal(p.destination(), wide[:, :96])


def test_track_equals_the_host_on_the_demo_scene(tmp_path):
    subprocess.run([HOST, "demo", "--frames", "40", "--tracks", str(tmp_path / "demo.csv"), "--dst", str(tmp_path),
                    "-o", str(tmp_path / "demo.avi"), "--quiet"], check=True, capture_output=True)
    # The flow tracker's destination is the frame itself, so the host's PNGs are its input.
    table = ambrevo.track(str(tmp_path), BrojObjekata=3, Algoritam=2, drawsContour=True, smartTracking=True)
    rows = host_rows(tmp_path / "demo.csv")
    assert len(rows) == len(table) > 0
    assert [tuple(int(r[k]) for k in ("frame", "object", "x", "y", "area")) for r in rows] == \
        [tuple(int(g[k]) for k in ("frame", "index", "x", "y", "area")) for g in table]
