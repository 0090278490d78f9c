#!/usr/bin/env bash
# The project version, as CMake knows it, must be the one every artefact states: the
# changelog's newest entry, the library's file name and soname, quillet.pc, the CMake
# package and the reference's title.
#   version_test.sh VERSION CHANGELOG LIBRARY PC-FILE CONFIG-VERSION-FILE DOXYFILE
set -uo pipefail
version="$1" changelog="$2" library="$3" pc="$4" config_version="$5" doxyfile="$6"
major="${version%%.*}"
failed=0
agree() { # agree WHAT FOUND
  if [ "$2" = "$3" ]; then
    echo "ok    $1: $2"
  else
    echo "FAIL  $1: found '$2', expected '$3'"
    failed=1
  fi
}

agree "CHANGELOG.md newest entry" \
  "$(sed -n 's/^## \[\([^]]*\)\].*/\1/p' "$changelog" | head -1)" "$version"
agree "library file" "$(basename "$(readlink -f "$library")")" "libQuillet.so.$version"
agree "soname" "$(objdump -p "$library" | awk '/SONAME/ {print $2}')" "libQuillet.so.$major"
agree "quillet.pc" "$(sed -n 's/^Version: //p' "$pc")" "$version"
agree "CMake package" "$(sed -n 's/^set(PACKAGE_VERSION "\(.*\)")$/\1/p' "$config_version")" "$version"
if [ -f "$doxyfile" ]; then
  agree "reference" "$(sed -n 's/^PROJECT_NUMBER *= *//p' "$doxyfile")" "$version"
fi
exit $failed
