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
