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

# Linking: the whole-run linker against the frame-by-frame one on the same 256 objects.
if [ -x "$build/bin/ambrevo_link_bench" ]; then
  out=$(mktemp)
  "$build/bin/ambrevo_link_bench" --benchmark_filter=256 | tee "$out"
  {
    echo
    echo "## Linking 256 objects (bench/link_bench.cpp, same run)"
    echo
    echo "256 objects at 3 px a frame over 100 frames of 1920x1080, \`15,5,predict\`. *per_frame*: CPU"
    echo "time over the frames. BM_Global256/0: \`,global\`; /1: with \`--animals 256\`; BM_Frames256:"
    echo "the frame-by-frame linker, the baseline."
    echo
    echo '```'
    sed -n '/^Benchmark/,$p' "$out"
    echo '```'
  } >> "$doc"
  rm -f "$out"
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
