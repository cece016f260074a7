# Shared by the scripts that score runs on generated scenes (crowd_scores.sh,
# identity_scores.sh): sourced, with `wanted` (the names and kinds asked for) and `tool` (the
# scene tool) set by the caller.

# Whether a scene of this name and kind was asked for (none asked: every one).
selected() {
  [ ${#wanted[@]} -eq 0 ] && return 0
  local w
  for w in "${wanted[@]}"; do [ "$w" = "$1" ] || [ "$w" = "$2" ] && return 0; done
  return 1
}

# Makes the scene unless it is there, made by this tool with these arguments.
make_scene() {
  local dir=$1 args=$2
  if [ -f "$dir/args.txt" ] && [ "$(cat "$dir/args.txt")" = "$args" ] && [ "$dir/args.txt" -nt "$tool" ]; then
    return
  fi
  rm -rf "$dir"
  mkdir -p "$dir"
  read -r -a list <<< "$args"
  "$tool" "$dir" "${list[@]}" > "$dir/made.txt"
  echo "$args" > "$dir/args.txt"
}

# A value of the scene's scene.json.
json() { sed -n "s/.*\"$2\": \([^,]*\).*/\1/p" "$1/scene.json" | head -1 | tr -d '"'; }
