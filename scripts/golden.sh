#!/usr/bin/env bash
# The recorded outputs: a fixed set of runs of the program, the Python package and the desktop
# app on inputs made here from generators, every file each run leaves, its standard output and
# error and its exit status reduced to one SHA-256 digest per file (tests/golden/outputs.sha256).
# Only what differs from run to run is masked first: the track files' date, timings and rates,
# the batch table's seconds.
#
#   scripts/golden.sh BUILD [WORK]              compare BUILD's outputs with the recorded digests
#   scripts/golden.sh --record BUILD [WORK]     run the set twice and record its digests
#   scripts/golden.sh --compare OLD NEW [WORK]  run the set with two builds and compare them
#
# BUILD is a build folder (bin/ambrevo, lib/Ambrevo.qorb, python/, bin/golden_app_run). A case
# whose tool a build lacks is left out and named. On a difference the case, its arguments and
# the file are listed and WORK (default BUILD/golden, or a fresh folder) is kept; the files
# of a comparison stay in WORK/OLD and WORK/NEW. GOLDEN_JOBS runs cases side by side (default 2).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
recorded=$here/tests/golden/outputs.sha256
mode=check
case ${1:-} in --record) mode=record; shift ;; --compare) mode=compare; shift ;; esac
[ $# -ge 1 ] || { sed -n '/^#   /s/^# //p' "$0" >&2; exit 2; }
builds=("$(realpath "$1")")
if [ $mode = compare ]; then builds+=("$(realpath "$2")"); shift; fi
work=${2:-$([ $mode = compare ] && mktemp -d /tmp/ambrevo-golden-XXXXXX || echo "${builds[0]}/golden")}
mkdir -p "$work" && work=$(realpath "$work")
in=../../inputs  # from a case's folder, work/RUN/CASE
jobs=${GOLDEN_JOBS:-2}

make_inputs() {
  local exe=$1/bin/ambrevo dir=$work/inputs
  rm -rf "$dir" && mkdir -p "$dir"
  (cd "$dir" && "$exe" demo --procedure nop --frames 40 -o clip.avi --quiet &&
     "$exe" demo --procedure nop --start 40 --frames 6 -o a.avi --quiet &&
     "$exe" demo --procedure nop --start 80 --frames 4 -o b.avi --quiet) > /dev/null
  head -c "$(($(stat -c %s "$dir/clip.avi") / 2))" "$dir/clip.avi" > "$dir/cut.avi"
  echo "not a video" > "$dir/bad.avi"
  printf '\n1 1 1 2 3\n' > "$dir/cfg.txt"
  printf '120 24 200 2 1\n0 1 1 2 3\n' > "$dir/bad.txt"
  printf '{"procedure": "flowtrack", "settings": {"BinThreshold": 100, "SearchWindow": 25}}' > "$dir/s.json"
  # A crowd of 200 discs, more than the flow tracker follows; six fish that cross and bend.
  "$1/bin/crowd_scene_tool" "$dir/crowd" --discs 200 --size 640x360 --frames 12 --seed 3 > /dev/null
  "$1/bin/crowd_scene_tool" "$dir/fish" --kind fish --animals 6 --size 480x320 --frames 16 --seed 5 \
    --codec ffv1 > /dev/null
  "${PYTHON:-/usr/bin/python3}" "$here/tests/golden/arena_scene.py" "$dir/arena"
}

# NAME KIND ARGS: KIND is cli (ambrevo ARGS; ' ;; ' separates calls made in turn in one folder),
# py (tests/golden/python_runs.py NAME) or app (golden_app_run ARGS).
names=() kinds=() calls=()
add() { names+=("$1"); kinds+=("$2"); calls+=("${3:-}"); }
arena="$in/arena/%03d.png --set Algoritam=4 --fps 20 --roi rect:10,10,220,220 --roi rect:250,10,220,220"
arena+=" --link 15,5,predict --scale 4 --unit mm"
crowd="$in/arena/%03d.png --procedure crowd --fps 20 --roi rect:10,10,220,220 --roi rect:250,10,220,220"
crowd+=" --animals 8,8 --scale 4 --unit mm"
batch="$in/a.avi $in/b.avi $in/bad.avi --out-dir OUT --jobs 2 -o mp4 --config $in/cfg.txt --summary summary.csv"
add demo-defaults cli "demo --frames 45"
add flow-outputs cli "demo --frames 40 --tracks t.json --dst d -o v.avi --console-log log.txt --settings-out s.json"
add flow-outputs-serial cli "demo --frames 40 --tracks t.json --dst d -o v.avi --console-log log.txt --settings-out s.json --threads 1"
add flow-config-click cli "$in/clip.avi --config $in/cfg.txt --click 5:100:100 -o v.mp4 --tracks t.csv --dst d --console-log log.txt"
add flow-summary-plot cli "demo --frames 40 --link 25,3 --tracks t.csv --summary s.csv --plot p.png --heatmap h.png"
add flow-grey-start-end cli "demo --grey --start 10 --end 20 --tracks t.csv --dst d -o v.mp4"
add flow-threshold-zero cli "demo --frames 3 --set BinThreshold=0 --tracks t.csv -o v.avi"
add flow-settings-file cli "demo --frames 20 --settings $in/s.json --tracks t.csv --settings-out o.json"
add flow-start-end-json cli "$in/clip.avi --start 3 --end 31 --link 40 -o v.mp4 --tracks t.json --config $in/cfg.txt"
add flow-bad-config cli "demo --frames 10 --config $in/bad.txt --tracks t.csv -o v.avi --dst d"
add flow-bad-config-serial cli "demo --frames 10 --config $in/bad.txt --tracks t.csv -o v.avi --dst d --threads 1"
add flow-crowd-scene cli "$in/crowd/scene.avi --tracks t.csv --frames 6"
add flow-crowd-scene-roi cli "$in/crowd/scene.avi --tracks t.csv --frames 6 --roi rect:0,0,200,200"
add cctrack-circle-link cli "$in/clip.avi --procedure ccTrack --roi circle:320,240,200 -o v.avi --tracks t.csv --link 40 --scale 2 --unit mm"
add cctrack-serial cli "demo --frames 30 --procedure ccTrack --dst d --tracks t.csv --threads 1"
add canny-windows-profile cli "demo --procedure canny --frames 3 --windows w --dst d --profile"
add canny-w0 cli "demo --frames 8 --procedure canny_w0 -o v.avi --dst d"
add nop-grey-mp4 cli "demo --frames 8 --procedure nop --dst d --grey -o v.mp4"
add nop-cut-video cli "$in/cut.avi --procedure nop --tracks t.csv -o v.avi"
add arena-pictures cli "$arena --tracks t.csv --summary s.csv --plot p.png --heatmap h.png"
add arena-json-serial cli "$arena --tracks t.json -o v.mp4 --summary s.csv --threads 1"
add arena-video-dst cli "$arena --tracks t.csv -o v.avi --dst d"
add arena-global cli "${arena/predict/global} --animals 8,8 --tracks t.json --summary s.csv --plot p.png"
add arena-crowd-flow-setting cli "${arena/--link 15,5,predict/--procedure crowd --animals 8,8 --link 15,5,global} --tracks t.csv --summary s.csv"
add crowd-arenas-csv cli "$crowd --grey --link 15,5,predict,global --tracks t.csv --summary s.csv --plot p.png --heatmap h.png"
add crowd-arenas-json cli "$crowd --link 15,5,predict --tracks t.json -o v.avi --threads 1"
add crowd-fish-shapes cli "$in/fish/scene.mkv --procedure crowd --animals 6 --link 30,5,predict --tracks t.csv --dst d"
add crowd-scene-score cli "$in/crowd/scene.avi --procedure crowd --grey --link 15,5 --tracks t.csv ;; score t.csv $in/crowd/truth.csv ;; score t.csv $in/crowd/truth.csv --radius 3"
add score-refused cli "score $in/cfg.txt $in/crowd/truth.csv ;; score $in/crowd/truth.csv missing.csv"
add live-global cli "demo --frames 30 --link 20,3,global --tracks - --summary s.csv"
add live-csv cli "demo --frames 5 --tracks -"
add live-csv-link cli "demo --frames 5 --tracks - --link 30"
add params cli "--params --set BinThreshold=90"
add list cli "--list"
add help cli "--help"
add output-without-input cli "-o out.mov"
add missing-input cli "missing.mp4"
add missing-output-folder cli "demo --tracks t.csv -o missing-dir/v.mp4"
add setting-out-of-range cli "demo --frames 2 --set BinThreshold=300 --tracks t.csv"
add roi-refused cli "demo --frames 2 --roi rect:1,2,3"
add batch-resumed cli "$batch ;; $batch"
for run in flow-files crowd-arenas from-arrays link-frames link-global procedure refused; do add "python-$run" py; done
add app-demo app "demo t.csv --roi circle:320,240,230 --link 40,2 --end 30"
add app-crowd app "$in/arena/%03d.png t.csv --procedure crowd --roi rect:10,10,220,220 --roi rect:250,10,220,220 --animals 8,8 --link 15,5,global --scale 4 --unit mm --grey"

# What differs between two runs of one build, masked.
masked() {
  case "$1" in
    */.stdout*|*/.stderr*) sed -E -e 's/in [0-9.]+ s, [0-9.]+ fps/in # s, # fps/' -e 's/, [0-9.]+ fps$/, # fps/' \
                       -e 's/inputs: (.*) in [0-9.]+ s;/inputs: \1 in # s;/' -e '/^# date: /d' \
                       -e '/^[a-zA-Z (),-]+ +[0-9.]+ +[0-9.]+ +[0-9.]+ +[0-9.]+ +[0-9.]+%$/s/ +[0-9.]+/ #/g' "$1" ;;
    */batch.csv) sed -E 's/^([^,]*,[^,]*,[^,]*,[^,]*,)[0-9.]+,/\1#,/' "$1" ;;
    *.csv|*.json) sed -E -e '/^# date: /d' -e 's/, "date": "[^"]*"//' "$1" ;;
    *) cat "$1" ;;
  esac
}

# The tool a case of KIND needs in BUILD, or nothing when BUILD lacks it.
tool() {
  case $1 in
    cli) [ -x "$2/bin/ambrevo" ] && echo "$2/bin/ambrevo" ;;
    py) [ -d "$2/python/ambrevo" ] && echo "$2/python" ;;
    app) [ -x "$2/bin/golden_app_run" ] && echo "$2/bin/golden_app_run" ;;
  esac
}

# Runs case I with BUILD in folder DIR.
run_case() {
  local i=$1 build=$2 dir=$3 exe n=0
  exe=$(tool "${kinds[i]}" "$build") || return 0
  rm -rf "$dir" && mkdir -p "$dir" && cd "$dir"
  case ${kinds[i]} in
    cli)
      local rest=${calls[i]} call suffix quiet
      while [ -n "$rest" ]; do
        call=${rest%% ;; *}
        [ "$call" = "$rest" ] && rest= || rest=${rest#* ;; }
        n=$((n + 1)) suffix='' quiet=--quiet
        [ $n = 1 ] || suffix=$n
        [ "${call%% *}" != score ] || quiet=''  # score has no progress line to leave out
        # shellcheck disable=SC2086
        { "$exe" $call $quiet > .stdout$suffix 2> .stderr$suffix < /dev/null; echo $? > .status$suffix; } || true
      done ;;
    py)
      # Under the sanitizers the instrumented extension needs their runtimes first in the interpreter.
      { env PYTHONPATH="$exe" ${GOLDEN_PYTHON_PRELOAD:+LD_PRELOAD=$GOLDEN_PYTHON_PRELOAD ASAN_OPTIONS=detect_leaks=0} \
          "${PYTHON:-/usr/bin/python3}" "$here/tests/golden/python_runs.py" "${names[i]#python-}" $in \
          > .stdout 2> .stderr < /dev/null; echo $? > .status; } || true ;;
    app)
      # Its own settings (the recent inputs) and runtime folder, away from the user's.
      mkdir -m 700 "$dir.home"
      # shellcheck disable=SC2086
      { QT_QPA_PLATFORM=offscreen AMBREVO_MODULE=$build/lib/Ambrevo.qorb XDG_CONFIG_HOME=$dir.home \
          XDG_RUNTIME_DIR=$dir.home "$exe" ${calls[i]} > .stdout 2> .stderr < /dev/null; echo $? > .status; } || true ;;
  esac
}

# Runs every case with BUILD into WORK/RUN and writes WORK/RUN.sha256: digest, case/file.
run_all() {
  local build=$1 run=$2 i
  rm -rf "${work:?}/$run" "$work/$run.seconds"
  for i in "${!names[@]}"; do
    [ "$(jobs -rp | wc -l)" -lt "$jobs" ] || wait -n || true
    (start=$EPOCHREALTIME; run_case "$i" "$build" "$work/$run/${names[i]}"
     echo "${names[i]} $(((${EPOCHREALTIME/./} - ${start/./}) / 1000)) ms" >> "$work/$run.seconds") &
  done
  wait
  for i in "${!names[@]}"; do
    [ -d "$work/$run/${names[i]}" ] || { echo "left out: ${names[i]} (no ${kinds[i]} tool in $build)" >&2; continue; }
    (cd "$work/$run" && find "${names[i]}" -type f | LC_ALL=C sort | while IFS= read -r f; do
       echo "$(masked "$f" | sha256sum | cut -c1-64)  $f"; done)
  done > "$work/$run.sha256"
}

args_of() {
  local i
  for i in "${!names[@]}"; do
    [ "${names[i]}" != "$1" ] || echo "${kinds[i]} ${calls[i]:-tests/golden/python_runs.py ${1#python-}}"
  done
}

# Lists each file whose digest in A (called NAME_A) differs from B's (NAME_B), of the cases
# both hold; status 1 when any does.
differences() {
  local found=0 name file verdict
  while IFS=$'\t' read -r name file verdict; do
    found=1
    echo "case $name: $file $verdict"
    echo "  $(args_of "$name")"
  done < <(awk -v a="$3" -v b="$4" '
    { split($2, p, "/") }
    FNR == NR { ranA[p[1]] = 1; mine[$2] = $1; next }
    { ranB[p[1]] = 1; theirs[$2] = $1 }
    END {
      for (f in mine) {
        split(f, p, "/")
        if (!(p[1] in ranB)) continue
        if (!(f in theirs)) out[f] = "only in " a; else if (mine[f] != theirs[f]) out[f] = "differs"
      }
      for (f in theirs) { split(f, p, "/"); if (p[1] in ranA && !(f in mine)) out[f] = "only in " b }
      for (f in out) { c = f; sub("/.*", "", c); r = f; sub("^[^/]*/", "", r); print c "\t" r "\t" out[f] }
    }' "$1" "$2" | LC_ALL=C sort)
  return $found
}

make_inputs "${builds[-1]}"
case $mode in
  check)
    run_all "${builds[0]}" outputs
    if [ ! -f "$recorded" ]; then echo "no record: scripts/golden.sh --record BUILD makes $recorded" >&2; exit 1; fi
    if ! differences "$work/outputs.sha256" "$recorded" "this run" "the record" >&2; then
      echo "outputs differ from the record; the files are in $work/outputs (scripts/golden.sh --record" \
           "records them anew where an issue asks for the change, docs/testing.md)" >&2
      exit 1
    fi
    echo "$(wc -l < "$work/outputs.sha256") files of $(cut -d/ -f1 "$work/outputs.sha256" | cut -c67- | sort -u | wc -l) runs as recorded"
    [ -n "${GOLDEN_KEEP:-}" ] || rm -rf "$work" ;;
  record)
    run_all "${builds[0]}" first
    run_all "${builds[0]}" second
    if ! differences "$work/first.sha256" "$work/second.sha256" "the first run" "the second" >&2; then
      echo "not recorded: two runs of one build differ (files in $work/first and $work/second)" >&2
      exit 1
    fi
    cp "$work/first.sha256" "$recorded"
    echo "recorded $(wc -l < "$recorded") files in $recorded"
    rm -rf "$work" ;;
  compare)
    run_all "${builds[0]}" old
    run_all "${builds[1]}" new
    status=0
    differences "$work/new.sha256" "$work/old.sha256" "the new build" "the old" || status=1
    echo "compared $(wc -l < "$work/old.sha256") files in $work: $([ $status = 0 ] && echo same || echo DIFFERENT)"
    exit $status ;;
esac
