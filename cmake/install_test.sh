#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a C host against it twice: through
# pkg-config and through the CMake package, the ways a host finds the library.
set -euo pipefail
build="$1"
src="$2"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir="$prefix/lib"
[ -d "$libdir" ] || libdir="$(dirname "$(find "$prefix" -name 'libQuillet.so' | head -n1)")"
test -f "$prefix/include/quillet.h"
test -L "$libdir/libQuillet.so"
soname=$(objdump -p "$libdir/libQuillet.so" | awk '/SONAME/ {print $2}')
[ "$soname" = "libQuillet.so.1" ] || { echo "unexpected soname: $soname"; exit 1; }

cat >"$prefix/host.c" <<'C'
#include <quillet.h>
#include <stdio.h>
int main(void) {
  int ok = ParseException(406) == 120 && SyncDataNoReason("none", "bookmark", 1, 1) == -1;
  puts(ok ? "host ok" : "host failed");
  return ok ? 0 : 1;
}
C
export PKG_CONFIG_PATH="$libdir/pkgconfig"
cc -std=c11 -Wall -Werror "$prefix/host.c" -o "$prefix/host-pc" $(pkg-config --cflags --libs quillet)
LD_LIBRARY_PATH="$libdir" "$prefix/host-pc"

mkdir -p "$prefix/consumer"
cat >"$prefix/consumer/CMakeLists.txt" <<CM
cmake_minimum_required(VERSION 3.20)
project(host C)
find_package(Quillet 1 REQUIRED)
add_executable(host ../host.c)
target_link_libraries(host PRIVATE Quillet::Quillet)
CM
cmake -S "$prefix/consumer" -B "$prefix/consumer/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/consumer/build" >/dev/null
LD_LIBRARY_PATH="$libdir" "$prefix/consumer/build/host"
echo "install: header, versioned library, pkg-config and CMake package all usable"
