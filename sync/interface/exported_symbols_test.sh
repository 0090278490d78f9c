#!/usr/bin/env bash
# Fails when the shared library exports anything but the eight C functions, or exports
# them outside the QUILLET_1 version node that hosts' binaries record.
set -euo pipefail
lib="$1"
expected="DownUnstructFile EndSync InitCloudSync ParseException StopSync SyncDataNoReason SyncDataWithReason UninitCloudSync"
actual=$(nm -D --defined-only "$lib" | awk '$2 != "A" {print $NF}' | sed 's/@.*//' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exported: $actual"
  echo "expected: $expected"
  exit 1
fi
versioned=$(nm -D --defined-only "$lib" | awk '$2 != "A" {print $NF}' | grep -c '@@QUILLET_1$' || true)
if [ "$versioned" != 8 ]; then
  echo "exports in the QUILLET_1 node: $versioned of 8"
  nm -D --defined-only "$lib"
  exit 1
fi
echo "exports: exactly the eight functions, all in QUILLET_1"
