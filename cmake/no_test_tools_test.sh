#!/usr/bin/env bash
# Configures the project with CTest's -DBUILD_TESTING=OFF, as a distribution or a host
# building from source does, and checks that neither GoogleTest nor cpp-httplib is looked
# up (the configure trace never reaches them) and that the install still holds the
# library, the header, the package files and the docs. The Debian package test builds and
# installs exactly this configuration.
#   no_test_tools_test.sh SOURCE-DIR
set -euo pipefail
src="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake -S "$src" -B "$work/build" -G Ninja -DBUILD_TESTING=OFF -DQUILLET_DOCS=OFF \
  --trace-expand --trace-redirect="$work/trace.log" >"$work/configure.log" 2>&1 ||
  { cat "$work/configure.log"; fail "configuring with -DBUILD_TESTING=OFF"; }
trace="$(cat "$work/trace.log")"
[ -n "$trace" ] || fail "cmake wrote no trace"
looked_up="$(grep -E 'find_package\( *(GTest|GMock|GoogleTest)|include\( *GoogleTest|pkg_check_modules\([^)]*(cpp-httplib|CPPHTTPLIB)|find_path\([^)]*httplib' <<<"$trace" || true)"
[ -z "$looked_up" ] || fail "looked up with testing off: $looked_up"

targets="$(ninja -C "$work/build" -t targets all)"
grep -q 'libQuillet.so' <<<"$targets" || fail "no libQuillet.so target"
grep -qiE 'gtest|quillet_sync_server|_tests?\b' <<<"$targets" &&
  fail "test targets with testing off: $(grep -iE 'gtest|quillet_sync_server|_tests?\b' <<<"$targets" | head -3)"
grep -q 'add_test' "$work/build/CTestTestfile.cmake" 2>/dev/null && fail "tests registered with testing off"

installs="$(cat "$work/build/cmake_install.cmake")"
for file in quillet.h QuilletConfig.cmake QuilletTargets quillet.pc.in log4cpp.nt.property \
  host-guide.md THIRD-PARTY-NOTICES; do
  grep -q "$file" <<<"$installs" || fail "the install lacks $file"
done
echo "BUILD_TESTING=OFF: no GoogleTest, no cpp-httplib; library, header, package files and docs installed"
