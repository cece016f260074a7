"""The Python package against the program; what it passes on to the module is the C interface test's."""
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


def undated(path):
    with open(path) as f:
        return [line for line in f if not line.startswith("# date:")]


def test_track_is_the_program_from_files_and_from_arrays(tmp_path):
    frames = tmp_path / "frames"
    subprocess.run([HOST, "demo", "--procedure", "nop", "--frames", "30", "--dst", str(frames), "--quiet"], check=True)
    settings = dict(BinThreshold=110, Algoritam=2, BrojObjekata=3)
    asked = ["--roi", "circle:320,240,230", "--link", "40,2"] + [w for k, v in settings.items() for w in ("--set", f"{k}={v}")]
    subprocess.run([HOST, str(frames)] + asked + ["--tracks", "t.csv", "--summary", "s.csv", "--quiet"], cwd=tmp_path,
                   check=True)
    os.chdir(tmp_path)
    table = ambrevo.track(str(frames), roi="circle:320,240,230", link="40,2", tracks="p.csv", summary="ps.csv",
                          **settings)
    assert undated("t.csv") == undated("p.csv") and undated("s.csv") == undated("ps.csv")
    rows = host_rows("t.csv")
    assert len(rows) == len(table) > 60
    columns = ("frame", "object", "x", "y", "area", "arena", "track", "missing")
    assert [tuple(int(r[k]) for k in columns) for r in rows] == \
        [tuple(int(g["index" if k == "object" else k]) for k in columns) for g in table]
    import cv2
    arrays = [cv2.imread(str(f)) for f in sorted(frames.iterdir())]
    again = ambrevo.track(arrays, roi="circle:320,240,230", link="40,2", **settings)
    assert again.tobytes() == table.tobytes()
    # Two runs at once on two threads give what one gives alone.
    import threading
    both = [None, None]
    runs = [threading.Thread(target=lambda i=i: both.__setitem__(i, ambrevo.track(
        str(frames), roi="circle:320,240,230", link="40,2", **settings))) for i in range(2)]
    for t in runs:
        t.start()
    for t in runs:
        t.join()
    assert all(b is not None and b.tobytes() == table.tobytes() for b in both)


def test_crowd_rows_are_its_track_file_with_decimal_centres_and_shapes(tmp_path):
    os.chdir(tmp_path)
    table = ambrevo.track("demo", procedure="crowd", frames=40, link="20,3,global", tracks="c.csv")
    rows = host_rows("c.csv")
    assert len(rows) == len(table) > 80 and table.dtype["x"] == np.float64
    assert any(x != int(x) for x in table["x"])
    for r, g in zip(rows, table):
        for k in ("x", "y", "intensity", "orientation", "elongation"):
            assert float(r[k] or "nan") == g[k] or (r[k] == "" and np.isnan(g[k])), (k, r, g)


def test_a_unit_with_a_comma_and_quotes_names_its_columns(tmp_path):
    os.chdir(tmp_path)
    unit = 'mm, "wet"'
    table = ambrevo.track("demo", frames=10, scale=2, unit=unit, link="20", tracks="u.csv", summary="us.csv")
    rows = host_rows("u.csv")
    assert len(rows) == len(table) > 10
    assert all(float(r["x_" + unit]) == float(r["x"]) / 2 for r in rows)
    with open("us.csv") as f:
        assert next(csv.reader(f))[4] == "path_length_" + unit


def test_track_refusals_raise_what_python_expects(tmp_path):
    for call, error in ((lambda: ambrevo.track("missing.mp4"), ValueError),
                        (lambda: ambrevo.track("demo", frames=2, Nonsense=1), ValueError),
                        (lambda: ambrevo.track("demo", frames=2, tracks=str(tmp_path / "no" / "t.csv")), OSError),
                        (lambda: ambrevo.track([np.zeros((8, 8), np.float32)]), ValueError)):
        with pytest.raises(error):
            call()


def test_one_procedure_serves_four_threads_in_turn():
    """Frames of four sizes from four threads: each call is whole (the picture after a frame is
    that frame), and the instance, reformatted at every change of size, is never corrupted."""
    import threading
    p = ambrevo.Procedure("flowtrack", 96, 72, channels=3, BrojObjekata=3, Algoritam=2)
    frames = []
    for h, w in ((72, 96), (96, 128), (48, 64), (120, 160)):
        frame = np.random.default_rng(w).integers(150, 255, (h, w, 3), dtype=np.uint8)
        frame[h // 3:h // 3 + 10, w // 3:w // 3 + 10] = 20
        frames.append(frame)
    seen, failures = [], []

    def work(frame):
        try:
            for _ in range(60):
                p.process(frame)
                seen.append(p.destination().tobytes())
        except Exception as e:  # reported below
            failures.append(e)

    threads = [threading.Thread(target=work, args=(f,)) for f in frames]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures and len(seen) == 240
    assert set(seen) <= {f.tobytes() for f in frames}


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
