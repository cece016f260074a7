#!/usr/bin/env bash
# Per-frame costs of the procedures against OpenCV, measured in one run; prints the table
# and rewrites docs/performance.md. Usage: scripts/bench.sh [build directory] [--reps N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-build}
shift || true
exec "$build/bin/ambrevo_bench" --out "$root/docs/performance.md" "$@"
