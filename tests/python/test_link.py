"""ambrevo.link() against the run's own linking: the same rows, missing rows included."""
import subprocess

import numpy as np
import pytest

import ambrevo
from support import ARENAS, HOST, discs, host_rows

# The crowd procedure's decimal centres and shapes, the flow tracker's whole pixels.
PROCEDURES = {"crowd": {}, "flowtrack": dict(Algoritam=2, BrojObjekata=4)}


@pytest.mark.parametrize("procedure", PROCEDURES)
def test_link_equals_the_runs_linking_row_for_row(procedure):
    """Discs unseen for a few frames and all gone at the end: the missing rows have index -1,
    their track's arena, the frame's time and units, NaN shapes, as the run writes them."""
    frames = discs()
    given = dict(procedure=procedure, roi=ARENAS, scale=4, unit="mm", fps=20, **PROCEDURES[procedure])
    table = ambrevo.track(frames, **given)
    run = ambrevo.track(frames, link="30,4,predict", **given)
    linked = ambrevo.link(table, 30, 4, predict=True, last_frame=len(frames) - 1)
    assert linked.dtype == run.dtype and linked.tobytes() == run.tobytes()
    missing = linked[linked["missing"]]
    assert len(missing) > 8 and set(missing["index"]) == {-1} and {1, 2} <= set(missing["arena"])
    assert set(missing["frame"]) >= {36, 37, 38, 39}  # after the last row, up to the run's last frame
    assert np.array_equal(missing["time_s"], missing["frame"] / 20)
    assert np.allclose(missing["x_mm"], missing["x"] / 4)
    if procedure == "crowd":
        assert np.isnan(missing["intensity"]).all() and any(x != int(x) for x in missing["x"])
    # Linking linked rows links them afresh.
    assert ambrevo.link(linked, 30, 4, predict=True, last_frame=39).tobytes() == linked.tobytes()
    # Counted, the procedure keeps its first tracks (uncounted, it starts over once its floor is no
    # longer guessed), so the global linking is compared on a counted run's rows.
    counted = ambrevo.track(frames, animals=[2, 2], **given) if procedure == "crowd" else table
    run = ambrevo.track(frames, link="30,4,predict,global", animals=[2, 2], **given)
    linked = ambrevo.link(counted, 30, 4, predict=True, method="global", animals=[2, 2], last_frame=39)
    assert linked.tobytes() == run.tobytes() and run["missing"].any()


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
                    lambda: ambrevo.link(table, 15, method="global", animals=[2, 1]),
                    lambda: ambrevo.link(table[["frame", "x"]], 15)):
        with pytest.raises(ValueError):
            refused()


def test_ctrl_c_stops_a_long_global_link():
    import os
    import signal
    import threading
    import time
    rng = np.random.default_rng(1)
    walk = np.cumsum(rng.normal(0, 2, (60, 5000, 2)), axis=0) + rng.uniform(0, 2000, (5000, 2))
    table = np.rec.fromarrays([np.repeat(np.arange(60), 5000), walk[..., 0].ravel(), walk[..., 1].ravel()],
                              names="frame,x,y")
    sent = []
    timer = threading.Timer(0.3, lambda: (sent.append(time.monotonic()), os.kill(os.getpid(), signal.SIGINT)))
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            ambrevo.link(table, 15, 5, predict=True, method="global")
    finally:
        timer.cancel()
    assert time.monotonic() - sent[0] < 0.5


def test_crowd_posture_and_identities_are_the_files_and_link_learns_them_again(tmp_path):
    out = tmp_path / "c.csv"
    counted = dict(procedure="crowd", frames=60, animals=3)
    table = ambrevo.track("demo", link="20,3,predict,global", tracks=str(out), **counted)
    rows = host_rows(out)
    assert len(rows) == len(table) > 150 and any(x != int(x) for x in table["x"])  # decimal centres
    for r, g in zip(rows, table):
        for k in ("x", "y", "intensity", "orientation", "elongation", "heading", "length", "width", "texture", "grey0",
                  "grey10", "m0_x", "confidence"):
            assert float(r[k] or "nan") == g[k] or (r[k] == "" and np.isnan(g[k])), (k, r, g)
        assert int(r["head"] or -1) == g["head"] and int(r["split"] or -1) == g["split"]
        assert r["m0_x"] == ""  # discs have no midline
    assert set(table["track"][~table["missing"]]) <= {-1, 0, 1, 2}
    # The rows of a run without linking, linked afterwards, get the program's identities.
    plain = ambrevo.track("demo", **counted)
    again = ambrevo.link(plain, 20, 3, predict=True, method="global", animals=3)
    assert again.dtype == table.dtype and again.tobytes() == table.tobytes()
    assert ambrevo.link(again, 20, 3, predict=True, method="global", animals=3).tobytes() == again.tobytes()
    # A table without the looks (another procedure's, an older file's) is linked as before.
    bare = plain[["frame", "x", "y", "area"]]
    linked = ambrevo.link(bare, 20, 3, predict=True, method="global", animals=3)
    assert "confidence" not in linked.dtype.names and len(set(linked["track"])) == 3


def test_a_long_body_has_a_midline_from_end_to_end():
    import cv2
    frames = []
    for f in range(30):
        frame = np.full((120, 160), 190, np.uint8)
        cv2.ellipse(frame, (60 + f, 60), (15, 4), 20, 0, 360, 60, -1)
        frames.append(frame)
    table = ambrevo.track(frames, procedure="crowd")
    assert len(table) == 30 and set(table["head"]) <= {0, 1}
    first = np.stack([table["m0_x"], table["m0_y"]], axis=1)
    last = np.stack([table["m10_x"], table["m10_y"]], axis=1)
    assert np.isfinite(first).all() and np.isfinite(last).all()
    ends = np.hypot(*(first - last).T)
    assert np.all(np.abs(ends - 30) < 5) and np.all(np.abs(table["length"] - 30) < 5)
