#!/usr/bin/env bash
# Writes the ABI baseline from a built library: what abidw reads of the interface the
# exports reach (the records and callback table of quillet.h), without source locations or
# build paths, so that it stays small and reads the same from any checkout.
#   make_baseline.sh ABIDW LIBRARY SOURCE-DIR OUT-FILE
set -euo pipefail
abidw="$1" library="$2" src="$3" out="$4"
"$abidw" --exported-interfaces-only --no-corpus-path --no-comp-dir-path --no-show-locs \
  --no-elf-needed --type-id-style hash --out-file "$out.tmp" "$library"
sed "s|path='$src/|path='|" "$out.tmp" >"$out"
rm -f "$out.tmp"
echo "abi baseline: $(grep -c '<function-decl' "$out") functions, $(wc -c <"$out") bytes in $out"
