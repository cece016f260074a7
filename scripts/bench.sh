#!/usr/bin/env bash
# Per-frame costs of the procedures against OpenCV, measured in one run; prints the tables
# and rewrites docs/performance.md. Usage: scripts/bench.sh [build directory] [--reps N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
shift || true
# A real photograph and a real recording, when Debian's opencv-doc is installed.
samples=/usr/share/doc/opencv-doc/examples/data
if [ -z "${AMBREVO_BENCH_PICTURE:-}" ] && [ -f "$samples/fruits.jpg" ]; then
  export AMBREVO_BENCH_PICTURE=$samples/fruits.jpg
fi
"$build/bin/ambrevo_bench" --out "$root/docs/performance.md" "$@"
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
  } >> "$root/docs/performance.md"
  rm -f "$out"
fi
