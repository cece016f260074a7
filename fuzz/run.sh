#!/usr/bin/env bash
# Coverage-guided fuzzing with libFuzzer (clang): ./fuzz/run.sh [seconds]
set -euo pipefail
cd "$(dirname "$0")/.."
out=build-fuzz
mkdir -p "$out/corpus"
clang++ -std=c++20 -O1 -g -fsanitize=fuzzer,address,undefined -ffp-contract=off \
  -Isrc -Itests -DAMBREVO_BUILDING_MODULE \
  $(find src -name '*.cpp') tests/doubles/recording.cpp fuzz/fuzz_procedure.cpp \
  -o "$out/fuzz_procedure"
"$out/fuzz_procedure" -max_total_time="${1:-60}" -timeout=20 "$out/corpus"
