#!/usr/bin/env bash
# Installs the Debian packages the build needs, when some are missing.
# As root it runs apt-get; otherwise it prints the exact command and fails.
# `deps.sh demo` installs only what the program and the module need (make demo);
# `deps.sh module` only what the module needs (the compiler, CMake and Highway);
# `deps.sh windows` installs instead what the Windows builds and their tests need: the
# MinGW-w64 cross compilers, GoogleTest's sources and Highway's headers, and Wine.
# pandas, tqdm and matplotlib: the Python package's tables, progress bar and the docs' plots (tests/python).
# `--check` after the set: installs nothing, and fails when some of it is missing.
set -euo pipefail

# The program needs five of OpenCV's modules (cmake/modules/FindOpenCV.cmake finds them
# without the package of them all).
demo=(g++ make cmake pkg-config libhwy-dev libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
      libopencv-videoio-dev libopencv-highgui-dev libavformat-dev libavcodec-dev libswscale-dev liblemon-dev
      nlohmann-json3-dev)
packages=("${demo[@]}" libopencv-dev libgtest-dev libgmock-dev libbenchmark-dev ffmpeg xvfb xauth xdotool qt6-base-dev
          python3-dev pybind11-dev python3-numpy python3-pytest python3-opencv python3-setuptools python3-pip
          python3-venv python3-build snakemake python3-pandas python3-tqdm python3-matplotlib ccache)
if [ "${1:-}" = module ]; then
  packages=(g++ make cmake libhwy-dev)
elif [ "${1:-}" = demo ]; then
  packages=("${demo[@]}")
elif [ "${1:-}" = windows ]; then
  packages=(cmake make python3 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest libhwy-dev
            wine wine64)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
[ "${2:-}" = --check ] && exit 1

cmd="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. Run as root:" >&2
  echo "  apt-get update && $cmd" >&2
  exit 1
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
