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
import re
import resource
import subprocess
import sys
import tempfile
import time

import ambrevo


def cpu_seconds():
    """CPU time so far of this process's threads and of the child processes it waited for."""
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return time.process_time() + children.ru_utime + children.ru_stime


def timed(work):
    """The wall time of `work` and the CPU time it took, in this process or a child's."""
    start, cpu = time.perf_counter(), cpu_seconds()
    work()
    return time.perf_counter() - start, cpu_seconds() - cpu


def best(repeats, **works):
    """Each work's shortest wall time over `repeats` rounds, the works taken in turn each round."""
    return {name: t[0] for name, t in best_timed(repeats, **works).items()}


def best_timed(repeats, **works):
    """Each work's (wall, CPU) time of its round of shortest wall time."""
    times = {name: [] for name in works}
    for _ in range(repeats):
        for name, work in works.items():
            times[name].append(timed(work))
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
    """Seconds on `source` with `options`: the program's whole process and its own run (from
    the input opened to the outputs closed, as its last line tells), the track() call, and a
    whole Python process that imports the package and calls track()."""
    command = [host, source, "--quiet"] + program_words(options)
    script = f"import ambrevo; ambrevo.track({source!r}, **{dict(options, tracks=options['tracks'] + '.p.csv')!r})"
    runs = []

    def program():
        said = subprocess.run(command, check=True, capture_output=True, text=True).stdout
        runs.append(float(re.search(r" in ([0-9.]+) s, ", said.splitlines()[-1]).group(1)))

    times = best_timed(repeats, program=program,
                       track=lambda: ambrevo.track(source, **dict(options, tracks=options["tracks"] + ".py.csv")),
                       process=lambda: subprocess.run([sys.executable, "-c", script], check=True,
                                                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
    return times["program"], min(runs), times["track"], times["process"]


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
    """Per frame on the same frames in memory: track()'s wall and CPU seconds, the Tracker's."""
    def live():
        with ambrevo.Tracker(**options) as tracker:
            for frame in frames:
                tracker.process(frame)

    times = best_timed(repeats, track=lambda: ambrevo.track(frames, **options), tracker=live)
    return [seconds / len(frames) for name in ("track", "tracker") for seconds in times[name]]


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
            program, run, call, process = against_program(args.host, source, options, args.repeats)
            rows.append(f"| {name} | {program[0]:.2f} | {run:.2f} | {call[0]:.2f} | {call[0] / program[0]:.3f} | "
                        f"{process[0]:.2f} | {process[0] / program[0]:.3f} | {program[1]:.2f} | {call[1]:.2f} | "
                        f"{call[1] / program[1]:.3f} | {process[1] / program[1]:.3f} |")
            frames = frames_of(source, 100)
            track_wall, track_cpu, tracker_wall, tracker_cpu = against_track(
                frames, {k: v for k, v in options.items() if k != "tracks"}, args.repeats * 2)
            live.append(f"| {name} | {len(frames)} | {track_wall * 1000:.2f} | {tracker_wall * 1000:.2f} | "
                        f"{tracker_wall / track_wall:.3f} | {track_cpu * 1000:.2f} | {tracker_cpu * 1000:.2f} | "
                        f"{tracker_cpu / track_cpu:.3f} |")
    print(f"""
## Python (bench/python_bench.py, same run)

`ambrevo.track()` against the program on the same input and settings (the whole run with
`--link` and a track file): the program's wall time from start to exit (and its own run, from
the input opened to the outputs closed, as its last line tells); the `track()` call's, the
package imported before; a whole Python process that imports the package and calls `track()`.
Seconds, the round of the shortest wall time of {args.repeats}, the three taken in turn, and the CPU
time of each in that round (every thread; a machine shared with other work stretches wall times
far more than CPU times). {os.cpu_count()} hardware threads, load average {load} at the start.

| input and settings | program | its run | track() | track() / program | Python process | process / program | program CPU | track() CPU | track() / program CPU | process / program CPU |
|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|
""" + "\n".join(rows) + f"""

A `Tracker` fed the same frames one at a time from a loop, each frame's rows back before the
next frame is handed over, against `track()` over the list of them (its frames overlapped on
the pipeline's threads): milliseconds per frame, frames decoded into memory before, wall time
of the best of {args.repeats * 2} and the CPU time of the process's threads in that round.

| input and settings | frames | track() wall | Tracker wall | Tracker / track() | track() CPU | Tracker CPU | Tracker / track() CPU |
|---|---:|---:|---:|---:|---:|---:|---:|
""" + "\n".join(live))


if __name__ == "__main__":
    sys.exit(main())
