#!/usr/bin/env bash
# The project's test command, from a fresh machine: installs what is missing, builds, runs
# every test. Extra arguments go to cmake (e.g. -DQUILLET_ASAN=ON); BUILD_DIR picks the
# build folder (default: build).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
jobs="$(nproc)"

bash "$root/scripts/setup.sh"

cmake -S "$root" -B "$build" -G Ninja "$@"
cmake --build "$build" -j "$jobs"

status=0
(cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 300) || status=1

# The Windows side of the platform layer must keep compiling.
bash "$root/scripts/check-win32.sh" || status=1

# Every fuzz target builds and runs for a short while, so that none of them rots.
bash "$root/scripts/fuzz.sh" --smoke || status=1

if [ -f "$root/scripts/service-windows.sh" ]; then
  bash "$root/scripts/service-windows.sh" || status=1
fi

# The library for Windows: Quillet.dll, its unit tests and sample host rounds under Wine.
if [ -f "$root/scripts/library-windows.sh" ]; then
  BUILD_DIR="$build" bash "$root/scripts/library-windows.sh" || status=1
fi

exit $status
