#!/usr/bin/env bash
# Runs one set of ambrevo calls with two builds and compares everything they leave behind:
# every file byte for byte, standard output and error, the exit status. Only what differs
# from run to run is masked: the track files' date, timings and rates on standard output,
# the batch table's seconds. Used to show that a change of the host keeps its outputs.
#
#   scripts/compare_outputs.sh OLD/bin/ambrevo NEW/bin/ambrevo [WORK_DIR]
#
# Each executable loads the module beside it (../lib/Ambrevo.qorb). Exit status 0 when
# every run agrees; the differences are listed otherwise.
set -euo pipefail
old=$(realpath "$1")
new=$(realpath "$2")
work=${3:-$(mktemp -d /tmp/ambrevo-compare-XXXXXX)}
mkdir -p "$work"
in="$work/inputs"

make_inputs() {
  rm -rf "$in" && mkdir -p "$in"
  (cd "$in" && "$old" demo --procedure nop --frames 40 -o clip.avi --quiet &&
     "$old" demo --procedure nop --start 40 --frames 6 -o a.avi --quiet &&
     "$old" demo --procedure nop --start 80 --frames 4 -o b.avi --quiet)
  head -c "$(($(stat -c %s "$in/clip.avi") / 2))" "$in/clip.avi" > "$in/cut.avi"
  echo "not a video" > "$in/bad.avi"
  printf '\n1 1 1 2 3\n' > "$in/cfg.txt"
  printf '120 24 200 2 1\n0 1 1 2 3\n' > "$in/bad.txt"
  printf '{"procedure": "flowtrack", "settings": {"BinThreshold": 100, "SearchWindow": 25}}' > "$in/s.json"
  # A crowd of 200 discs, more than the flow tracker follows, when the scene tool is built.
  tool="$(dirname "$new")/crowd_scene_tool"
  if [ -x "$tool" ]; then "$tool" "$in/crowd" --discs 200 --size 640x360 --frames 12 --seed 3 > /dev/null; fi
  # Two square arenas of wandering discs, and discs outside them.
  /usr/bin/python3 - "$in/arena" <<'EOF'
import math, os, random, sys
import cv2, numpy as np
out = sys.argv[1]; os.makedirs(out)
rng = random.Random(7)
floor = np.clip(cv2.resize(np.array([[rng.randint(170, 225) for _ in range(30)] for _ in range(17)], np.uint8),
                           (480, 270), interpolation=cv2.INTER_CUBIC).astype(int)
                + np.array([[rng.randint(0, 19) for _ in range(480)] for _ in range(270)]), 0, 255).astype(np.uint8)
floor = cv2.cvtColor(floor, cv2.COLOR_GRAY2BGR)
arenas = [(10, 10, 220, 220), (250, 10, 220, 220)]
discs = [[a[0] + 20 + rng.random() * 180, a[1] + 20 + rng.random() * 180, rng.random() * 6.28]
         for a in (arenas[i % 2] for i in range(16))]
for f in range(41):
    m = floor.copy()
    for i, d in enumerate(discs):
        a = arenas[i % 2]
        d[2] += rng.gauss(0, 0.15)
        d[0] = min(max(d[0] + 3 * math.cos(d[2]), a[0] + 9), a[0] + a[2] - 10)
        d[1] = min(max(d[1] + 3 * math.sin(d[2]), a[1] + 9), a[1] + a[3] - 10)
        if f: cv2.circle(m, (int(d[0] * 16), int(d[1] * 16)), 80, (40, 40, 40), -1, cv2.LINE_AA, 4)
    if f: cv2.circle(m, (240, 12 + 3 * f), 5, (40, 40, 40), -1)
    cv2.imwrite(f"{out}/{f:03d}.png", m)
EOF
}

arena="$in/arena/%03d.png --set Algoritam=4 --fps 20 --roi rect:10,10,220,220 --roi rect:250,10,220,220"
arena+=" --link 15,5,predict --scale 4 --unit mm"
cases=(
  "demo"
  "demo --frames 40 --tracks t.json --dst d -o v.avi --console-log log.txt --settings-out s.json"
  "demo --frames 40 --tracks t.json --dst d -o v.avi --console-log log.txt --settings-out s.json --threads 1"
  "$in/clip.avi --config $in/cfg.txt --click 5:100:100 -o v.mp4 --tracks t.csv --dst d --console-log log.txt"
  "$in/clip.avi --procedure ccTrack --roi circle:320,240,200 -o v.avi --tracks t.csv --link 40 --scale 2 --unit mm"
  "$arena --tracks t.csv --summary s.csv --plot p.png --heatmap h.png"
  "$arena --tracks t.json -o v.mp4 --summary s.csv --threads 1"
  "$arena --tracks t.csv -o v.avi --dst d"
  "${arena/predict/global} --animals 8,8 --tracks t.json --summary s.csv --plot p.png"
  "demo --frames 30 --link 20,3,global --tracks - --summary s.csv"
  "${arena/--link 15,5,predict/--procedure crowd --animals 8,8 --link 15,5,global} --tracks t.csv --summary s.csv"
  "$in/crowd/scene.avi --tracks t.csv --frames 6"
  "$in/crowd/scene.avi --tracks t.csv --frames 6 --roi rect:0,0,200,200"
  "demo --procedure canny --frames 3 --windows w --dst d --profile"
  "demo --frames 10 --config $in/bad.txt --tracks t.csv -o v.avi --dst d"
  "demo --frames 10 --config $in/bad.txt --tracks t.csv -o v.avi --dst d --threads 1"
  "$in/cut.avi --procedure nop --tracks t.csv -o v.avi"
  "demo --frames 5 --tracks -"
  "demo --frames 5 --tracks - --link 30"
  "--params --set BinThreshold=90"
  "--list"
  "--help"
  "demo --grey --start 10 --end 20 --tracks t.csv --dst d -o v.mp4"
  "demo --frames 3 --set BinThreshold=0 --tracks t.csv -o v.avi"
  "demo --frames 20 --settings $in/s.json --tracks t.csv --settings-out o.json"
  "$in/clip.avi --start 3 --end 31 --link 40 -o v.mp4 --tracks t.json --config $in/cfg.txt"
  "demo --frames 30 --procedure ccTrack --dst d --tracks t.csv --threads 1"
  "demo --frames 8 --procedure canny_w0 -o v.avi --dst d"
  "demo --frames 8 --procedure nop --dst d --grey -o v.mp4"
  "-o out.mov"
  "missing.mp4"
  "demo --tracks t.csv -o missing-dir/v.mp4"
  "demo --frames 2 --set BinThreshold=300 --tracks t.csv"
  "demo --frames 2 --roi rect:1,2,3"
  "$in/a.avi $in/b.avi $in/bad.avi --out-dir OUT --jobs 2 -o mp4 --config $in/cfg.txt --summary summary.csv"
)

# Masks what differs between two runs of one build.
masked() {
  local f=$1
  case "$f" in
    */.stdout*|*/.stderr*) sed -E -e 's/in [0-9.]+ s, [0-9.]+ fps/in # s, # fps/' -e 's/, [0-9.]+ fps$/, # fps/' \
                       -e 's/inputs: (.*) in [0-9.]+ s;/inputs: \1 in # s;/' -e '/^# date: /d' \
                       -e '/^[a-zA-Z (),-]+ +[0-9.]+ +[0-9.]+ +[0-9.]+ +[0-9.]+ +[0-9.]+%$/s/ +[0-9.]+/ #/g' "$f" ;;
    */batch.csv) sed -E 's/^([^,]*,[^,]*,[^,]*,[^,]*,)[0-9.]+,/\1#,/' "$f" ;;
    *.csv|*.json) sed -E -e '/^# date: /d' -e 's/, "date": "[^"]*"//' "$f" ;;
    *) cat "$f" ;;
  esac
}

run_all() {
  local exe=$1 dir=$2 i=0
  for args in "${cases[@]}"; do
    i=$((i + 1))
    local d="$dir/case$(printf %02d $i)"
    mkdir -p "$d"
    echo "$args" > "$d/.args"
    # shellcheck disable=SC2086
    (cd "$d" && "$exe" $args --quiet > .stdout 2> .stderr < /dev/null; echo $? > .status) || true
  done
  # A resumed batch: the same call again.
  (cd "$dir/case$(printf %02d $i)" && "$exe" ${cases[$((i - 1))]} --quiet > .stdout2 2> .stderr2 < /dev/null;
   echo $? > .status2) || true
}

[ -d "$in" ] || make_inputs
rm -rf "$work/old" "$work/new"
run_all "$old" "$work/old"
run_all "$new" "$work/new"

status=0
while IFS= read -r -d '' f; do
  rel=${f#"$work/old/"}
  g="$work/new/$rel"
  if [ ! -e "$g" ]; then
    echo "missing in the new run: $rel"; status=1
  elif ! cmp -s <(masked "$f") <(masked "$g"); then
    echo "differs: $rel ($(head -c 200 "$work/old/${rel%%/*}/.args"))"; status=1
  fi
done < <(find "$work/old" -type f -print0)
while IFS= read -r -d '' f; do
  rel=${f#"$work/new/"}
  [ -e "$work/old/$rel" ] || { echo "only in the new run: $rel"; status=1; }
done < <(find "$work/new" -type f -print0)
echo "compared $(find "$work/old" -type f | wc -l) files of ${#cases[@]} calls in $work: $([ $status = 0 ] && echo same || echo DIFFERENT)"
exit $status
