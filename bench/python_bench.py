"""The Python package against the program, in one run (scripts/bench.sh, make bench):

- track() against `ambrevo` on the same input and settings: the program's wall time from start
  to exit against the call's, the package imported before;
- a Tracker fed the same frames one at a time from memory against track() over the list of them.

    PYTHONPATH=build/python python3 bench/python_bench.py --host build/bin/ambrevo \
        --scene-tool build/bin/crowd_scene_tool [--repeats 5]

Prints a Markdown section for docs/performance.md. The best of interleaved repetitions, so that
a change of the machine's load falls on both sides alike, and what the work itself costs shows
through the waits of a machine shared with other work."""
import argparse
import os
import subprocess
import sys
import tempfile
import time

import ambrevo


def wall(work):
    start = time.perf_counter()
    work()
    return time.perf_counter() - start


def best(repeats, **works):
    """Each work's shortest wall time over `repeats` rounds, the works taken in turn each round."""
    times = {name: [] for name in works}
    for _ in range(repeats):
        for name, work in works.items():
            times[name].append(wall(work))
    return {name: min(t) for name, t in times.items()}


def program_words(options):
    """track()'s keyword arguments as the program's options."""
    words = []
    for name, value in options.items():
        if name == "procedure":
            words += ["--procedure", value]
        elif name == "roi":
            words += [w for region in value for w in ("--roi", region)]
        elif name == "animals":
            words += ["--animals", ",".join(map(str, value))]
        elif name in ("link", "tracks"):
            words += ["--" + name, str(value)]
        else:
            words += ["--set", f"{name}={value}"]
    return words


def against_program(host, source, options, repeats):
    """(program s, track() s, Python process s) on `source` with `options`: the last a whole
    process that imports the package and calls track()."""
    command = [host, source, "--quiet"] + program_words(options)
    script = f"import ambrevo; ambrevo.track({source!r}, **{dict(options, tracks=options['tracks'] + '.p.csv')!r})"
    times = best(repeats, program=lambda: subprocess.run(command, check=True, stdout=subprocess.DEVNULL),
                 track=lambda: ambrevo.track(source, **dict(options, tracks=options["tracks"] + ".py.csv")),
                 process=lambda: subprocess.run([sys.executable, "-c", script], check=True, stdout=subprocess.DEVNULL,
                                                stderr=subprocess.DEVNULL))
    return times["program"], times["track"], times["process"]


def frames_of(path, count):
    import cv2
    video = cv2.VideoCapture(path)
    frames = []
    while len(frames) < count:
        ok, frame = video.read()
        if not ok:
            break
        frames.append(frame)
    return frames


def against_track(frames, options, repeats):
    """(track() s, Tracker s) per frame on the same frames in memory."""
    def live():
        with ambrevo.Tracker(**options) as tracker:
            for frame in frames:
                tracker.process(frame)

    times = best(repeats, track=lambda: ambrevo.track(frames, **options), tracker=live)
    return times["track"] / len(frames), times["tracker"] / len(frames)


def scenes(tool, folder):
    """The generated inputs: 24 discs in two arenas (640x480, 200 frames) and 64 in one
    (1280x720, 150 frames)."""
    subprocess.run([tool, os.path.join(folder, "s24")], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([tool, os.path.join(folder, "s64"), "--discs", "64", "--size", "1280x720", "--arenas", "1",
                    "--frames", "150"], check=True, stdout=subprocess.DEVNULL)
    arenas = ["rect:10,90,300,300", "rect:330,90,300,300"]
    crowd24 = dict(procedure="crowd", roi=arenas, animals=[12, 12], link="15,5,predict")
    crowd64 = dict(procedure="crowd", animals=[64], link="15,5,predict")
    return [("crowd, 24 discs in two arenas, 640x480", os.path.join(folder, "s24", "scene.avi"), crowd24),
            ("crowd, 64 discs, 1280x720", os.path.join(folder, "s64", "scene.avi"), crowd64)]


def main():
    given = argparse.ArgumentParser(description=__doc__)
    given.add_argument("--host", required=True)
    given.add_argument("--scene-tool", required=True)
    given.add_argument("--repeats", type=int, default=5)
    args = given.parse_args()
    args.host, args.scene_tool = os.path.abspath(args.host), os.path.abspath(args.scene_tool)
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run([args.host, "demo", "--procedure", "nop", "-o", os.path.join(folder, "clip.avi"), "--quiet"],
                       check=True, stdout=subprocess.DEVNULL, cwd=folder)
        cases = [("flowtrack mode 2, 3 discs, 640x480", os.path.join(folder, "clip.avi"),
                  dict(Algoritam=2, BrojObjekata=3, link="20,3"))] + scenes(args.scene_tool, folder)
        load = " ".join(open("/proc/loadavg").read().split()[:3])
        rows, live = [], []
        for name, source, options in cases:
            options = dict(options, tracks=os.path.join(folder, "t.csv"))
            program, call, process = against_program(args.host, source, options, args.repeats)
            rows.append(f"| {name} | {program:.2f} | {call:.2f} | {call / program:.3f} | {process:.2f} | "
                        f"{process / program:.3f} |")
            frames = frames_of(source, 100)
            per_track, per_tracker = against_track(frames, {k: v for k, v in options.items() if k != "tracks"},
                                                   args.repeats)
            live.append(f"| {name} | {len(frames)} | {per_track * 1000:.2f} | {per_tracker * 1000:.2f} | "
                        f"{per_tracker / per_track:.3f} |")
    print(f"""
## Python (bench/python_bench.py, same run)

`ambrevo.track()` against the program on the same input and settings (the whole run with
`--link` and a track file): the program's wall time from start to exit; the call's, the package
imported before; and a whole Python process that imports the package and calls `track()`.
Seconds, the best of {args.repeats}, the three taken in turn. {os.cpu_count()} hardware threads, load
average {load} at the start.

| input and settings | program (s) | track() (s) | track() / program | Python process (s) | process / program |
|---|---:|---:|---:|---:|---:|
""" + "\n".join(rows) + f"""

A `Tracker` fed the same frames one at a time from a loop, each frame's rows back before the
next frame is handed over, against `track()` over the list of them (its frames overlapped on
the pipeline's threads): milliseconds per frame, frames decoded into memory before, the best of
{args.repeats}.

| input and settings | frames | track() (ms/frame) | Tracker (ms/frame) | Tracker / track() |
|---|---:|---:|---:|---:|
""" + "\n".join(live))


if __name__ == "__main__":
    sys.exit(main())
