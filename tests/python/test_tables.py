"""Rows as tables: stable types, DataFrames, a Tracker's rows frame by frame, progress."""
import sys

import numpy as np
import pytest

import ambrevo
from support import ARENAS, discs

GIVEN = dict(procedure="crowd", roi=ARENAS, scale=4, unit="mm", fps=20)


def test_types_do_not_change_with_the_procedure():
    for procedure in ("flowtrack", "ccTrack", "crowd"):
        rows = ambrevo.track("demo", procedure=procedure, frames=3, link="30,2")
        kinds = {name: rows.dtype[name] for name in rows.dtype.names}
        assert (kinds["frame"], kinds["index"], kinds["track"]) == (np.int64,) * 3, procedure
        assert (kinds["x"], kinds["y"]) == (np.float64,) * 2 and kinds["missing"] == np.bool_, procedure
        assert kinds.get("selected", np.bool_) == np.bool_ and len(rows) > 0, procedure


def test_dataframes_hold_the_track_files_columns_and_link_takes_them(tmp_path):
    pd = pytest.importorskip("pandas")
    frames = discs()
    frame = ambrevo.track(frames, as_frame=True, tracks=str(tmp_path / "t.csv"), **GIVEN)
    with open(tmp_path / "t.csv") as f:
        header = next(line for line in f if not line.startswith("#")).strip().split(",")
    assert list(frame.columns) == ["index" if name == "object" else name for name in header]
    assert {"time_s", "arena", "x_mm", "y_mm"} <= set(frame.columns) and frame.attrs["last_frame"] == 39
    assert frame.equals(ambrevo.to_frame(ambrevo.track(frames, **GIVEN)))
    run = ambrevo.track(frames, link="30,4,predict", as_frame=True, **GIVEN)
    linked = ambrevo.link(frame, 30, 4, predict=True)  # up to attrs["last_frame"], as the run
    assert isinstance(linked, pd.DataFrame) and linked.equals(run) and linked["missing"].sum() > 8
    assert ambrevo.to_frame(run) is run


def test_a_tracker_gives_each_frames_rows_as_track_gives_them(tmp_path):
    frames = discs()
    run = ambrevo.track(frames, link="30,4,predict", animals=[2, 2], **GIVEN)
    with ambrevo.Tracker(link="30,4,predict", animals=[2, 2], tracks=str(tmp_path / "t.csv"), **GIVEN) as tracker:
        each = [tracker.process(frame) for frame in frames]
    assert all(set(rows["frame"]) <= {n} for n, rows in enumerate(each)) and tracker.frames == len(frames)
    assert np.concatenate(each).tobytes() == run.tobytes()
    assert "# status: complete\n" in open(tmp_path / "t.csv").read()
    timed = ambrevo.Tracker(procedure="crowd")
    assert [timed.process(frame, time=0.5 * n)["time_s"][0] for n, frame in enumerate(frames[:3])] == [0, 0.5, 1]
    timed.close()
    with pytest.raises(ValueError, match="global linking waits for the end of the run"):
        ambrevo.Tracker(link="30,4,global")


def test_a_tracker_left_by_an_exception_leaves_its_outputs_partial(tmp_path):
    with pytest.raises(ZeroDivisionError):
        with ambrevo.Tracker(procedure="crowd", tracks=str(tmp_path / "t.csv")) as tracker:
            for frame in discs(frames=3):
                tracker.process(frame)
            1 / 0
    assert "# reason: cancelled after 3 frames; the outputs hold them\n" in open(tmp_path / "t.csv").read()
    with pytest.raises(ValueError, match="closed"):
        tracker.process(discs(frames=1)[0])


def test_progress_is_called_with_frames_done_expected_and_rate_and_false_stops(tmp_path):
    calls = []

    def progress(done, expected, rate):
        calls.append((done, expected, rate))
        return done < 5

    rows = ambrevo.track(discs(frames=200, gone_from=200), progress=progress, tracks=str(tmp_path / "t.csv"), **GIVEN)
    dones = [done for done, _, _ in calls]
    assert dones == sorted(dones) and 5 <= dones[-1] < 200 and {e for _, e, _ in calls} == {200}
    assert all(rate > 0 for _, _, rate in calls) and rows["frame"].max() < 200
    text = open(tmp_path / "t.csv").read()
    assert "# status: partial\n" in text and f"# frames_read: {rows['frame'].max() + 1}\n" in text
    assert "cancelled after" in text
    failure = ValueError("my own")

    def broken(done, expected, rate):
        raise failure

    with pytest.raises(ValueError) as raised:
        ambrevo.track(discs(frames=200), progress=broken, **GIVEN)
    assert raised.value is failure


def test_progress_true_shows_tqdms_bar_or_a_plain_line(capsys, monkeypatch):
    pytest.importorskip("tqdm")
    ambrevo.track("demo", frames=4, procedure="crowd", progress=True)
    assert "4/4" in capsys.readouterr().err
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)  # as without tqdm
    ambrevo.track("demo", frames=4, procedure="crowd", progress=True)
    line = capsys.readouterr().err
    assert "\rframe 4/4  " in line and " fps  0 s left" in line and line.endswith("\n")
