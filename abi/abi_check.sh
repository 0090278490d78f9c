#!/usr/bin/env bash
# Compares the library just built with the baseline: any change abidiff reports fails,
# except functions or variables added (a minor release; see docs/abi.md).
#   abi_check.sh ABIDIFF BASELINE LIBRARY
set -uo pipefail
abidiff="$1" baseline="$2" library="$3"
report="$("$abidiff" --no-added-syms --fail-no-debug-info "$baseline" "$library" 2>&1)"
status=$?
[ -z "$report" ] || echo "$report"
if [ "$status" -ne 0 ]; then
  echo "ABI check failed (abidiff exit $status): the change above breaks hosts built against"
  echo "this major version. Undo it, or see docs/abi.md for when the soname moves."
  exit 1
fi
added="$("$abidiff" --fail-no-debug-info "$baseline" "$library" | grep -c '^  \[A\]' || true)"
if [ "$added" -gt 0 ]; then
  echo "ABI: only additions to the baseline ($added function(s)); regenerate it at the release"
else
  echo "ABI: the baseline's interface, unchanged"
fi
