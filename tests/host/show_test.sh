#!/usr/bin/env bash
# The --show window under a virtual X server: xdotool clicks into the picture, and the
# flow tracker (set to follow one object, which the three discs of the scene are not)
# must start its track at the clicked point, which only a click event can do. Then 'q'
# must end the run before the input does.
# Exit 77 (skipped) when no X server can be started here.
set -u
fail() { echo "FAILED: $*"; cat err.txt 2>/dev/null; exit 1; }
for tool in xvfb-run xdotool xauth; do
  command -v "$tool" >/dev/null || { echo "SKIPPED: $tool is not installed (scripts/deps.sh installs it)"; exit 77; }
done
dir=$(mktemp -d)
trap "rm -rf $dir" EXIT
cd "$dir"
screen=(-s "-screen 0 1280x1024x24 -nolisten tcp")
timeout 30 xvfb-run -a "${screen[@]}" true >/dev/null 2>&1 || { echo "SKIPPED: Xvfb cannot start on this machine"; exit 77; }
printf '\n0 1 1 2 1\n' > cfg.txt
export AMBREVO_EXE=$1
timeout 90 xvfb-run -a "${screen[@]}" bash -c '
  "$AMBREVO_EXE" demo --show --frames 240 --config cfg.txt --tracks t.csv -o v.avi --quiet > out.txt 2> err.txt &
  pid=$!
  wid=$(timeout 30 xdotool search --sync --onlyvisible --name "^ambrevo$" | head -1)
  [ -n "$wid" ] || { echo "no window appeared"; kill $pid; wait $pid; exit 1; }
  sleep 0.5; xdotool mousemove --window "$wid" 600 30 click 1
  sleep 0.3; xdotool windowfocus --sync "$wid" 2>/dev/null; xdotool key --clearmodifiers q
  wait $pid
  echo "ambrevo exit status $?" > status.txt
' && grep -q "ambrevo exit status 0" status.txt 2>/dev/null || fail "the run under Xvfb did not end cleanly"
# The first frame with an object: exactly one, at the clicked point (the picture fills
# the window from its top-left corner, so window and picture coordinates agree).
first=$(awk -F, '!/^#/ && !/^frame,/ { print $1; exit }' t.csv)
[ -n "$first" ] || fail "the click never reached the module (no object in t.csv)"
read -r count x y <<< "$(awk -F, -v f="$first" '!/^#/ && $1 == f { n++; x = $3; y = $4 } END { print n, x, y }' t.csv)"
[ "$count" -eq 1 ] && [ $(( (x - 600) * (x - 600) + (y - 30) * (y - 30) )) -le 9 ] || fail "expected one object at 600,30"
done_frames=$(sed -n 's/^ *ambrevo: \([0-9]*\) frames of demo.*/\1/p' out.txt)
[ "$first" -ge 1 ] && [ -n "$done_frames" ] && [ "$first" -lt "$done_frames" ] || fail "the track started on frame $first of ${done_frames:-?}"
[ "$done_frames" -lt 240 ] && grep -q "^# reason: stopped from the window$" t.csv || fail "'q' did not end the run, or the track file does not say so"
echo "PASSED"
