#!/usr/bin/env bash
# The README's screenshots of ambrevo-gui: the real window, drawn offscreen (no display
# needed), set up, run and reviewed on a generated scene of eight discs in two arenas.
#   scripts/screenshots.sh [BUILD]    (default build/) writes docs/gui-setup.jpg, gui-run.jpg, gui-review.jpg
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
cmake --build "$build" --target ambrevo-gui-screenshots crowd_scene_tool -j "${JOBS:-2}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/bin/crowd_scene_tool" "$work" --discs 8 --arenas 2 --frames 150 --size 800x450 --seed 3 >/dev/null
tool=$(realpath "$build/bin/ambrevo-gui-screenshots")
# In the scene's folder, so that the window shows short file names.
# shellcheck disable=SC2046  # one region per word
(cd "$work" && QT_QPA_PLATFORM=offscreen "$tool" scene.avi . $(sed 's/^--roi //' arenas.txt))
cp "$work"/gui-*.jpg docs/
ls -l docs/gui-*.jpg
