#!/usr/bin/env bash
# The main job on the built-in scene: the flow tracker follows three dark discs for 300
# frames and writes ambrevo-demo.mp4 (annotated video) and ambrevo-demo.csv (tracks) to
# the current folder, then prints its tracking error against the scene's true centres.
set -euo pipefail
build=${1:-build}
if [ ! -x "$build/bin/ambrevo" ]; then
  echo "demo: $build/bin/ambrevo is not built (the host needs OpenCV: run 'make deps', then 'make demo')" >&2
  exit 1
fi
exec "$build/bin/ambrevo" demo
