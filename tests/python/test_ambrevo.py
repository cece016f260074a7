"""The Python package against the host; what it passes on to the module is the C interface test's."""
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


def test_track_equals_the_host_on_the_demo_scene(tmp_path):
    subprocess.run([HOST, "demo", "--frames", "40", "--tracks", str(tmp_path / "demo.csv"), "--dst", str(tmp_path),
                    "-o", str(tmp_path / "demo.avi"), "--quiet"], check=True, capture_output=True)
    # The flow tracker's destination is the frame itself, so the host's PNGs are its input.
    table = ambrevo.track(str(tmp_path), BrojObjekata=3, Algoritam=2, drawsContour=True, smartTracking=True)
    rows = host_rows(tmp_path / "demo.csv")
    assert len(rows) == len(table) > 0
    assert [tuple(int(r[k]) for k in ("frame", "object", "x", "y", "area")) for r in rows] == \
        [tuple(int(g[k]) for k in ("frame", "index", "x", "y", "area")) for g in table]


def test_refusals_raise_value_error():
    p = ambrevo.Procedure("flowtrack", 96, 72, channels=1)
    for refused in (lambda: p.set(BrojObjekata=9), lambda: p.set(Nonsense=1),
                    lambda: p.process(np.zeros((72, 96), np.float32)), lambda: p.process(np.zeros((72, 192), np.uint8)[:, ::2])):
        with pytest.raises(ValueError):
            refused()


def test_global_link_equals_the_host_and_refuses_what_it_cannot_use(tmp_path):
    out = tmp_path / "g.csv"
    subprocess.run([HOST, "demo", "--frames", "40", "--link", "15,3,predict,global", "--animals", "3", "--tracks",
                    str(out), "-o", str(tmp_path / "g.avi"), "--quiet"], check=True, capture_output=True)
    rows = host_rows(out)
    seen = [r for r in rows if r["missing"] == "0"]
    table = np.array([(int(r["frame"]), float(r["x"]), float(r["y"])) for r in seen],
                     dtype=[("frame", "<i4"), ("x", "<f8"), ("y", "<f8")])
    linked = ambrevo.link(table, 15, 3, predict=True, method="global", animals=3)
    assert [(int(r["frame"]), int(r["track"]), r["missing"] == "1") for r in rows] == \
        [(int(g["frame"]), int(g["track"]), bool(g["missing"])) for g in linked]
    assert len(set(linked["track"])) == 3
    for refused in (lambda: ambrevo.link(table, 15, method="nearest"), lambda: ambrevo.link(table, 15, animals=3),
                    lambda: ambrevo.link(table, 15, method="global", animals=0),
                    lambda: ambrevo.link(table, 15, method="global", animals=[2, 1])):
        with pytest.raises(ValueError):
            refused()
