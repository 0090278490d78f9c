#!/usr/bin/env bash
# Lays out and zips the Windows release from an installed Windows build, in the layout
# hosts expect (see docs/windows-zip-README.txt), with SHA256SUMS of every file, and the
# debug symbols in a zip of their own.
#   package-windows.sh INSTALL-DIR LOG4CPP-DLL-DIR NATIVE-BUILD-DIR OUT-DIR
# Prints the zip's path.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
installed="$1" log4cpp="$2" native="$3" out="$4"
version="$(sed -n 's/^project(Quillet VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
name="Quillet-$version-win64"
stage="$out/$name"
rm -rf "$stage" "$out/$name.zip"
mkdir -p "$stage/examples" "$stage/docs" "$stage/source"

cp -r "$installed/bin" "$installed/lib" "$installed/include" "$stage/"
mkdir -p "$stage/examples/bookmarks"
cp "$root"/examples/bookmarks/*.c "$root"/examples/bookmarks/*.h \
  "$root/examples/bookmarks/CMakeLists.txt" "$stage/examples/bookmarks/"
rm -f "$stage"/examples/bookmarks/*_test.c
cp -r "$root/examples/msvc_host" "$stage/examples/"
cp "$root/docs/host-guide.md" "$root/docs/abi.md" "$stage/docs/"
if [ -d "$native/docs/reference/html" ]; then
  cp -r "$native/docs/reference/html" "$stage/docs/reference"
fi
cp -r "$log4cpp/source" "$stage/source/log4cpp"
sed "s/@VERSION@/$version/g" "$root/docs/windows-zip-README.txt" >"$stage/README"
cp "$root/LICENSE" "$root/THIRD-PARTY-NOTICES" "$root/CHANGELOG.md" "$stage/"

(cd "$stage" && find . -type f ! -name SHA256SUMS | LC_ALL=C sort | sed 's|^\./||' |
  xargs -d '\n' sha256sum >SHA256SUMS)
# Stable order and no extra attributes, so the same files make the same zip.
(cd "$out" && find "$name" | LC_ALL=C sort | zip -q -X -@ "$name.zip")

# The debug symbols apart (INSTALL-DIR/debug): <name>-debug.zip, whose files go beside the
# DLLs they belong to.
if [ -d "$installed/debug" ]; then
  debug_stage="$out/$name-debug"
  rm -rf "$debug_stage" "$out/$name-debug.zip"
  mkdir -p "$debug_stage/bin"
  cp "$installed"/debug/*.debug "$debug_stage/bin/"
  cat >"$debug_stage/README" <<README
Debug symbols of Quillet $version for 64-bit Windows

bin/Quillet.dll.debug holds the DWARF of bin/Quillet.dll of Quillet-$version-win64.zip,
which names it (.gnu_debuglink, with its CRC). Put it beside Quillet.dll; gdb and
other DWARF-reading debuggers then load it on their own. log4cpp.dll ships without
symbols: rebuild it from source/log4cpp of the release zip to debug it.
README
  (cd "$debug_stage" && find . -type f ! -name SHA256SUMS | LC_ALL=C sort | sed 's|^\./||' |
    xargs -d '\n' sha256sum >SHA256SUMS)
  (cd "$out" && find "$name-debug" | LC_ALL=C sort | zip -q -X -@ "$name-debug.zip")
fi
echo "$out/$name.zip"
