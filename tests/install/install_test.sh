#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small C program against the
# installed copy twice: once with pkg-config, once with find_package(Ambrevo).
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
test -x "$prefix/bin/ambrevo"
"$prefix/bin/ambrevo" --list | grep -qx flowtrack   # finds its module at ../lib

cat > "$work/tiny.c" <<'C'
#include <stdio.h>
#include <string.h>
#include "ambrevo.h"
int main(void) {
    ambrevo_procedure* p = NULL;
    if (ambrevo_create("flowtrack", 32, 24, 1, &p) != AMBREVO_OK) return 1;
    double v = 0;
    int ok = ambrevo_param_get(p, "BrojObjekata", &v) == AMBREVO_OK;
    ambrevo_destroy(p);
    printf("%s %s %g\n", ambrevo_version(), ok ? "ok" : "failed", v);
    return ok ? 0 : 1;
}
C
libdir=$(ls -d "$prefix"/lib*/pkgconfig | head -1)
PKG_CONFIG_PATH=$libdir cc -std=c99 -Wall -Werror "$work/tiny.c" -o "$work/tiny-pc" \
  $(PKG_CONFIG_PATH=$libdir pkg-config --cflags --libs ambrevo)
"$work/tiny-pc" | grep -q " ok "

mkdir "$work/cm"
cat > "$work/cm/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.16)
project(tiny C)
find_package(Ambrevo 1 REQUIRED)
add_executable(tiny ../tiny.c)
target_link_libraries(tiny PRIVATE Ambrevo::ambrevo)
CM
cmake -S "$work/cm" -B "$work/cm/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cm/build" >/dev/null
"$work/cm/build/tiny" | grep -q " ok "
echo "installed copy usable through pkg-config and find_package"
