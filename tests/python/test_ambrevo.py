"""The Python package against the host and the module's own rules."""
import csv
import os
import subprocess
import threading

import numpy as np
import pytest

import ambrevo

HOST = os.environ.get("AMBREVO_HOST", "build/bin/ambrevo")


def scene(w=96, h=72, centres=((30, 36),), channels=1):
    y, x = np.mgrid[0:h, 0:w]
    frame = (200 + (x * 7 + y * 3) % 23).astype(np.uint8)
    for cx, cy in centres:
        frame[(x - cx) ** 2 + (y - cy) ** 2 <= 81] = 30
    return np.dstack([frame] * 3) if channels == 3 else frame


def moving(n=12, **kw):
    return [scene(centres=((30 + 2 * k, 36),), **kw) for k in range(n)]


def test_package_describes_itself():
    assert ambrevo.procedures() == ["canny", "canny_w0", "ccTrack", "nop", "flowtrack"]
    assert ambrevo.__version__.count(".") == 2
    p = ambrevo.Procedure("flowtrack", 96, 72, channels=1, BrojObjekata=3, drawsAim=True)
    assert p.values["BrojObjekata"] == 3 and p.values["drawsAim"] is True
    rows = {r["name"]: r for r in p.describe()}
    assert rows["Algoritam"]["lowest"] == 1 and rows["Algoritam"]["highest"] == 4
    assert all(r["help"] for r in rows.values())


@pytest.mark.parametrize("values", [{"BrojObjekata": 9}, {"BrojObjekata": 2.5}, {"Nonsense": 1},
                                    {"drawsAim": 3}, {"BrojObjekata": "two"}])
def test_refused_values_raise_and_change_nothing(values):
    p = ambrevo.Procedure("flowtrack", 96, 72, channels=1)
    before = p.values
    with pytest.raises(ValueError):
        p.set(**values)
    assert p.values == before


@pytest.mark.parametrize("frame", [
    np.zeros((72, 96), np.float32),          # wrong dtype
    np.zeros((72, 96, 4), np.uint8),         # four channels
    np.zeros((72, 192), np.uint8)[:, ::2],   # pixels of a row not adjacent
    np.zeros((0, 0), np.uint8),              # nothing at all
    [[0, 1], [2, 3]],                        # not an array
])
def test_bad_frames_raise(frame):
    p = ambrevo.Procedure("flowtrack", 96, 72, channels=1)
    with pytest.raises(ValueError):
        p.process(frame)
    p.process(scene())  # still usable


def test_objects_destination_profile_and_dialogue():
    p = ambrevo.Procedure("flowtrack", 96, 72, channels=3, Algoritam=2, BrojObjekata=1)
    for frame in moving(channels=3):
        objects = p.process(frame)
    assert objects.dtype.names == ("index", "x", "y", "area", "vx", "vy", "points", "selected")
    assert len(objects) == 1 and abs(objects["x"][0] - 52) <= 3 and abs(objects["y"][0] - 36) <= 3
    assert np.array_equal(p.destination(), frame)
    assert list(p.profile()) == ["copying", "optical flow", "active rays", "annotating"]
    text = p.dialogue(["", "0 1 1 2 2"])
    assert text.startswith("\nCurrent ip_flowtrack configuration:\n")
    assert p.values["BrojObjekata"] == 2


def test_row_strides_are_free():
    wide = np.zeros((72, 128), np.uint8)
    wide[:, :96] = scene()
    a = ambrevo.Procedure("flowtrack", 96, 72, channels=1)
    b = ambrevo.Procedure("flowtrack", 96, 72, channels=1)
    for k in range(4):
        wide[:, :96] = moving(4)[k]
        assert np.array_equal(a.process(wide[:, :96]), b.process(np.ascontiguousarray(wide[:, :96])))


def test_instances_on_threads_match_one_after_another():
    frames = moving(20)
    settings = [dict(BrojObjekata=1), dict(BrojObjekata=2, SearchWindow=12)]
    alone = [ambrevo.track(frames, **s) for s in settings]
    together = [None, None]

    def run(i):
        together[i] = ambrevo.track(frames, **settings[i])

    threads = [threading.Thread(target=run, args=(i,)) for i in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i in range(2):
        assert np.array_equal(alone[i], together[i])


def test_track_equals_the_host_on_the_demo_scene(tmp_path):
    frames = 40
    tracks = tmp_path / "demo.csv"
    dst = tmp_path / "dst"
    dst.mkdir()
    subprocess.run([HOST, "demo", "--frames", str(frames), "--tracks", str(tracks), "--dst", str(dst),
                    "-o", str(tmp_path / "demo.avi"), "--quiet"], check=True, capture_output=True)
    # The flow tracker's destination is the frame itself, so the host's PNGs are its input.
    table = ambrevo.track(str(dst), BrojObjekata=3, Algoritam=2, drawsContour=True, smartTracking=True)
    with open(tracks) as f:
        rows = list(csv.DictReader(line for line in f if not line.startswith("#")))
    assert len(rows) == len(table) > 0
    for row, got in zip(rows, table):
        assert (int(row["frame"]), int(row["object"]), int(row["x"]), int(row["y"]), int(row["area"])) == \
            (got["frame"], got["index"], got["x"], got["y"], got["area"])


def discs(n=10, w=120, h=60):
    """Two dark discs crossing, one in each half of the picture, and one outside both halves."""
    frames = []
    for k in range(n):
        frames.append(scene(w, h, centres=((10 + 4 * k, 20), (50 - 4 * k, 40), (115, 5 + 5 * k)), channels=1))
    return frames


@pytest.mark.parametrize("memory,predict", [(0, False), (2, False), (2, True)])
def test_link_gives_identities_and_missing_rows(memory, predict):
    np_table = np.zeros(7, dtype=[("frame", "<i4"), ("x", "<i4"), ("y", "<i4"), ("area", "<i4")])
    # Track A along y = 0, track B along y = 50; B is not seen in frame 2.
    np_table[:] = [(0, 0, 0, 5), (0, 10, 50, 6), (1, 2, 0, 5), (1, 12, 50, 6), (2, 4, 0, 5), (3, 6, 0, 5),
                   (3, 16, 50, 6)]
    out = ambrevo.link(np_table[::-1], max_step=5, memory=memory, predict=predict)
    assert list(out["frame"]) == sorted(out["frame"])
    seen = out[~out["missing"]]
    assert len(seen) == 7
    a = set(seen["track"][seen["y"] == 0])
    b = set(seen["track"][seen["y"] == 50])
    assert len(a) == 1 and a.isdisjoint(b)
    assert len(b) == (1 if memory >= 1 else 2)
    assert set(seen["area"][seen["y"] == 50]) == {6}
    gap = out[out["missing"]]
    assert len(gap) == (1 if memory >= 1 else 0)
    if memory:
        assert (gap["frame"][0], gap["x"][0], gap["y"][0], gap["area"][0]) == (2, 12, 50, 0)


@pytest.mark.parametrize("bad", [dict(max_step=0), dict(max_step=5, memory=-1)])
def test_link_refuses_bad_settings(bad):
    table = np.zeros(1, dtype=[("frame", "<i4"), ("x", "<f8"), ("y", "<f8")])
    with pytest.raises(ValueError):
        ambrevo.link(table, **bad)
    with pytest.raises(ValueError):
        ambrevo.link(np.zeros(3), max_step=5)


def test_roi_paints_outside_and_numbers_the_arenas(tmp_path):
    frames = discs()
    kw = dict(Algoritam=4)
    whole = ambrevo.track(frames, **kw)
    assert (whole["x"] > 100).any()  # the disc outside both halves is found without regions
    inside = ambrevo.track(frames, roi=["rect:0,0,60,60", "rect:60,0,40,60"], **kw)
    assert "arena" in inside.dtype.names and len(inside) > 0
    assert not (inside["x"] >= 100).any()
    assert set(inside["arena"][inside["x"] < 60]) <= {1} and set(inside["arena"][inside["x"] >= 60]) <= {2}
    # Identical to the host's own painting.
    folder = tmp_path / "f"
    folder.mkdir()
    for k, f in enumerate(frames):
        (folder / f"{k:03d}.pgm").write_bytes(b"P5 %d %d 255\n" % (f.shape[1], f.shape[0]) + f.tobytes())
    subprocess.run([HOST, str(folder), "--set", "Algoritam=4", "--roi", "rect:0,0,60,60", "--roi", "rect:60,0,40,60",
                    "--tracks", str(tmp_path / "t.csv"), "--quiet"], check=True, capture_output=True)
    with open(tmp_path / "t.csv") as f:
        host = [r for r in csv.DictReader(line for line in f if not line.startswith("#"))]
    assert [(int(r["frame"]), int(r["x"]), int(r["y"]), int(r["arena"])) for r in host] == \
        [(int(r["frame"]), int(r["x"]), int(r["y"]), int(r["arena"])) for r in inside]
