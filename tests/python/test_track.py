"""track() against the program: the same rows and files, the same stops, Python's own errors."""
import os
import re
import shutil
import signal
import subprocess
import threading
import time

import numpy as np
import pytest

import ambrevo
from support import HOST, host_rows


def undated(path):
    with open(path) as f:
        return [line for line in f if not line.startswith("# date:")]


def test_track_is_the_program_from_files_and_from_arrays(tmp_path, monkeypatch):
    frames = tmp_path / "frames"
    subprocess.run([HOST, "demo", "--procedure", "nop", "--frames", "30", "--dst", str(frames), "--quiet"], check=True)
    settings = dict(BinThreshold=110, Algoritam=2, BrojObjekata=3)
    asked = ["--roi", "circle:320,240,230", "--link", "40,2"] + [w for k, v in settings.items() for w in ("--set", f"{k}={v}")]
    subprocess.run([HOST, str(frames)] + asked + ["--tracks", "t.csv", "--summary", "s.csv", "--quiet"], cwd=tmp_path,
                   check=True)
    monkeypatch.chdir(tmp_path)
    table = ambrevo.track(str(frames), roi="circle:320,240,230", link="40,2", tracks="p.csv", summary="ps.csv",
                          **settings)
    assert undated("t.csv") == undated("p.csv") and undated("s.csv") == undated("ps.csv")
    rows = host_rows("t.csv")
    assert len(rows) == len(table) > 60
    assert list(rows[0]) == ["object" if name == "index" else name for name in table.dtype.names]
    assert [tuple(float(r[k]) for k in rows[0]) for r in rows] == [tuple(float(v) for v in g) for g in table]
    import cv2
    arrays = [cv2.imread(str(f)) for f in sorted(frames.iterdir())]
    again = ambrevo.track(arrays, roi="circle:320,240,230", link="40,2", **settings)
    assert again.tobytes() == table.tobytes()
    # Two runs at once on two threads give what one gives alone.
    both = [None, None]
    runs = [threading.Thread(target=lambda i=i: both.__setitem__(i, ambrevo.track(
        str(frames), roi="circle:320,240,230", link="40,2", **settings))) for i in range(2)]
    for t in runs:
        t.start()
    for t in runs:
        t.join()
    assert all(b is not None and b.tobytes() == table.tobytes() for b in both)


def writing(folder, name):
    """Whether the output `name` has frames in it, under its temporary name."""
    return lambda: any(p.name.startswith(f".{name}.part") and p.stat().st_size > 50000 for p in folder.iterdir())


def signalled(ready, finished, signal_me=lambda: os.kill(os.getpid(), signal.SIGINT)):
    """Sends SIGINT once `ready()` (polled on a thread of its own, for at most 20 s), unless the
    event `finished` is set first; the time it was sent, in a list."""
    sent = []

    def watch():
        deadline = time.monotonic() + 20
        while not ready() and time.monotonic() < deadline and not finished.is_set():
            time.sleep(0.02)
        if not finished.is_set():
            sent.append(time.monotonic())
            signal_me()

    threading.Thread(target=watch, daemon=True).start()
    return sent


def interrupted(run, ready):
    """Runs `run` while SIGINT comes to this process once `ready()`; the seconds from the signal
    to the KeyboardInterrupt."""
    finished = threading.Event()
    sent = signalled(ready, finished)
    try:
        with pytest.raises(KeyboardInterrupt):
            run()
    finally:
        finished.set()
    return time.monotonic() - sent[0]


def metadata(path):
    """The track file's metadata with the frame counts and the date masked."""
    with open(path) as f:
        return [re.sub(r"\d+ frames|: \d+$", "N", line.rstrip()) for line in f
                if line.startswith("#") and not line.startswith(("# date:", "# frames_read:"))]


def test_ctrl_c_stops_a_run_of_a_file_within_half_a_second_as_it_stops_the_program(tmp_path):
    options = dict(procedure="crowd", video=str(tmp_path / "v.avi"), tracks=str(tmp_path / "t.csv"))
    took = interrupted(lambda: ambrevo.track("demo", **options), writing(tmp_path, "v.avi"))
    assert took < 0.5
    assert sorted(os.listdir(tmp_path)) == ["t.csv", "v.avi"]  # nothing temporary left
    program = subprocess.Popen([HOST, "demo", "--procedure", "crowd", "-o", "pv.avi", "--tracks", "pt.csv", "--quiet"],
                               cwd=tmp_path, stdout=subprocess.DEVNULL)
    signalled(writing(tmp_path, "pv.avi"), threading.Event(), lambda: program.send_signal(signal.SIGINT))
    assert program.wait() == 130
    assert metadata(tmp_path / "t.csv") == metadata(tmp_path / "pt.csv")
    assert "# status: partial" in metadata(tmp_path / "t.csv")
    done = int(re.search(r"after (\d+) frames; the outputs hold them", open(tmp_path / "t.csv").read()).group(1))
    assert len({r["frame"] for r in host_rows(tmp_path / "t.csv")}) == done > 0


def test_ctrl_c_stops_a_run_of_a_camera_loop(tmp_path):
    def camera():
        frame = np.full((240, 320, 3), 200, np.uint8)
        frame[100:120, 100:120] = 30
        end = time.monotonic() + 6  # the loop of a camera that never ends, bounded for the test
        while time.monotonic() < end:
            time.sleep(0.01)
            yield frame

    tracks = tmp_path / "t.csv"
    took = interrupted(lambda: ambrevo.track(camera(), procedure="crowd", tracks=str(tracks),
                                             video=str(tmp_path / "v.avi")), writing(tmp_path, "v.avi"))
    assert took < 0.5
    assert sorted(os.listdir(tmp_path)) == ["t.csv", "v.avi"]
    assert "# status: partial" in metadata(tracks)
    assert any(line.startswith("# reason: stopped by SIGINT after N") for line in metadata(tracks))


def test_the_frames_own_exception_is_the_cause_and_the_reason(tmp_path):
    unplugged = KeyError("camera unplugged")

    def camera():
        yield np.full((120, 160, 3), 200, np.uint8)
        raise unplugged

    with pytest.raises(RuntimeError) as raised:
        ambrevo.track(camera(), procedure="crowd", tracks=str(tmp_path / "t.csv"))
    assert raised.value.__cause__ is unplugged
    assert raised.value.__cause__.__traceback__ is not None
    assert str(raised.value) == "frame 1: the frames' iterator raised KeyError: 'camera unplugged'"
    assert "# reason: frame 1: the frames' iterator raised KeyError: 'camera unplugged'\n" in undated(tmp_path / "t.csv")
    def dead_camera():
        raise unplugged
        yield

    with pytest.raises(RuntimeError) as first:
        ambrevo.track(dead_camera())
    assert first.value.__cause__ is unplugged and str(first.value).startswith("frame 0: ")


def test_a_settings_file_chooses_the_procedure(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    ambrevo.track("demo", procedure="crowd", frames=2, settings_out="lab.json", threshold=100)
    ambrevo.track("demo", frames=3, settings="lab.json", tracks="t.csv")
    assert "# procedure: crowd\n" in undated("t.csv") and "# setting threshold: 100\n" in undated("t.csv")


def test_refusals_raise_what_python_expects_in_pythons_words(tmp_path):
    refused = [
        (lambda: ambrevo.track("missing.mp4"), ValueError, "input 'missing.mp4' not found"),
        (lambda: ambrevo.track("demo", frames=2, Nonsense=1), ValueError, "Nonsense=1: unknown setting 'Nonsense'"),
        (lambda: ambrevo.track("demo", frames=2, BrojObjekata=9), ValueError, "BrojObjekata=9: BrojObjekata must"),
        (lambda: ambrevo.track("demo", frames=2, tracks=str(tmp_path / "no" / "t.csv")), OSError, "t.csv"),
        (lambda: ambrevo.track([np.zeros((8, 8), np.float32)]), ValueError, "uint8 array of shape (h, w)"),
        (lambda: ambrevo.track("demo", link=(15, 5)), TypeError, "link takes one text such as \"15,5\""),
        (lambda: ambrevo.track("demo", frames=[10, 20]), TypeError, "frames takes one value"),
        (lambda: ambrevo.track("demo", scale=[2, 4]), TypeError, "scale takes one value"),
        (lambda: ambrevo.track("demo", frames=0), ValueError, "frames must be 1 or more, got 0"),
        (lambda: ambrevo.track("demo", channels=2), ValueError, "channels must be 1 (grey) or 3 (colour)"),
        (lambda: ambrevo.track("demo", clicks=[(1, 2)]), TypeError, "clicks maps a frame number to a list of (x, y)"),
        (lambda: ambrevo.track(0), TypeError, "camera 0 is \"cam:0\""),
        (lambda: ambrevo.track("demo", animals=[1, 2]), ValueError, "animals gives 2 counts for 1 frame without roi"),
        (lambda: ambrevo.track("demo", unit="mm"), ValueError, "unit='mm' needs scale"),
        (lambda: ambrevo.track("demo", BinThreshold=[1, 2]), TypeError, "BinThreshold takes one value")]
    for call, error, words in refused:
        with pytest.raises(error) as raised:
            call()
        assert words in str(raised.value) and "--" not in str(raised.value), str(raised.value)


def test_counts_per_arena_may_be_any_sequence_and_a_dashed_name_is_a_file(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    arenas = ["rect:0,0,320,480", "rect:320,0,320,480"]
    listed = ambrevo.track("demo", procedure="crowd", frames=5, roi=arenas, animals=[2, 1])
    assert listed.tobytes() == ambrevo.track("demo", procedure="crowd", frames=5, roi=arenas,
                                             animals=np.array([2, 1])).tobytes()
    subprocess.run([HOST, "demo", "--procedure", "nop", "--frames", "5", "-o", "clip.avi", "--quiet"], check=True,
                   capture_output=True)
    shutil.move("clip.avi", "-take2.avi")
    assert len(np.unique(ambrevo.track("-take2.avi", procedure="crowd")["frame"])) == 5


def test_a_run_that_finds_nothing_says_why_in_pythons_words():
    with pytest.warns(ambrevo.AmbrevoWarning, match=r"no objects were found on any of the 3 frames.*BinThreshold=N") as told:
        assert len(ambrevo.track("demo", frames=3, BinThreshold=1)) == 0
    assert "--" not in str(told[0].message)


def test_the_programs_other_outputs_and_limits_are_keyword_arguments(tmp_path, monkeypatch, capsys):
    (tmp_path / "cfg.txt").write_text("\n1 1 1 2 3\n")
    outputs = dict(console_log="l.txt", dst="d", settings_out="s.json", windows="w")
    words = [w for name, value in outputs.items() for w in ("--" + name.replace("_", "-"), value)]
    for folder in ("program", "python"):
        (tmp_path / folder).mkdir()
    subprocess.run([HOST, "demo", "--frames", "5", "--config", "../cfg.txt", "--quiet"] + words, check=True,
                   cwd=tmp_path / "program", capture_output=True)
    monkeypatch.chdir(tmp_path / "python")
    ambrevo.track("demo", frames=5, config="../cfg.txt", profile=True, max_pixels=640 * 480, **outputs)
    assert "whole frame (host)" in capsys.readouterr().out
    for name in ("l.txt", "s.json") + tuple(f"{d}/{f}" for d in ("d", "w") for f in os.listdir(tmp_path / "program" / d)):
        assert (tmp_path / "program" / name).read_bytes() == (tmp_path / "python" / name).read_bytes(), name
    with pytest.raises(ValueError, match=r"exceed the limit of 1000 pixels \(max_pixels raises it\)"):
        ambrevo.track("demo", frames=5, max_pixels=1000)


def test_a_unit_with_a_comma_and_quotes_names_its_columns():
    # The table's columns; the files (the program's own) are checked by the host's tests.
    unit = 'mm, "wet"'
    table = ambrevo.track("demo", frames=10, scale=2, unit=unit, link="20")
    assert len(table) > 10 and np.array_equal(table["x_" + unit], table["x"] / 2)
