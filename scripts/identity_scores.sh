#!/usr/bin/env bash
# Identities by appearance (include/ambrevo/pipeline/tracks/identity.h) on generated footage: each scene of
# bench/identity_scenes.txt (or --catalogue FILE) made once, run through the crowd procedure
# with the settings the docs give a user (polarity, count, arena) and the whole-run linker
# (15,5,predict,global) by build/bin/crowd_identity, then the identity pass over the linked
# tracks; both scored against the truth as `ambrevo score` scores them. Prints a Markdown
# table: per scene MOTA, IDF1 and identity switches of the linked tracks and of the
# identities, and the identity pass's own time, in seconds and in seconds per minute of video
# (at the video's frame rate).
#
#   scripts/identity_scores.sh [--build DIR] [--scenes DIR] [--catalogue FILE] [--keep] [NAME|KIND ...]
#
# NAME is one scene of the catalogue, KIND every scene of a kind; none: every scene. Scenes
# are made into --scenes (default BUILD/crowd_scenes, shared with crowd_scores.sh) unless
# there, made with the same arguments. With --keep each scene's folder keeps linked.csv and
# identified.csv (frame,object,x,y and the identity's confidence) for `ambrevo score`.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build
scenes=""
catalogue=$root/bench/identity_scenes.txt
keep=0
wanted=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$(cd "$2" && pwd); shift 2 ;;
    --scenes) scenes=$2; shift 2 ;;
    --catalogue) catalogue=$2; shift 2 ;;
    --keep) keep=1; shift ;;
    -h|--help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) wanted+=("$1"); shift ;;
  esac
done
scenes=${scenes:-$build/crowd_scenes}
tool=$build/bin/crowd_scene_tool
identity=$build/bin/crowd_identity
for program in "$tool" "$identity"; do
  [ -x "$program" ] || { echo "identity_scores: $program is missing (cmake --build $build --target crowd_scene_tool crowd_identity)" >&2; exit 2; }
done

. "$root/scripts/scene_catalogue.sh"

echo "| scene | frames | linked: MOTA | IDF1 | switches | identities: MOTA | IDF1 | switches | learning s | s per minute of video |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
grep -v '^#' "$catalogue" | while IFS='|' read -r name kind args counts; do
  [ -n "$name" ] || continue
  selected "$name" "$kind" || continue
  dir=$scenes/$name
  make_scene "$dir" "$args"
  if [ "$kind" = discs ]; then
    video=$dir/scene.avi
    read -r -a options <<< "$(tr '\n' ' ' < "$dir/arenas.txt") --animals $counts"
    fps=25
  else
    video=$dir/$(json "$dir" video)
    read -r -a options < "$dir/options.txt"
    fps=$(json "$dir" fps)
  fi
  out=()
  [ "$keep" = 1 ] && out=(--out "$dir")
  line=$("$identity" "$video" "$dir/truth.csv" "${out[@]}" -- "${options[@]}" 2>/dev/null | tail -1) || line=""
  [ -n "$line" ] || { echo "| $name | failed | | | | | | | | |"; continue; }
  echo "$line" | awk -v n="$name" -v r="$fps" '{
    printf "| %s | %d | %.3f | %.3f | %d | %.3f | %.3f | %d | %.3f | %.2f |\n", n, $1, $3, $4, $5, $6, $7, $8, $9, $9 * 60 * r / $1 }'
done
