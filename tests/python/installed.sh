#!/usr/bin/env bash
# The Python suite against the package as pip installs it: a wheel built the documented way
# (python3 -m build when installed, else pip's own), installed into a fresh virtual
# environment that sees Debian's numpy, pytest and OpenCV, and imported from an unrelated
# folder. Nothing is downloaded. AMBREVO_BUILD_DIR lets the wheel reuse the configured build.
# The build runs without a terminal, so that the progress it tells goes into its log.
set -euo pipefail
src=$1 build=$2 host=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 -m venv --system-site-packages "$work/env"
export AMBREVO_BUILD_DIR=$build PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1
if /usr/bin/python3 -c "import build" 2>/dev/null; then
  (cd "$src" && setsid -w /usr/bin/python3 -m build --no-isolation --wheel --outdir "$work/wheel" > "$work/build.log" 2>&1) ||
    { cat "$work/build.log"; exit 1; }
  "$work/env/bin/pip" install --quiet "$work"/wheel/ambrevo-*.whl
  export AMBREVO_WHEEL=$(ls "$work"/wheel/ambrevo-*.whl) AMBREVO_BUILD_LOG=$work/build.log
else
  "$work/env/bin/pip" install --quiet --no-build-isolation "$src"
fi
cd "$work"
export AMBREVO_HOST=$host AMBREVO_SCENE_TOOL=$build/bin/crowd_scene_tool
"$work/env/bin/python" -c "import ambrevo, sys; sys.exit(not ambrevo.__file__.startswith('$work/env'))"
"$work/env/bin/python" -m pytest -q -p no:cacheprovider "$src/tests/python"
