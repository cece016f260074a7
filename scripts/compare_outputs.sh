#!/usr/bin/env bash
# Runs the recorded set of calls (scripts/golden.sh) with two builds and compares everything
# they leave behind, to show that a change keeps its outputs:
#
#   scripts/compare_outputs.sh OLD/bin/ambrevo NEW/bin/ambrevo [WORK_DIR]
#
# Each executable's build folder gives the module, the Python package and the app beside it.
# Exit status 0 when every run agrees; the differences are listed otherwise.
set -euo pipefail
exec "$(dirname "$0")/golden.sh" --compare "$(dirname "$(dirname "$(realpath "$1")")")" \
  "$(dirname "$(dirname "$(realpath "$2")")")" ${3:+"$3"}
