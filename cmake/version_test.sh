#!/usr/bin/env bash
# The project version, as CMake knows it, must be the one every artefact states: the
# changelog's newest entry, the library's file name and soname, quillet.pc, the CMake
# package, the reference's title, the Debian changelog and the version macros a host
# compiles against in quillet.h.
#   version_test.sh VERSION CHANGELOG LIBRARY PC-FILE CONFIG-VERSION-FILE DOXYFILE HEADER
#                   DEBIAN-CHANGELOG CC
set -uo pipefail
version="$1" changelog="$2" library="$3" pc="$4" config_version="$5" doxyfile="$6"
header="$7" debian_changelog="$8" cc="$9"
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
agree "debian/changelog" "$(sed -n '1s/^quillet (\([^)]*\)).*/\1/p' "$debian_changelog")" "$version"

# What a host sees: the macros as the compiler reads them, not as the file spells them.
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cat >"$work/version.c" <<'C'
#include <stdio.h>
#include "quillet.h"
#if QUILLET_VERSION_NUMBER != QUILLET_VERSION_MAJOR * 1000000 + QUILLET_VERSION_MINOR * 1000 + QUILLET_VERSION_PATCH
#error "QUILLET_VERSION_NUMBER does not match its parts"
#endif
int main(void) {
  printf("%d.%d.%d %s %ld\n", QUILLET_VERSION_MAJOR, QUILLET_VERSION_MINOR, QUILLET_VERSION_PATCH,
         QUILLET_VERSION_STRING, (long)QUILLET_VERSION_NUMBER);
  return 0;
}
C
if "$cc" -std=c11 -Wall -Werror -I "$(dirname "$header")" "$work/version.c" -o "$work/version"; then
  IFS=. read -r v_major v_minor v_patch <<<"$version"
  agree "quillet.h version macros" "$("$work/version")" \
    "$version $version $((v_major * 1000000 + v_minor * 1000 + v_patch))"
else
  echo "FAIL  quillet.h version macros do not compile"
  failed=1
fi
exit $failed
