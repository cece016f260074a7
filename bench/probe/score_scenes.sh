#!/bin/bash
# Runs the tracker on every probe scene as a user would (the options in options.txt, with the
# whole-run linker), with the count and again without it, and scores both runs against the
# truth. Leaves in each scene's folder tracks.csv and score.txt (count given),
# tracks_nocount.csv and score_nocount.txt (none), time.txt (seconds of the first run) and the
# runs' standard error in run.err and run_nocount.err.
#
#   bench/probe/score_scenes.sh [SCENES_DIR]     (default build/probe_scenes, made by make_scenes.sh)
root=$(cd "$(dirname "$0")/../.." && pwd)
A=$root/build/bin/ambrevo
scenes=${1:-$root/build/probe_scenes}
for d in "$scenes"/*/; do
  d=${d%/}
  v=$(ls "$d/scene.mp4" "$d/scene.avi" 2>/dev/null | head -1)
  opts=$(cat "$d/options.txt")
  nocount=$(echo "$opts" | sed -E 's/--animals [0-9]+ ?//')
  /usr/bin/time -f %e -o "$d/time.txt" "$A" "$v" --procedure crowd $opts --link 15,5,predict,global \
    --tracks "$d/tracks.csv" --quiet 2> "$d/run.err"
  "$A" score "$d/tracks.csv" "$d/truth.csv" > "$d/score.txt" 2>&1
  "$A" "$v" --procedure crowd $nocount --link 15,5,predict,global --tracks "$d/tracks_nocount.csv" --quiet \
    2> "$d/run_nocount.err"
  "$A" score "$d/tracks_nocount.csv" "$d/truth.csv" > "$d/score_nocount.txt" 2>&1
  echo "$d done"
done
