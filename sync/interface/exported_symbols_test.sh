#!/usr/bin/env bash
# Fails when the shared library exports anything but the eight C functions.
set -euo pipefail
lib="$1"
expected="DownUnstructFile EndSync InitCloudSync ParseException StopSync SyncDataNoReason SyncDataWithReason UninitCloudSync"
actual=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sed 's/@.*//' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$actual" != "$expected" ]; then
  echo "exported: $actual"
  echo "expected: $expected"
  exit 1
fi
echo "exports: exactly the eight functions"
