#!/usr/bin/env bash
# Coverage-guided fuzzing with clang's libFuzzer, AddressSanitizer and UndefinedBehaviorSanitizer.
#
#   fuzz/run.sh [SECONDS] [TARGET...]      (make fuzz FUZZ_SECONDS=N runs every target)
#
# Builds the targets in build-fuzz/ and runs each in turn for SECONDS (default $FUZZ_SECONDS,
# else 60), starting from its committed seeds in fuzz/corpus/<target>/. New inputs collect in
# build-fuzz/corpus/<target>/, a crashing input in build-fuzz/findings/<target>/, the log in
# build-fuzz/logs/<target>.log; the last line per target repeats libFuzzer's final figures.
# Replay a finding with the regular build: build/bin/<target>_replay FILE.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-${FUZZ_SECONDS:-60}}
[ $# -gt 0 ] && shift
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(fuzz_procedure fuzz_exports fuzz_dialogue fuzz_host)
  [ -f fuzz/fuzz_c_interface.cpp ] && [ -f src/adaptor/ambrevo.h ] && targets+=(fuzz_c_interface)
fi
out=build-fuzz

grep -qs '^AMBREVO_LIBFUZZER:BOOL=ON' "$out/CMakeCache.txt" ||
  cmake -S . -B "$out" -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_FLAGS="-O1 -fsanitize=fuzzer-no-link" -DAMBREVO_SANITIZE=ON -DAMBREVO_LIBFUZZER=ON \
    -DAMBREVO_BENCH=OFF >/dev/null
# FUZZ_BUILD=0 runs the binaries already built (while the sources are mid-edit, say).
[ "${FUZZ_BUILD:-1}" = 0 ] || nice -n 19 cmake --build "$out" -j "${JOBS:-2}" --target "${targets[@]}"

status=0
mkdir -p "$out/logs"
stamp="$out/logs/.started"
touch "$stamp"  # findings newer than this are this run's
for t in "${targets[@]}"; do
  mkdir -p "$out/corpus/$t" "$out/findings/$t"
  echo "== $t: $seconds s"
  # -close_fd_mask=1: the procedures' diagnostics on standard output would only slow the run.
  # One child process at a time (-fork=1) so that a finding is kept and the run goes on for
  # the whole time; FUZZ_STOP=1 stops at the first finding instead.
  mode=(-fork=1 -ignore_crashes=1 -ignore_ooms=1 -ignore_timeouts=1)
  [ "${FUZZ_STOP:-0}" = 1 ] && mode=()
  nice -n 19 "$out/bin/$t" "${mode[@]}" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 -max_len=1024 \
    -len_control=0 -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$out/findings/$t/" \
    "$out/corpus/$t" "fuzz/corpus/$t" >"$out/logs/$t.log" 2>&1 || status=1
  found=$(find "$out/findings/$t" -type f -newer "$stamp" | wc -l)
  [ "$found" -gt 0 ] && status=1 && echo "   $found new finding(s) in $out/findings/$t/, details in $out/logs/$t.log"
  echo "   $(grep -E '^#[0-9]+' "$out/logs/$t.log" | tail -1)"
done
exit $status
