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
    run = ambrevo.track(frames, link="30,4,predict,global", animals=[2, 2], **given)
    linked = ambrevo.link(linked, 30, 4, predict=True, method="global", animals=[2, 2])
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
