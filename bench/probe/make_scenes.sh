#!/bin/bash
# Makes the probe scenes with lab_probe_tool: every kind twice, 300 frames at 640x480, seed 1
# in H.264 (scene.mp4) and seed 2 in Motion JPEG (scene.avi), each in its own folder KIND_SEED
# with truth.csv, options.txt and scene.txt. Builds the tool first.
#
#   bench/probe/make_scenes.sh [SCENES_DIR]      (default build/probe_scenes; JOBS=N at once, default 2)
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
cmake --build "$root/build" --target lab_probe_tool
tool=$root/build/bin/lab_probe_tool
out=${1:-$root/build/probe_scenes}
mkdir -p "$out"
for kind in zebra ants worms mice beetles daphnia dense_flies; do
  for seed in 1 2; do
    codec=h264; [ $seed = 2 ] && codec=mjpeg
    "$tool" "$out/${kind}_$seed" --kind $kind --seed $seed --frames 300 --size 640x480 --codec $codec &
    while [ $(jobs -r | wc -l) -ge ${JOBS:-2} ]; do sleep 0.5; done
  done
done
wait
