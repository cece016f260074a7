"""Procedure: one instance of a procedure on frames from Python; what it passes on to the
module is the C interface test's."""
import threading

import numpy as np
import pytest

import ambrevo


def test_one_procedure_serves_four_threads_in_turn():
    """Frames of four sizes from four threads: each call is whole (the picture after a frame is
    that frame), and the instance, reformatted at every change of size, is never corrupted."""
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


def test_refusals_raise_and_change_nothing():
    p = ambrevo.Procedure("flowtrack", 96, 72, channels=1)
    before = p.values
    for refused, error in ((lambda: p.set(BrojObjekata=9), ValueError), (lambda: p.set(Nonsense=1), ValueError),
                           (lambda: p.set(SearchWindow=20, BrojObjekata=9), ValueError),
                           (lambda: p.set(SearchWindow=20, BinThreshold=[1, 2]), TypeError),
                           (lambda: p.process(np.zeros((72, 96), np.float32)), ValueError),
                           (lambda: p.process(np.zeros((72, 192), np.uint8)[:, ::2]), ValueError),
                           (lambda: p.process(np.zeros((72, 96), np.uint8), clicks=[(1, 2, 3)]), TypeError)):
        with pytest.raises(error):
            refused()
        assert p.values == before
    with pytest.raises(ValueError, match="channels must be 1"):
        ambrevo.Procedure("flowtrack", 96, 72, channels=2)


def test_reset_forgets_the_frames_and_keeps_the_settings_and_close_frees():
    frame = np.full((72, 96, 3), 220, np.uint8)
    frame[30:40, 30:40] = 20
    with ambrevo.Procedure("crowd", 96, 72, threshold=100) as p:
        first = [p.process(frame).tobytes() for _ in range(3)]
        p.reset()
        assert [p.process(frame).tobytes() for _ in range(3)] == first and p.values["threshold"] == 100
    with pytest.raises(ValueError, match="closed"):
        p.process(frame)
