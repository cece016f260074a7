#!/usr/bin/env bash
# make demo's set-up: installs what the program needs and builds the program and the module.
# The module needs only the compiler and Highway, so on a machine that still lacks the
# program's packages (OpenCV, LEMON, FFmpeg) it is compiled while they install: the
# two take about as long, the one on the processors, the other mostly on disk and network.
# Usage: scripts/demo_build.sh BUILD JOBS [CMAKE FLAGS…]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$1 jobs=$2
shift 2
# The module alone, configured without looking for what is still being installed; then the
# whole program in the same tree, where the module is already built.
alone=(-DAMBREVO_HOST=OFF -DAMBREVO_TESTS=OFF -DAMBREVO_BENCH=OFF -DAMBREVO_GUI=OFF
       -DCMAKE_DISABLE_FIND_PACKAGE_OpenCV=ON)
whole=()

./scripts/deps.sh module
if ! ./scripts/deps.sh demo --check; then
  whole=(-DAMBREVO_HOST=ON -DAMBREVO_TESTS=ON -DAMBREVO_BENCH=ON -DAMBREVO_GUI=ON
         -DCMAKE_DISABLE_FIND_PACKAGE_OpenCV=OFF)
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  ./scripts/deps.sh demo > "$log" 2>&1 &
  installing=$!
  built=0
  { cmake -S . -B "$build" "$@" "${alone[@]}" > /dev/null &&
    cmake --build "$build" -j "$jobs" --target ambrevo_module; } || built=$?
  installed=0
  wait "$installing" || installed=$?
  cat "$log"
  [ "$installed" -eq 0 ] || exit "$installed"
  [ "$built" -eq 0 ] || exit "$built"
fi
cmake -S . -B "$build" "$@" "${whole[@]}"
cmake --build "$build" -j "$jobs" --target ambrevo
