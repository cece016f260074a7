#!/usr/bin/env bash
# The pictures of ambrevo-gui in docs/: the walk-through test (tests/gui/walkthrough_test.cpp)
# drives the real window offscreen (no display needed) through a first analysis of a generated
# scene of eight discs in two arenas, and writes a screenshot of each step.
#   scripts/screenshots.sh [BUILD]    (default build/) writes docs/img/gui-*.png, 900 pixels wide in
#   256 colours (some 100 to 150 kB each)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target test_gui_walkthrough ambrevo_module -j "${JOBS:-2}"
mkdir -p docs/img
AMBREVO_GUI_SHOTS=$PWD/docs/img QT_QPA_PLATFORM=offscreen "$build/bin/test_gui_walkthrough"
ls -l docs/img/gui-*.png
