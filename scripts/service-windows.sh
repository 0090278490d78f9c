#!/usr/bin/env bash
# Windows side of OrvexCoreService: cross-builds log4cplus once (cached), cross-builds
# OrvexCoreService.exe and OrvexServiceTest.exe, and runs the end-to-end tests under Wine
# in a private prefix. Always ends with "N passed, N failed"; non-zero exit on any failure.
#   QUILLET_CROSS_PREFIX   cache of cross-built dependencies (default /opt/quillet-cross)
#   SERVICE_WIN_BUILD_DIR  build folder (default <repo>/build-svc-win)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${QUILLET_CROSS_PREFIX:-/opt/quillet-cross}"
build="${SERVICE_WIN_BUILD_DIR:-$root/build-svc-win}"
logs="$(mktemp -d /tmp/orvex-service-logs.XXXXXX)"
passed=0
failed=0
prefix=""

pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
check() { # check NAME COMMAND...
  local name="$1"; shift
  if "$@"; then pass "$name"; else fail "$name"; fi
}

cleanup() {
  if [ -n "$prefix" ] && [ -d "$prefix" ]; then
    # The service must not outlive the test, nor its wineserver.
    timeout 60 wine "$test_exe" remove >/dev/null 2>&1 || true
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    timeout 30 wineserver -w >/dev/null 2>&1 || true
    rm -rf "$prefix"
  fi
  rm -rf "$logs"
}
finish() {
  local status=$?
  cleanup
  [ "$status" -ne 0 ] && [ "$failed" -eq 0 ] && failed=1
  echo "$passed passed, $failed failed"
  if [ "$failed" -eq 0 ]; then exit 0; else exit 1; fi
}
trap finish EXIT
trap 'exit 130' INT TERM

abort() { # a step without which nothing else can run
  fail "$1"
  [ -f "${2:-}" ] && tail -40 "$2"
  exit 1
}

for tool in x86_64-w64-mingw32-g++-posix wine wineserver wineboot cmake ninja; do
  command -v "$tool" >/dev/null || abort "tool $tool present (run scripts/setup.sh)"
done

# ---- log4cplus for Windows, built once per machine from Debian's source package (with
# the library's dependencies, by the same script and into the same cache).
build_log4cplus() {
  QUILLET_CROSS_PREFIX="$cache" bash "$root/scripts/windows-deps.sh" log4cplus
}
start=$SECONDS
build_log4cplus >"$logs/log4cplus.log" 2>&1 || abort "cross-build log4cplus" "$logs/log4cplus.log"
echo "service-windows: log4cplus ready in $cache ($((SECONDS - start)) s)"

# ---- The two programs.
start=$SECONDS
{
  cmake -S "$root/service" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
    -DQUILLET_CROSS_PREFIX="$cache" -DCMAKE_BUILD_TYPE=Release &&
    cmake --build "$build" -j "$(nproc)"
} >"$logs/build.log" 2>&1 || abort "cross-build OrvexCoreService.exe" "$logs/build.log"
pass "cross-build OrvexCoreService.exe and OrvexServiceTest.exe"
echo "service-windows: built in $((SECONDS - start)) s"

# ---- Wine: a private prefix with a persistent wineserver.
start=$SECONDS
prefix="$(mktemp -d /tmp/orvex-wine.XXXXXX)"
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
test_exe='C:\Program Files\Orvex Core\OrvexServiceTest.exe'
service_exe='C:\Program Files\Orvex Core\OrvexCoreService.exe'
timeout 120 wineboot -i >"$logs/wineboot.log" 2>&1 || abort "wine prefix created" "$logs/wineboot.log"
# Let the first-boot session end: in it, Wine's service manager does not open services
# created after boot with full access. The persistent server starts a clean session.
timeout 60 wineserver -w
wineserver -p
install_dir="$prefix/drive_c/Program Files/Orvex Core"
mkdir -p "$install_dir"
cp "$build/OrvexCoreService.exe" "$build/OrvexServiceTest.exe" "$install_dir/"
service_log="$install_dir/OrvexCoreService.log"
echo "service-windows: wine prefix ready in $((SECONDS - start)) s"

win() { timeout 120 wine "$@" 2>>"$logs/wine.log" | tr -d '\r'; }
status_of() { win "$test_exe" status; }
field() { sed -n "s/^.*\\b$1=\\([^ ]*\\).*$/\\1/p" <<<"$2" | head -1; }
has_line() { grep -qxF -- "$1" <<<"$2"; }
log_count() { grep -cF -- "$1" "$service_log" 2>/dev/null || true; }
equals() { [ "$1" = "$2" ]; }

# 0. The version resource, read through version.dll as installers read it, carries the
#    project's one version (top-level CMakeLists.txt).
version="$(sed -n 's/^project(Quillet VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
cp "$build/version_info.exe" "$install_dir/"
info="$(win 'C:\Program Files\Orvex Core\version_info.exe' "$service_exe")"
echo "$info" | sed 's/^/  /'
check "OrvexCoreService.exe version resource: $version" equals \
  "$(grep -E '^(FixedFileVersion|FixedProductVersion|FileType|FileVersion|ProductVersion|ProductName|OriginalFilename)=' <<<"$info" | tr '\n' ' ')" \
  "FixedFileVersion=$version.0 FixedProductVersion=$version.0 FileType=1 FileVersion=$version ProductVersion=$version ProductName=OrvexCoreService OriginalFilename=OrvexCoreService.exe "

start=$SECONDS
# 1. "START" installs and starts the service.
check "START run exits 0" timeout 120 wine "$service_exe" START
status="$(status_of)"
echo "$status" | sed 's/^/  /'
check "service RUNNING after START" equals "$(field state "$status")" 4
check "service accepts 0x87" equals "$(field controls "$status")" 0x87
check "service is auto-start, normal error control" has_line "start=2 error=1 svctype=0x10" "$status"
check "service binary path is the executable, quoted" \
  has_line "path=\"$service_exe\"" "$status"
check "actsvc holds the executable's path" has_line "actsvc=$service_exe" "$status"
first_pid="$(field pid "$status")"
check "log: installed, start pending, started" equals \
  "$(log_count 'WARN  Service installed successfully')/$(log_count '(SvcInstall) [')/$(log_count 'Service start pending...(DoStartSvc)')/$(log_count 'Service started successfully.(DoStartSvc)')" \
  "1/1/1/1"

# 2. A second "START" meets 1073, stops and deletes the old service, installs and starts.
check "second START run exits 0" timeout 120 wine "$service_exe" START
status="$(status_of)"
check "service RUNNING after second START" equals "$(field state "$status")" 4
second_pid="$(field pid "$status")"
check "service process was replaced" test -n "$second_pid" -a "$second_pid" != "$first_pid" -a "$second_pid" != 0
check "log: CreateService failed once (1073)" equals "$(log_count 'CreateService failed(SvcInstall)')" 1
check "log: stopped, deleted, installed and started again" equals \
  "$(log_count 'Service stopped successfully(DoStopSvc)')/$(log_count 'Service deleted successfully(DoDeleteSvc)')/$(log_count 'WARN  Service installed successfully')/$(log_count 'Service started successfully.(DoStartSvc)')" \
  "1/1/2/2"

# 2b. A service deleted while it runs stays marked for deletion until its process ends:
#     "START" then meets 1072, waits in steps, and installs once the old one is gone (a
#     stop control sent 2 s later ends it).
check "running service deleted from outside" win "$test_exe" delete
(sleep 2; win "$test_exe" stop >/dev/null) &
stopper=$!
wait_started=$SECONDS
check "START over a service marked for deletion exits 0" timeout 120 wine "$service_exe" START
wait "$stopper"
check "log: waited while the old service was marked for deletion" \
  equals "$(log_count 'Service marked for deletion, waiting(SvcInstall)')" 1
check "log: installed after the wait, no install error" equals \
  "$(log_count 'WARN  Service installed successfully')/$(log_count 'Service Install Error')/$(log_count 'CreateService failed(SvcInstall)')" \
  "3/0/1"
check "the wait ended within its 10 s bound" test $((SECONDS - wait_started)) -le 15
check "service RUNNING after the wait" equals "$(field state "$(status_of)")" 4

# 3. A stop control brings it to STOPPED.
check "stop control answered" win "$test_exe" stop
check "service STOPPED after stop control" equals "$(field state "$(status_of)")" 1

# 4. An existing "actsvc" entry is left alone, whatever it holds.
win reg add 'HKCU\Software\Orvex Core\QZID' /v actsvc /d 'C:\elsewhere.exe' /f >/dev/null
check "START with a stopped service exits 0" timeout 120 wine "$service_exe" START
status="$(status_of)"
check "service RUNNING after START from stopped" equals "$(field state "$status")" 4
check "existing actsvc value untouched" has_line 'actsvc=C:\elsewhere.exe' "$status"
check "log: already stopped before the delete" equals "$(log_count 'Service is already stopped(DoStopSvc)')" 1
check "stop control answered again" win "$test_exe" stop

# 5. Session events driven into the control handler, broker and account service running.
sessions="$(win "$test_exe" sessions)"
sessions_rc=$?
echo "$sessions" | sed 's/^/  /'
while read -r verdict name; do
  case "$verdict" in
    PASS) pass "sessions: $name" ;;
    FAIL) fail "sessions: $name" ;;
  esac
done <<<"$sessions"
if [ "$sessions_rc" -ne 0 ] || ! grep -q '^PASS' <<<"$sessions"; then
  fail "sessions program completed"
fi
# 6. A squatter on the broker pipe name can identify a client, never impersonate it.
pipe_out="$(win "$test_exe" pipe)"
echo "$pipe_out" | sed 's/^/  /'
while read -r verdict name; do
  case "$verdict" in
    PASS) pass "pipe: $name" ;;
    FAIL) fail "pipe: $name" ;;
  esac
done <<<"$pipe_out"
grep -q '^PASS' <<<"$pipe_out" || fail "pipe program completed"
echo "service-windows: wine tests took $((SECONDS - start)) s"

if [ "$failed" -ne 0 ]; then
  echo "---- OrvexCoreService.log"; cat "$service_log" 2>/dev/null
  echo "---- wine stderr"; tail -40 "$logs/wine.log" 2>/dev/null
fi
