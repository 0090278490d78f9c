#!/usr/bin/env bash
# Compiles the win32 platform files of the sync library with the MinGW-w64 cross compiler,
# so Windows code cannot rot on a Linux-only test run.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cxx="${MINGW_CXX:-x86_64-w64-mingw32-g++-posix}"
command -v "$cxx" >/dev/null || { echo "check-win32: $cxx not found (run scripts/setup.sh)"; exit 1; }

# dll_main_win32.cc needs the cross-built OpenSSL headers; before they exist (a fresh
# machine) scripts/library-windows.sh builds it with the rest.
cache="${QUILLET_CROSS_PREFIX:-/opt/quillet-cross}"
skip="_test\.cc$"
extra=()
if [ -f "$cache/include/openssl/crypto.h" ]; then
  extra=(-isystem "$cache/include")
else
  skip="_test\.cc$|dll_main_win32\.cc$"
fi

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
count=0
# exports.cc proves the header's export and calling-convention macros on Windows.
for src in $(ls "$root"/sync/platform/win32/*.cc | grep -Ev "$skip") "$root"/sync/platform/text.cc "$root"/sync/platform/path_form.cc \
  "$root"/sync/interface/exports.cc; do
  "$cxx" -std=c++17 -Wall -Wextra -Werror -DUNICODE -D_UNICODE -DQUILLET_BUILDING \
    -I"$root" -I"$root/include" "${extra[@]}" -c "$src" -o "$out/$(basename "$src").o"
  count=$((count + 1))
done
echo "check-win32: $count files compile for Windows"
