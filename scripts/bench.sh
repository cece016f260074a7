#!/usr/bin/env bash
# Per-frame costs of the procedures against OpenCV, measured in one run, and the host's
# pipeline on a real recording; prints the tables and rewrites docs/performance.md.
# Usage: scripts/bench.sh [build directory] [--reps N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
shift || true
doc=$root/docs/performance.md
# Real photographs and a real recording, when Debian's opencv-doc is installed: from a smooth
# scene (fruits, home) to fine texture everywhere (baboon, starry_night).
samples=/usr/share/doc/opencv-doc/examples/data
if [ -z "${AMBREVO_BENCH_PICTURE:-}" ]; then
  pictures=""
  for p in fruits.jpg home.jpg baboon.jpg starry_night.jpg; do
    [ -f "$samples/$p" ] && pictures="$pictures${pictures:+:}$samples/$p"
  done
  [ -n "$pictures" ] && export AMBREVO_BENCH_PICTURE=$pictures
fi
"$build/bin/ambrevo_bench" --out "$doc" "$@"
if [ -x "$build/bin/ambrevo_flow_bench" ]; then
  out=$(mktemp)
  "$build/bin/ambrevo_flow_bench" | tee "$out"
  {
    echo
    echo "## Flow tracker (bench/flow_bench.cpp, same run)"
    echo
    echo "Medians of 20 repetitions of 30 frames, CPU time; mode 2 against one cvtColor of the same"
    echo "frame, mode 4 on a real recording (vtest.avi from opencv-doc, when installed) against MOG2"
    echo "apply + findContours. *plain* is the same binary with AMBREVO_SCALAR=1."
    echo
    echo '```'
    sed -n '/^work (median/,$p' "$out"
    echo '```'
  } >> "$doc"
  rm -f "$out"
fi

# The crowd tracker on generated crowds against OpenCV's threshold and connected components.
if [ -x "$build/bin/ambrevo_crowd_bench" ]; then
  "$build/bin/ambrevo_crowd_bench" | tee -a "$doc"
fi

# The host over a whole recording with an annotated video: each stage alone, the stages one
# after the other (--threads 1) and overlapped (the default). Wall-clock seconds, best of 3.
video=$samples/vtest.avi
ambrevo=$build/bin/ambrevo
if [ -f "$video" ] && [ -x "$ambrevo" ]; then
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  printf '\n0 1 1 4 3\n' > "$tmp/mode4"  # flow tracker: background difference, 3 objects
  # Best of three runs; the seconds come from the run's last line.
  seconds() {
    local best=""
    for _ in 1 2 3; do
      local s
      s=$("$ambrevo" "$video" "$@" | tail -1 | sed -n 's/.* in \([0-9.]*\) s,.*/\1/p')
      [ -z "$best" ] || awk -v a="$s" -v b="$best" 'BEGIN { exit !(a < b) }' && best=$s
    done
    echo "$best"
  }
  decode=$(seconds --procedure nop --threads 1)
  table="| procedure | frames | decoding | module | drawing + encoding | sum (serial run) | pipelined | pipelined / slowest stage | same video |
|---|---:|---:|---:|---:|---:|---:|---:|---|"
  frames=$("$ambrevo" "$video" --procedure nop --threads 1 | tail -1 | sed -n 's/^ambrevo: \([0-9]*\) frames.*/\1/p')
  for job in "flowtrack mode 4:--config $tmp/mode4" "ccTrack:--procedure ccTrack"; do
    name=${job%%:*}
    read -r -a args <<< "${job#*:}"
    alone=$(seconds "${args[@]}" --threads 1)
    serial=$(seconds "${args[@]}" --threads 1 -o "$tmp/serial.mp4")
    piped=$(seconds "${args[@]}" -o "$tmp/piped.mp4")
    same=no
    cmp -s "$tmp/serial.mp4" "$tmp/piped.mp4" && same=yes
    table="$table
$(awk -v n="$name" -v f="$frames" -v d="$decode" -v a="$alone" -v s="$serial" -v p="$piped" -v same="$same" 'BEGIN {
      m = a - d; e = s - a; slow = d; if (m > slow) slow = m; if (e > slow) slow = e
      printf "| %s | %d | %.2f s | %.2f s | %.2f s | %.2f s | %.2f s (%.0f fps) | %.2f | %s |", n, f, d, m, e, s, p, f / p, p / slow, same
    }')"
  done
  echo "$table"
  {
    echo
    echo "## Host pipeline (vtest.avi with -o, same run)"
    echo
    echo "\`ambrevo vtest.avi -o out.mp4\`, wall-clock seconds, best of 3 runs, $(nproc) hardware threads."
    echo "*decoding*: the pass-through procedure without outputs; *module*: the procedure without"
    echo "outputs less decoding; *drawing + encoding*: the serial run with \`-o\` less the run without;"
    echo "*sum (serial run)*: \`--threads 1 -o\`; *pipelined*: the default, three stages on threads of"
    echo "their own; *same video*: the two videos compared byte for byte."
    echo
    echo "$table"
  } >> "$doc"
fi

# The code to compare with, in the same run: AMBREVO_BENCH_BASELINE=DIR names the build folder
# of an earlier checkout (its bin/ambrevo_link_bench and bin/ambrevo), e.g. that of main.
baseline=${AMBREVO_BENCH_BASELINE:-}
[ -n "$baseline" ] && [ ! -d "$baseline/bin" ] && { echo "AMBREVO_BENCH_BASELINE: no $baseline/bin" >&2; exit 2; }

# Linking: the frame-by-frame linker on 200 and 10,000 objects a frame, the whole-run linker
# against it on the same 256 objects, and on 10,000 objects a frame.
if [ -x "$build/bin/ambrevo_link_bench" ]; then
  out=$(mktemp)
  "$build/bin/ambrevo_link_bench" | tee "$out"
  before=""
  if [ -n "$baseline" ] && [ -x "$baseline/bin/ambrevo_link_bench" ]; then
    before=$(mktemp)
    "$baseline/bin/ambrevo_link_bench" | tee "$before"
  fi
  {
    echo
    echo "## Linking (bench/link_bench.cpp, same run)"
    echo
    echo "BM_Link200/640 and /240: 200 objects wandering 3 px a frame on a square field 640 or 240 px"
    echo "wide, \`20,5\`, the time to link one frame. BM_Link10000/3840 and /1920: 10,000 objects a"
    echo "frame on 3840x2160 (about 29 px apart) and 1920x1080 (about 14 px apart, every object"
    echo "within one chain of gated pairs), \`15,5,predict\`; BM_Link10000WholeFrameGate: the same on"
    echo "1920x1080 with a gate of 100,000 px (every object within reach of every track, so that only"
    echo "the bounds on partners and groups hold the cost). BM_Global256: 256 objects at 3 px a frame"
    echo "over 100 frames of 1920x1080, \`15,5,predict,global\` (/1: with \`--animals 256\`), against"
    echo "BM_Frames256, the frame-by-frame linker on the same rows; BM_Global10000: 10,000 objects a"
    echo "frame over 30 frames. *per_frame*: CPU time over the frames."
    echo
    echo '```'
    sed -n '/^Benchmark/,$p' "$out"
    echo '```'
    if [ -n "$before" ]; then
      echo
      echo "The same benchmarks of the code in \`$baseline\` (its dense assignment), in this run, and"
      echo "the ratio new / old of CPU time (only those both have; the old code has no 10,000-object"
      echo "benchmarks, which its dense assignment of whole groups could not finish):"
      echo
      echo '```'
      sed -n '/^Benchmark/,$p' "$before"
      echo
      awk 'FNR == 1 { file++ } /^BM_/ { cpu = $4; if ($5 == "ms") cpu *= 1000; if ($5 == "s") cpu *= 1e6;
           if (file == 1) old[$1] = cpu; else if ($1 in old) printf "%-28s new/old %.2f\n", $1, cpu / old[$1] }' \
        "$before" "$out"
      echo '```'
      rm -f "$before"
    fi
  } >> "$doc"
  rm -f "$out"
fi

# Scoring: `ambrevo score` end to end (reading both files, CLEAR-MOT, IDF1), wall-clock seconds
# and peak memory, on generated files.
files=$build/bin/score_files_tool
if [ -x "$files" ] && [ -x "$ambrevo" ] && [ -x /usr/bin/time ]; then
  scores=$(mktemp -d)
  measure() {  # seconds and peak MB of one ambrevo score, or what stopped it
    local exe=$1 dir=$2 limit=$3 r
    r=$( { /usr/bin/time -f "%U %S %M" timeout "$limit" "$exe" score "$dir/tracks.csv" "$dir/truth.csv" > /dev/null; } 2>&1 | tail -1)
    case "$r" in
      *Command*|"") echo "did not finish in $limit s" ;;
      *) awk -v r="$r" 'BEGIN { split(r, v, " "); printf "%.2f s, %.0f MB", v[1] + v[2], v[3] / 1024 }' ;;
    esac
  }
  ratios=""
  started=$(cut -d' ' -f1-3 /proc/loadavg)
  table="| truth | track file | track identities | new | old |
|---|---|---:|---|---|"
  # The old code's dense matrix for 30,000 identities would need over 7 GB: not run there.
  for job in "1000 1000 10 yes" "1 1000 1 yes" "1 3000 1 yes" "1 30000 1 no" "1 70000 1 no"; do
    read -r objects frames piece compare <<< "$job"
    "$files" "$scores/s" --objects "$objects" --frames "$frames" --piece "$piece"
    rows=$((objects * frames))
    ids=$(( (frames + piece - 1) / piece * objects ))
    new=$(measure "$ambrevo" "$scores/s" 300)
    old="—"
    [ "$compare" = no ] && old="not run (a dense matrix of the identities squared)"
    [ "$compare" = yes ] && [ -n "$baseline" ] && [ -x "$baseline/bin/ambrevo" ] &&
      old=$(measure "$baseline/bin/ambrevo" "$scores/s" 300)
    table="$table
| $objects object$([ "$objects" = 1 ] || echo s), $rows rows | $rows rows | $ids | $new | $old |"
    [ "$compare" = yes ] && [ "$old" != "—" ] && ratios="$ratios $(awk -v n="${new%% s*}" -v o="${old%% s*}" \
      'BEGIN { if (o + 0 > 0) printf "%.2f", n / o; else printf "-" }')"
  done
  echo "$table"
  {
    echo
    echo "## Scoring (bench/score_files_tool.cpp, ambrevo score; same run)"
    echo
    echo "\`ambrevo score tracks.csv truth.csv\` on generated files: true objects wandering 2 px a frame"
    echo "on 3840x2160, and tracks that follow each within a pixel but break every frame (one identity"
    echo "per row) or every 10 frames (1,000 objects). CPU time (user and system) and peak memory of"
    echo "the whole process, reading both files included; *old*: the code in \`${baseline:-(none given)}\`,"
    echo "in this run, stopped after 300 s. Ratios new / old of the time, where both ran:$ratios."
    echo "Load average at the start: $started."
    echo
    echo "$table"
  } >> "$doc"
  rm -rf "$scores"
fi

# Crowds end to end: the generated scenes through ambrevo with the crowd procedure, scored
# against their truth with `ambrevo score`.
tool=$build/bin/crowd_scene_tool
if [ -x "$ambrevo" ] && [ -x "$tool" ] && "$ambrevo" --list | grep -qx crowd; then
  crowd=$(mktemp -d)
  "$tool" "$crowd/s24" > /dev/null
  "$tool" "$crowd/s256" --discs 256 --size 1920x1080 --arenas 1 --frames 100 > /dev/null
  read -r -a rois24 <<< "$(tr '\n' ' ' < "$crowd/s24/arenas.txt")"
  # Frames per second of the whole process, start to exit, best of three, and in brackets the
  # run's own figure (from the first frame read to the last written: without the start-up of
  # the libraries and without the linking after the last frame); the score's lines as they are.
  fps() {
    local best=0 own=0
    for _ in 1 2 3; do
      local start end line
      start=$(date +%s.%N)
      line=$("$ambrevo" "$@" --quiet | tail -1)
      end=$(date +%s.%N)
      best=$(awk -v n="${line#ambrevo: }" -v s="$start" -v e="$end" -v b="$best" 'BEGIN { n += 0; f = n / (e - s); printf "%.1f", (f > b) ? f : b }')
      own=$(awk -v f="$(sed -n 's/.* s, \([0-9.]*\) fps$/\1/p' <<< "$line")" -v b="$own" 'BEGIN { printf "%.1f", (f > b) ? f : b }')
    done
    echo "$best ($own)"
  }
  link24=15,5,predict,global
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  fps24=$(fps "$crowd/s24/scene.avi" --procedure crowd "${rois24[@]}" --animals 12,12 --link $link24 \
    --tracks "$crowd/t24.csv")
  online24=$(fps "$crowd/s24/scene.avi" --procedure crowd "${rois24[@]}" --animals 12,12 --link 15,5,predict \
    --tracks "$crowd/o24.csv")
  # Grey frames are the decoder's luma, Motion JPEG decoded on every core; in colour, OpenCV's
  # reader hands BGR, the baseline.
  fps256=$(fps "$crowd/s256/scene.avi" --procedure crowd --grey --animals 256 --link 15,5,predict,global \
    --tracks "$crowd/t256.csv")
  plain256=$(fps "$crowd/s256/scene.avi" --procedure crowd --grey --animals 256 --tracks "$crowd/p256.csv")
  colour256=$(fps "$crowd/s256/scene.avi" --procedure crowd --animals 256 --link 15,5,predict,global \
    --tracks "$crowd/c256.csv")
  {
    echo
    echo "## Crowds end to end (crowd scene tool, ambrevo, ambrevo score; same run)"
    echo
    echo "24 discs in two arenas, 200 frames, 640x480: \`--procedure crowd ${rois24[*]} --animals 12,12"
    echo "--link $link24\` at $fps24 frames per second (the frame-by-frame \`--link 15,5,predict\`: $online24):"
    echo
    echo '```'
    "$ambrevo" score "$crowd/t24.csv" "$crowd/s24/truth.csv"
    echo '```'
    echo
    echo "The same with the frame-by-frame linker:"
    echo
    echo '```'
    "$ambrevo" score "$crowd/o24.csv" "$crowd/s24/truth.csv"
    echo '```'
    echo
    echo "256 discs, 100 frames, 1920x1080, MJPEG: \`--procedure crowd --grey --animals 256 --link"
    echo "15,5,predict,global --tracks t.csv\` at $fps256 frames per second end to end on $(nproc) hardware"
    echo "threads, best of 3 (without linking: $plain256; the difference is linking, at the whole-process"
    echo "rate $(awk -v a="${fps256%% *}" -v b="${plain256%% *}" 'BEGIN { printf "%.2f", (a > 0 && b > 0) ? 1000 / a - 1000 / b : 0 }') ms a frame). In colour, without \`--grey\`"
    echo "(OpenCV's reader, BGR frames), the baseline: $colour256. Load average then: $load:"
    echo
    echo '```'
    "$ambrevo" score "$crowd/t256.csv" "$crowd/s256/truth.csv"
    echo '```'
  } | tee -a "$doc"
  rm -rf "$crowd"
fi

# Crowds on lab-like footage: bending fish crossing over each other, resting flies under
# flickering uneven light, light animals with shadows, a dark mirroring rim, larvae of two
# sizes, flashes and dimming, a camera that shakes; each as a new user runs it
# (scripts/crowd_scores.sh).
if [ -x "$ambrevo" ] && [ -x "$tool" ] && "$ambrevo" --list | grep -qx crowd; then
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  table=$("$root/scripts/crowd_scores.sh" --build "$build" | tee /dev/stderr)
  {
    echo
    echo "## Crowds on lab footage (crowd scene tool --kind, ambrevo, ambrevo score; same run)"
    echo
    echo "Generated lab footage (bench/lab_scene.h, docs/crowd.md#generated-lab-footage) with exact truth: the centre"
    echo "of mass of each drawn body. Each video run as the docs tell a new user: \`--procedure crowd --set"
    echo "polarity=P --animals N --roi circle:…\` (the arena drawn on the visible wall), with"
    echo "\`--link 15,5,predict,global\` (*global*) and with the frame-by-frame \`--link 15,5,predict\`; scored by"
    echo "\`ambrevo score\` (radius 5 px). *overlapping*: the share of animal positions whose body overlaps"
    echo "another's; *within 2 px*: the share of those overlapping by up to half a body whose reported centre"
    echo "(global run) lies within 2 px of the truth (scripts/crowd_overlaps.py). *fps*: frames over the whole"
    echo "process's wall time; *s/min*: wall seconds per minute of video at its 25 frames per second. $(nproc)"
    echo "hardware threads, load average $load at the start. \`scripts/crowd_scores.sh [kind …]\` repeats a part."
    echo
    echo "$table"
  } >> "$doc"
fi

# The Python package: track() against the program on the same input and settings, a Tracker
# fed frames one at a time against track() over the same frames (bench/python_bench.py). What
# the procedures print while they run is left out of the table.
if [ -f "$build/python/ambrevo/__init__.py" ] && [ -x "$ambrevo" ] && [ -x "$build/bin/crowd_scene_tool" ]; then
  out=$(mktemp)
  PYTHONPATH=$build/python /usr/bin/python3 "$root/bench/python_bench.py" --host "$ambrevo" \
    --scene-tool "$build/bin/crowd_scene_tool" > "$out" 2>/dev/null
  { echo; sed -n '/^## Python/,$p' "$out"; } | tee -a "$doc"
  rm -f "$out"
fi

# The desktop app's waits on its real window (offscreen): opening a video to its first
# preview, the preview after a change, a run in the window against the program's.
if [ -x "$build/bin/ambrevo_gui_bench" ]; then
  {
    echo
    QT_QPA_PLATFORM=offscreen "$build/bin/ambrevo_gui_bench" 2>/dev/null
    echo
    echo "Load average then: $(cut -d' ' -f1-3 /proc/loadavg)."
  } | tee -a "$doc"
fi
