#!/usr/bin/env bash
# The --show window under a virtual X server: xdotool clicks into the picture, and the
# flow tracker (set to follow one object, which the three discs of the scene are not)
# must start its track at the clicked point, which only a click event can do. Then 'p'
# must print the profile and 'q' end the run before the input does.
# Exit 77 (skipped) when no X server can be started here.
set -u
exe=$1
for tool in xvfb-run xdotool xauth; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIPPED: $tool is not installed (scripts/deps.sh installs it)"
    exit 77
  fi
done
dir=$(mktemp -d)
trap "rm -rf $dir" EXIT
cd "$dir"
screen=(-s "-screen 0 1280x1024x24 -nolisten tcp")
if ! timeout 30 xvfb-run -a "${screen[@]}" true >/dev/null 2>&1; then
  echo "SKIPPED: Xvfb cannot start on this machine"
  exit 77
fi
printf '\n0 1 1 2 1\n' > cfg.txt
export AMBREVO_EXE=$exe
timeout 90 xvfb-run -a "${screen[@]}" bash -c '
  "$AMBREVO_EXE" demo --show --frames 240 --config cfg.txt --tracks t.csv -o v.avi --quiet > out.txt 2> err.txt &
  pid=$!
  wid=$(timeout 30 xdotool search --sync --onlyvisible --name "^ambrevo$" | head -1)
  if [ -z "$wid" ]; then echo "no window appeared"; kill $pid; wait $pid; exit 1; fi
  sleep 0.5
  xdotool mousemove --window "$wid" 600 30 click 1
  sleep 0.3
  xdotool windowfocus --sync "$wid" 2>/dev/null
  xdotool key --clearmodifiers p
  sleep 0.3
  xdotool key --clearmodifiers q
  wait $pid
  echo "ambrevo exit status $?" > status.txt
'
rc=$?
cat status.txt 2>/dev/null
if [ $rc -ne 0 ] || ! grep -q "ambrevo exit status 0" status.txt 2>/dev/null; then
  echo "FAILED: the run under Xvfb did not end cleanly (status $rc)"
  cat err.txt 2>/dev/null
  exit 1
fi
# The first frame with an object: exactly one, at the clicked point (the picture fills
# the window from its top-left corner, so window and picture coordinates agree).
first=$(awk -F, '!/^#/ && !/^frame,/ { print $1; exit }' t.csv)
if [ -z "$first" ]; then
  echo "FAILED: the click never reached the module (no object in t.csv)"
  exit 1
fi
rows=$(awk -F, -v f="$first" '!/^#/ && !/^frame,/ && $1 == f' t.csv)
echo "first tracked frame $first: $rows"
count=$(printf '%s\n' "$rows" | wc -l)
x=$(printf '%s\n' "$rows" | cut -d, -f3)
y=$(printf '%s\n' "$rows" | cut -d, -f4)
if [ "$count" -ne 1 ] || [ $(( (x - 600) * (x - 600) + (y - 30) * (y - 30) )) -gt 9 ]; then
  echo "FAILED: expected one object at 600,30"
  exit 1
fi
done_frames=$(sed -n 's/^ *ambrevo: \([0-9]*\) frames of demo.*/\1/p' out.txt)
echo "frames before q: $done_frames"
if [ "$first" -lt 1 ] || [ -z "$done_frames" ] || [ "$first" -ge "$done_frames" ]; then
  echo "FAILED: the track started on frame $first of ${done_frames:-?}"; tail -5 out.txt
  exit 1
fi
if ! grep -q "^profile over [0-9]* frames" out.txt; then
  echo "FAILED: 'p' printed no profile"
  exit 1
fi
if [ "$done_frames" -ge 240 ] || ! grep -q "^# reason: stopped from the window$" t.csv; then
  echo "FAILED: 'q' did not end the run, or the track file does not say so"
  exit 1
fi
echo "PASSED"
