#!/usr/bin/env bash
# Scores the crowd procedure end to end on generated lab footage, run as a new user runs it:
# the polarity, the count of animals and the arena drawn on the visible wall, with the
# whole-run linker (--link 15,5,predict,global) and beside it the frame-by-frame one
# (--link 15,5,predict); each run's tracks against the truth with `ambrevo score`. Prints a
# Markdown table: per scene MOTA, IDF1, identity switches, frames per second of the whole
# process and wall seconds per minute of video (at the video's own frame rate), and the share
# of bodies overlapping another by up to half whose reported centre lies within 2 px of the
# truth (scripts/crowd_overlaps.py breaks it down further).
#
#   scripts/crowd_scores.sh [--build DIR] [--scenes DIR] [--timeout SECONDS] [--keep] [--catalogue FILE] [NAME|KIND ...]
#
# NAME is one scene of the list below, KIND all scenes of a kind (fish, flies, light, rim,
# larvae, flash, dim, shake); none: every scene. Scenes are made once into --scenes (default
# BUILD/crowd_scenes) and again when the scene tool or the scene's arguments change. A run
# longer than --timeout (default 300 s) is stopped and reported so. The tracks are written to a
# folder of the script's own (the scenes may be shared by several people scoring at once) and
# left in each scene's folder with --keep (tracks_global.csv, tracks_frames.csv). --catalogue scores the
# scenes listed in FILE instead (lines `name|kind|the scene tool's arguments`, # for comments),
# such as the held-out scenes of bench/crowd_heldout.txt.
# AMBREVO_CROWD_OPTIONS adds options to every run (say `--grey`, or `--set contrast=30`), for
# trying a change; a line above the table names them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
scenes=""
limit=300
keep=0
listed=""
wanted=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --scenes) scenes=$2; shift 2 ;;
    --timeout) limit=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    --catalogue) listed=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) wanted+=("$1"); shift ;;
  esac
done
scenes=${scenes:-$build/crowd_scenes}
tool=$build/bin/crowd_scene_tool
ambrevo=$build/bin/ambrevo
for program in "$tool" "$ambrevo"; do
  [ -x "$program" ] || { echo "crowd_scores: $program is missing (cmake --build $build --target ambrevo ambrevo_module crowd_scene_tool)" >&2; exit 2; }
done
read -r -a extra <<< "${AMBREVO_CROWD_OPTIONS:-}"

# name | kind | the scene tool's arguments. Two seeds per kind, with other counts, sizes,
# lengths and codecs; flash and dim are the lighting events (one white frame on a frame the
# background is sampled on, five in a row, the floor dimmed from 200 to 80); shake a camera
# that shakes (bench/crowd_shake.txt has more).
catalogue="\
fish-20|fish|--kind fish --animals 20 --seed 1 --frames 450
fish-12-large|fish|--kind fish --animals 12 --seed 2 --frames 450 --size 800x600 --length 60 --codec mjpeg
flies-40|flies|--kind flies --animals 40 --seed 1 --frames 600 --codec mjpeg
flies-60|flies|--kind flies --animals 60 --seed 2 --frames 600 --length 9
light-15|light|--kind light --animals 15 --seed 1 --frames 450
light-10-large|light|--kind light --animals 10 --seed 2 --frames 450 --size 800x600 --length 48 --codec mjpeg
rim-12|rim|--kind rim --animals 12 --seed 1 --frames 450
rim-8|rim|--kind rim --animals 8 --seed 2 --frames 450 --codec mjpeg
larvae-60|larvae|--kind larvae --animals 60 --seed 1 --frames 450 --codec mjpeg
larvae-40|larvae|--kind larvae --animals 40 --seed 2 --frames 450
flash-1|flash|--kind flies --animals 30 --seed 3 --frames 300 --flash 100
flash-5|flash|--kind fish --animals 12 --seed 3 --frames 300 --flash 150,151,152,153,154
dim|dim|--kind fish --animals 12 --seed 4 --frames 300 --dim 150:80
shake-fish|shake|--kind fish --animals 20 --seed 5 --frames 300 --shake 2
shake-larvae|shake|--kind larvae --animals 40 --seed 6 --frames 300 --shake 1.5 --codec mjpeg"
if [ -n "$listed" ]; then
  [ -f "$listed" ] || { echo "crowd_scores: no catalogue $listed" >&2; exit 2; }
  catalogue=$(grep -v '^[[:space:]]*\(#\|$\)' "$listed")
fi

. "$root/scripts/scene_catalogue.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One run and its score: "MOTA | IDF1 | switches | fps | s/min" for the table.
run() {
  local dir=$1 link=$2 out=$3 video frames fps start end status=0
  video=$dir/$(json "$dir" video)
  frames=$(json "$dir" frames)
  fps=$(json "$dir" fps)
  read -r -a options < "$dir/options.txt"
  start=$(date +%s.%N)
  timeout "$limit" "$ambrevo" "$video" --procedure crowd "${options[@]}" --link "$link" "${extra[@]}" \
    --tracks "$out" --quiet > "$out.log" 2>&1 || status=$?
  end=$(date +%s.%N)
  if [ "$status" = 124 ]; then echo "timeout | | | | >$limit s"; return; fi
  if [ "$status" != 0 ] || [ ! -f "$out" ]; then echo "failed ($status) | | | |"; return; fi
  "$ambrevo" score "$out" "$dir/truth.csv" | awk -F': ' -v s="$start" -v e="$end" -v n="$frames" -v r="$fps" '
    $1 == "MOTA" { mota = $2 } $1 == "IDF1" { idf1 = $2 } $1 == "identity switches" { sw = $2 }
    END { w = e - s; printf "%.3f | %.3f | %d | %.0f | %.1f", mota, idf1, sw, n / w, w * 60 * r / n }'
}

[ ${#extra[@]} -eq 0 ] || printf 'Every run with %s.\n\n' "${extra[*]}"
echo "| scene | footage | overlapping | within 2 px | global: MOTA | IDF1 | switches | fps | s/min | frame by frame: MOTA | IDF1 | switches | fps | s/min |"
echo "|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
while IFS='|' read -r name kind args; do
  selected "$name" "$kind" || continue
  dir=$scenes/$name
  make_scene "$dir" "$args"
  animals=$(json "$dir" kind)
  case "$animals" in light) animals="light animals" ;; rim) animals="fish at a dark rim" ;; esac
  footage="$(json "$dir" animals) $animals, $(json "$dir" width)x$(json "$dir" height), $(json "$dir" frames) frames, $(json "$dir" codec)"
  flashes=$(sed -n 's/.*"flashes": \[\([^]]*\)\].*/\1/p' "$dir/scene.json")
  [ -z "$flashes" ] || footage="$footage, white frames $flashes"
  [ "$(json "$dir" dim_frame)" = -1 ] || footage="$footage, floor dimmed to $(json "$dir" dim_to) from frame $(json "$dir" dim_frame)"
  overlap=$(awk -v o="$(json "$dir" overlapping)" 'BEGIN { printf "%.0f%%", 100 * o }')
  out=$work/$name
  [ "$keep" = 0 ] || out=$dir
  mkdir -p "$out"
  global=$(run "$dir" 15,5,predict,global "$out/tracks_global.csv")
  close=-
  [ ! -f "$out/tracks_global.csv" ] || close=$(python3 "$root/scripts/crowd_overlaps.py" --share "$out/tracks_global.csv" "$dir/truth.csv")
  frames=$(run "$dir" 15,5,predict "$out/tracks_frames.csv")
  echo "| $name | $footage | $overlap | $close | $global | $frames |"
  [ "$keep" = 1 ] || rm -rf "$out"
done <<< "$catalogue"
