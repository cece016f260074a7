#!/usr/bin/env bash
# Per-frame costs of the procedures against OpenCV, measured in one run.
set -euo pipefail
build=${1:-build}
exec "$build/bin/ambrevo_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true
