#!/usr/bin/env bash
# Windows side of the sync library: cross-builds its dependencies once (cached), builds
# Quillet.dll, the unit tests, the end-to-end tests and the sample host for Windows, checks
# the DLL's exports, imports and version resource, packs the release zip, runs both test
# programs under Wine in a private prefix, and syncs the Windows sample host (with the
# zip's DLLs) with the reference server running natively on 127.0.0.1, beside a native
# host, and a host built for the MSVC ABI against the zip's Quillet.lib. Where Windows and
# POSIX must agree (store directory = MD5 of the user id, store layout, log lines, request
# bytes), the two are compared. Always ends with "N passed, N failed"; non-zero exit on any
# failure.
#   QUILLET_CROSS_PREFIX  cache of cross-built dependencies (default /opt/quillet-cross)
#   LIBRARY_WIN_BUILD_DIR Windows build folder (default <repo>/build-lib-win)
#   BUILD_DIR             native build folder for the server and native host (default <repo>/build)
#   WINDOWS_PACKAGE_DIR   where the zip is left (default <native build>/packages)
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${QUILLET_CROSS_PREFIX:-/opt/quillet-cross}"
build="${LIBRARY_WIN_BUILD_DIR:-$root/build-lib-win}"
native="${BUILD_DIR:-$root/build}"
logs="$(mktemp -d /tmp/quillet-libwin-logs.XXXXXX)"
passed=0
failed=0
prefix=""
server_pid=""

pass() { echo "PASS $1"; passed=$((passed + 1)); }
fail() { echo "FAIL $1"; failed=$((failed + 1)); }
check() { # check NAME COMMAND...
  local name="$1"; shift
  if "$@"; then pass "$name"; else fail "$name"; return 1; fi
}
equals() { [ "$1" = "$2" ]; }

stop_server() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill "$server_pid" 2>/dev/null
    wait "$server_pid" 2>/dev/null
  fi
  server_pid=""
}
cleanup() {
  stop_server
  if [ -n "$prefix" ] && [ -d "$prefix" ]; then
    timeout 30 wineserver -k >/dev/null 2>&1 || true
    timeout 30 wineserver -w >/dev/null 2>&1 || true
    rm -rf "$prefix"
  fi
  rm -rf "$logs"
  [ -n "${unpacked:-}" ] && rm -rf "$unpacked"
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

for tool in x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump x86_64-w64-mingw32-nm \
  wine wineserver wineboot cmake ninja sqlite3 md5sum clang lld-link llvm-dlltool zip unzip \
  sha256sum; do
  command -v "$tool" >/dev/null || abort "tool $tool present (run scripts/setup.sh)"
done

# ---- Dependencies, built once per machine.
start=$SECONDS
QUILLET_CROSS_PREFIX="$cache" bash "$root/scripts/windows-deps.sh" \
  openssl curl sqlite jsoncpp log4cpp log4cpp-dll httplib >"$logs/deps.log" 2>&1 ||
  abort "cross-build the dependencies" "$logs/deps.log"
grep '^windows-deps:' "$logs/deps.log" | sed 's/^/  /'
echo "library-windows: dependencies ready in $cache ($((SECONDS - start)) s)"

# ---- The library, its tests and the sample host for Windows; the native server and host.
start=$SECONDS
{
  cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw64.cmake" \
    -DQUILLET_CROSS_PREFIX="$cache" -DCMAKE_BUILD_TYPE=Release &&
    cmake --build "$build" -j 2 &&
    rm -rf "$build/dist" && cmake --install "$build" --prefix "$build/dist" --strip &&
    # The DWARF apart, in Quillet.dll.debug, which the stripped DLL names with its CRC
    # (.gnu_debuglink), so gdb and other debuggers find it beside the DLL.
    mkdir -p "$build/dist/debug" &&
    x86_64-w64-mingw32-objcopy --only-keep-debug "$build/bin/Quillet.dll" \
      "$build/dist/debug/Quillet.dll.debug" &&
    (cd "$build/dist/debug" &&
      x86_64-w64-mingw32-objcopy --add-gnu-debuglink=Quillet.dll.debug "$build/dist/bin/Quillet.dll")
} >"$logs/build.log" 2>&1 ||
  abort "cross-build Quillet.dll, quillet_tests.exe, quillet_e2e_tests.exe and the sample host" "$logs/build.log"
pass "cross-build Quillet.dll, quillet_tests.exe, quillet_e2e_tests.exe and the sample host"
{
  cmake -S "$root" -B "$native" -G Ninja &&
    cmake --build "$native" -j 2 --target quillet_sync_server quillet_sync_server_certs quillet-bookmarks \
      quillet_reference
} >"$logs/native.log" 2>&1 || abort "native sync server and sample host" "$logs/native.log"
echo "library-windows: built in $((SECONDS - start)) s"

dll="$build/bin/Quillet.dll"
dist="$build/dist"
version="$(sed -n 's/^project(Quillet VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
# ---- What the DLL offers and needs.
exports="$(x86_64-w64-mingw32-objdump -p "$dll" |
  sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\]/ && NR > 1 {print $NF}' | sort | tr '\n' ' ')"
expected="DownUnstructFile EndSync InitCloudSync ParseException StopSync SyncDataNoReason SyncDataWithReason UninitCloudSync "
echo "  exports: $exports"
check "Quillet.dll exports exactly the eight functions, undecorated" equals "$exports" "$expected"
import_names() { x86_64-w64-mingw32-nm "$1" | awk '$2 == "I" && $3 ~ /^__imp_/ {sub(/^__imp_/, "", $3); print $3}' | sort | tr '\n' ' '; }
check "Quillet.lib (MSVC format) imports the same eight names" equals "$(import_names "$dist/lib/Quillet.lib")" "$expected"
check "libQuillet.dll.a (MinGW) imports the same eight names" equals "$(import_names "$dist/lib/libQuillet.dll.a")" "$expected"
check "installed as bin/, lib/, include/" test -f "$dist/bin/Quillet.dll" -a -f "$dist/bin/log4cpp.dll" \
  -a -f "$dist/lib/Quillet.lib" -a -f "$dist/lib/libQuillet.dll.a" -a -f "$dist/include/quillet.h"
dll_names() { x86_64-w64-mingw32-objdump -p "$@" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u; }
windows_own="^(kernel32|msvcrt|ws2_32|crypt32|bcrypt|advapi32|user32|ole32|oleaut32|winhttp|shell32|api-ms-win-.*)\.dll$"
needs="$(dll_names "$dll" "$build/bin/quillet_tests.exe" "$build/bin/quillet_e2e_tests.exe" \
  "$build/sample-host/quillet-bookmarks.exe")"
echo "  DLLs used: $(echo $needs)"
check "only Windows' own DLLs and log4cpp.dll are needed (the rest linked statically)" \
  bash -c '! grep -v "^log4cpp\.dll$" <<<"$1" | grep -qvE "$2"' _ "$needs" "$windows_own"
check "log4cpp.dll needs only Windows' own DLLs" \
  bash -c '! grep -qvE "$2" <<<"$1"' _ "$(dll_names "$dist/bin/log4cpp.dll")" "$windows_own"
dll_exports() { x86_64-w64-mingw32-objdump -p "$1" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/\]/ && NR > 1 {print $NF}'; }
runtime_exports="$(dll_exports "$dist/bin/log4cpp.dll" | grep -cE '^(pthread_|sem_|_Unwind_|__cxa_|__gxx_|__gcc_)' || true)"
check "log4cpp.dll exports no symbol of the runtimes linked into it ($runtime_exports)" equals "$runtime_exports" 0
# LGPL: log4cpp stays replaceable, so none of its code may be inside Quillet.dll.
check "Quillet.dll imports log4cpp from log4cpp.dll" grep -qx 'log4cpp.dll' <<<"$(dll_names "$dll")"
# Every log4cpp function Quillet.dll defines must be the import thunk of one it imports.
log4cpp_functions="$(x86_64-w64-mingw32-nm --defined-only "$dll" | awk '$2 == "T" && $3 ~ /^_ZNK?7log4cpp/ {print $3}' | sort -u)"
log4cpp_imports="$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n '/DLL Name: log4cpp.dll/,/^$/p' |
  awk 'NF >= 3 && $1 ~ /^[0-9a-f]+$/ {print $NF}' | sort -u)"
linked_in="$(comm -23 <(echo "$log4cpp_functions") <(echo "$log4cpp_imports") | grep -c . || true)"
check "Quillet.dll holds no log4cpp function of its own ($(grep -c . <<<"$log4cpp_imports") imported, $linked_in linked in)" \
  equals "$linked_in" 0

# ---- The release zip, in the layout hosts expect.
start=$SECONDS
package_dir="${WINDOWS_PACKAGE_DIR:-$native/packages}"
mkdir -p "$package_dir"
zip_file="$(bash "$root/scripts/package-windows.sh" "$dist" "$cache/log4cpp-dll" "$native" \
  "$package_dir" 2>"$logs/package.log")" || abort "Windows zip packed" "$logs/package.log"
unpacked="$(mktemp -d /tmp/quillet-zip.XXXXXX)"
unzip -q "$zip_file" -d "$unpacked"
zip_root="$(find "$unpacked" -mindepth 1 -maxdepth 1 -type d)"
echo "  package: $(basename "$zip_file") $(stat -c %s "$zip_file") bytes, $(find "$zip_root" -type f | wc -l) files"
check "zip named by the project version" equals "$(basename "$zip_file")" "Quillet-$version-win64.zip"
layout_ok=1
for f in bin/Quillet.dll bin/log4cpp.dll bin/log4cpp.nt.property lib/Quillet.lib lib/libQuillet.dll.a \
  include/quillet.h examples/bookmarks/host_main.c examples/msvc_host/msvc_host.c README LICENSE \
  THIRD-PARTY-NOTICES SHA256SUMS docs/host-guide.md source/log4cpp/BUILD.txt \
  source/log4cpp/mingw-w64-int64.patch; do
  [ -f "$zip_root/$f" ] || { echo "  missing in the zip: $f"; layout_ok=0; }
done
check "zip holds bin/, lib/, include/, examples/, docs/, the log4cpp source and the notices" equals "$layout_ok" 1
check "zip holds the source package of its log4cpp.dll" \
  bash -c 'ls "$1"/source/log4cpp/*.orig.tar.* >/dev/null 2>&1' _ "$zip_root"
check "SHA256SUMS covers every file and matches" bash -c \
  'cd "$1" && sha256sum --quiet -c SHA256SUMS && [ "$(wc -l <SHA256SUMS)" = "$(find . -type f ! -name SHA256SUMS | wc -l)" ]' _ "$zip_root"
check "the zip's Quillet.dll is the one installed (stripped)" cmp -s "$zip_root/bin/Quillet.dll" "$dist/bin/Quillet.dll"
# The debug zip beside it: Quillet.dll.debug, named by the shipped DLL with its CRC, and
# mapping the DLL's addresses to the library's sources.
debug_zip="${zip_file%.zip}-debug.zip"
debug_root="$unpacked/debug"
check "debug zip packed beside it ($(basename "$debug_zip"))" unzip -q "$debug_zip" -d "$debug_root"
debug_file="$(find "$debug_root" -name Quillet.dll.debug | head -1)"
debuglink_matches() { # debuglink_matches DLL DEBUG-FILE: the link's name and CRC are the file's
  x86_64-w64-mingw32-objcopy --dump-section .gnu_debuglink="$logs/debuglink" "$1" "$logs/scratch.dll" &&
    python3 - "$logs/debuglink" "$2" <<'PY'
import sys, zlib, os
link = open(sys.argv[1], "rb").read()
name = link.split(b"\0", 1)[0].decode()
crc = int.from_bytes(link[-4:], "little")
data = open(sys.argv[2], "rb").read()
sys.exit(0 if name == os.path.basename(sys.argv[2]) and crc == zlib.crc32(data) else 1)
PY
}
check "the zip's Quillet.dll names Quillet.dll.debug with its CRC" \
  debuglink_matches "$zip_root/bin/Quillet.dll" "$debug_file"
init_address="$(x86_64-w64-mingw32-nm "$debug_file" | awk '$3 == "InitCloudSync" {print $1}')"
init_source="$(x86_64-w64-mingw32-addr2line -e "$debug_file" "0x$init_address" 2>/dev/null)"
echo "  InitCloudSync at 0x$init_address: $init_source"
check "Quillet.dll.debug maps InitCloudSync to its source" \
  bash -c '[[ "$1" == */sync/interface/*.cc:[0-9]* ]]' _ "$init_source"
# A MinGW-w64 host builds from the zip alone through its CMake package (SQLite, which the
# sample keeps its bookmarks in, comes from the host's side: here the build's cache).
zip_sample="$unpacked/sample-build"
check "the zip's bookmarks sample builds with MinGW-w64 through find_package(Quillet)" bash -c \
  'cmake -S "$1/examples/bookmarks" -B "$2" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$3" \
     -DQUILLET_CROSS_PREFIX="$4" -DQuillet_DIR="$1/lib/cmake/Quillet" -DCMAKE_BUILD_TYPE=Release \
     >"$5" 2>&1 && cmake --build "$2" >>"$5" 2>&1 && [ -f "$2/quillet-bookmarks.exe" ] &&
     [ -f "$2/log4cpp.nt.property" ]' \
  _ "$zip_root" "$zip_sample" "$root/cmake/toolchain-mingw64.cmake" "$cache" "$logs/zip-sample.log" ||
  tail -20 "$logs/zip-sample.log"
echo "library-windows: zip packed and checked in $((SECONDS - start)) s"

# ---- Wine: a private prefix.
start=$SECONDS
prefix="$(mktemp -d /tmp/quillet-wine.XXXXXX)"
export WINEPREFIX="$prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
timeout 120 wineboot -i >"$logs/wineboot.log" 2>&1 || abort "wine prefix created" "$logs/wineboot.log"
timeout 60 wineserver -w
wineserver -p
echo "library-windows: wine prefix ready in $((SECONDS - start)) s"
win() { timeout 600 wine "$@" 2>>"$logs/wine.log" | tr -d '\r'; }

# ---- Unit and end-to-end tests, every test counted. Both programs find Cacert.pem (the
#      test CA) and test_certs/ (the in-process servers' certificates) beside them.
start=$SECONDS
tests_dir="$prefix/drive_c/quillet/tests"
mkdir -p "$tests_dir"
cp "$build/bin/quillet_tests.exe" "$build/bin/quillet_e2e_tests.exe" \
  "$build/bin/quillet_c_header_test.exe" "$build/bin/Cacert.pem" \
  "$root/config/log4cpp.nt.property" "$tests_dir/"
cp -r "$build/bin/test_certs" "$tests_dir/"
gtest_counted() { # gtest_counted LABEL LOG RC: one result per test, then the program's verdict
  local label="$1" log="$2" rc="$3" verdict name
  while read -r verdict name; do
    case "$verdict" in
      OK) pass "$label: $name" ;;
      FAILED) fail "$label: $name" ;;
    esac
  done < <(sed -n 's/^\[ *\(OK\|FAILED\) *\] \([^ ]*\) (.*/\1 \2/p' "$log")
  if grep -q '^\[  SKIPPED \]' "$log"; then
    grep '^\[  SKIPPED \] [^ ]* (' "$log" | sed "s/^/  $label skipped: /"
  fi
  grep -q '^\[  PASSED  \]' "$log" && [ "$rc" -eq 0 ] ||
    { fail "$label test program completed"; grep -B2 -A12 '^\[ RUN' "$log" | grep -B12 'FAILED  \]' | head -80; }
}
# Left out on Windows, each for a reason of Windows itself:
#   deleting a log file the logger holds open, which Windows refuses.
posix_only="LogWritersTest.ANewRoundRecreatesADeletedLogFile"
echo "  unit tests left out as POSIX-only: ${posix_only//:/ }"
# From inside the prefix's C: drive, so that a test's rooted path ("\x") stays in the prefix.
(cd "$tests_dir" && win 'C:\quillet\tests\quillet_tests.exe' --gtest_color=no "--gtest_filter=-$posix_only") >"$logs/unit.log"
gtest_counted unit "$logs/unit.log" $?
check "C header: record layouts on Windows" win 'C:\quillet\tests\quillet_c_header_test.exe'
# The version resource, read through version.dll as installers read it.
cp "$build/bin/quillet_version_info.exe" "$zip_root/bin/Quillet.dll" "$tests_dir/"
info="$(win 'C:\quillet\tests\quillet_version_info.exe' 'C:\quillet\tests\Quillet.dll')"
echo "$info" | sed 's/^/  /'
check "Quillet.dll version resource: $version" equals \
  "$(grep -E '^(FixedFileVersion|FixedProductVersion|FileType|FileVersion|ProductVersion|ProductName|OriginalFilename)=' <<<"$info" | tr '\n' ' ')" \
  "FixedFileVersion=$version.0 FixedProductVersion=$version.0 FileType=2 FileVersion=$version ProductVersion=$version ProductName=Quillet OriginalFilename=Quillet.dll "
cp "$zip_root/bin/log4cpp.dll" "$tests_dir/"
log4cpp_version="$(ls "$zip_root"/source/log4cpp/ | sed -n 's/^log4cpp_\([0-9.]*\)\.orig\..*/\1/p' | head -1)"
info="$(win 'C:\quillet\tests\quillet_version_info.exe' 'C:\quillet\tests\log4cpp.dll')"
echo "$info" | sed 's/^/  /'
check "log4cpp.dll version resource: log4cpp $log4cpp_version" equals \
  "$(grep -E '^(FileType|FileVersion|ProductName|OriginalFilename)=' <<<"$info" | tr '\n' ' ')" \
  "FileType=2 FileVersion=$log4cpp_version ProductName=log4cpp OriginalFilename=log4cpp.dll "
echo "library-windows: unit tests took $((SECONDS - start)) s"

start=$SECONDS
e2e_left_out=""
[ -n "$e2e_left_out" ] && echo "  end-to-end tests left out under Wine: ${e2e_left_out//:/ }"
(cd "$tests_dir" && win 'C:\quillet\tests\quillet_e2e_tests.exe' --gtest_color=no ${e2e_left_out:+"--gtest_filter=-$e2e_left_out"}) >"$logs/e2e.log"
gtest_counted e2e "$logs/e2e.log" $?
echo "library-windows: end-to-end tests took $((SECONDS - start)) s"

# ---- Sample hosts: Windows (under Wine) and native, through the native reference server.
start=$SECONDS
work="$(mktemp -d /tmp/quillet-libwin-work.XXXXXX)"
host_dir="$prefix/drive_c/quillet/host"
mkdir -p "$host_dir"
# The DLLs and log configuration from the zip, as a host would ship them.
cp "$zip_root"/bin/* "$build/sample-host/quillet-bookmarks.exe" "$host_dir/"
cp "$native/sync-server-certs/ca.pem" "$host_dir/Cacert.pem"
native_host="$native/sample-host/quillet-bookmarks"
certs="$native/sync-server-certs"

start_server() { # start_server NAME: a fresh server with its data in $work/NAME.db and
  #                 every request it receives in $work/NAME.requests
  stop_server
  rm -f "$work/port"
  "$native/bin/quillet_sync_server" --cert "$certs/server.pem" --key "$certs/server.key" \
    --port 0 --port-file "$work/port" --data "$work/$1.db" --record "$work/$1.requests" \
    >"$work/$1.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 1 100); do
    [ -s "$work/port" ] && break
    sleep 0.1
  done
  [ -s "$work/port" ] || return 1
  url="https://127.0.0.1:$(cat "$work/port")/"
}
profile() { # profile DIR USER: a host.ini for the current server
  mkdir -p "$1"
  printf 'server=%s\nuser=%s\ntoken=tok\nbatch=2\n' "$url" "$2" >"$1/host.ini"
}
on_win() { local p="$1"; shift; win 'C:\quillet\host\quillet-bookmarks.exe' --profile "C:\\quillet\\$p" "$@"; }
on_posix() { local p="$1"; shift; "$native_host" --profile "$work/$p" "$@"; }
snapshot() { sqlite3 "$1/bookmarks.db" "SELECT title || ' <' || url || '>' FROM bookmarks;" | LC_ALL=C sort; }
pending() { sqlite3 "$1/bookmarks.db" "SELECT count(*) FROM bookmarks WHERE state != 0;"; }

# 1. A Windows laptop and a native desktop of one user converge.
start_server shared || abort "native sync server started" "$work/shared.log"
laptop="$prefix/drive_c/quillet/laptop"
profile "$laptop" mixed-user
profile "$work/desktop" mixed-user
{
  on_win laptop add "Debian" "https://www.debian.org/" &&
    on_win laptop add "SQLite" "https://sqlite.org/" &&
    on_win laptop add 'Tea "time"' "https://tea.example/?a=1&b=2" &&
    on_win laptop sync
} >"$logs/laptop1.log" 2>&1
check "Windows host: first sync uploads" grep -q 'uploaded' "$logs/laptop1.log"
on_posix desktop sync >"$logs/desktop1.log" 2>&1
check "native host receives the Windows host's 3 bookmarks" equals "$(snapshot "$work/desktop" | wc -l)" 3
{
  on_posix desktop add "Kernel" "https://kernel.org/" &&
    on_posix desktop remove "$(sqlite3 "$work/desktop/bookmarks.db" "SELECT luid FROM bookmarks WHERE title='Debian';")" &&
    on_posix desktop sync
} >>"$logs/desktop1.log" 2>&1
{
  on_win laptop edit 2 "SQLite home" "https://www.sqlite.org/" && on_win laptop sync &&
    on_win laptop list
} >>"$logs/laptop1.log" 2>&1
on_posix desktop sync >>"$logs/desktop1.log" 2>&1
stop_server
server_count=$(sqlite3 "$work/shared.db" "SELECT count(*) FROM records WHERE user='mixed-user' AND collection='bookmark';")
check "Windows and native hosts converge on the server's 3 bookmarks" equals \
  "$(snapshot "$laptop")|$(pending "$laptop")|$(pending "$work/desktop")|$server_count" \
  "$(snapshot "$work/desktop")|0|0|3"
check "Windows host holds the native host's edit and the other side's changes" \
  equals "$(snapshot "$laptop" | tr '\n' ';')" \
  'Kernel <https://kernel.org/>;SQLite home <https://www.sqlite.org/>;Tea "time" <https://tea.example/?a=1&b=2>;'

# 2. The files the library wrote on Windows: store directory named by the MD5 of the user
#    id, hidden, the store inside; the log directory with its three logs.
md5="$(printf '%s' mixed-user | md5sum | cut -c1-32)"
win_files="$(cd "$laptop" && find . -path ./bookmarks.db -prune -o -path ./host.ini -prune -o -type f -print | LC_ALL=C sort)"
posix_files="$(cd "$work/desktop" && find . -path ./bookmarks.db -prune -o -path ./host.ini -prune -o -type f -print | LC_ALL=C sort)"
echo "$win_files" | sed 's/^/  windows: /'
check "Windows store lies in a directory named by the user id's MD5" grep -qi "$md5" <<<"$win_files"
check "store and log file layout agree between Windows and POSIX" equals "$win_files" "$posix_files"
attrs="$(win cmd /c attrib /d 'C:\quillet\laptop\data\*')"
echo "  attrib: $attrs"
check "Windows store directory is hidden" grep -qE '^ *[A-Z ]*H[A-Z ]* +C:.*\\data\\Quillet$' <<<"$attrs"
store_schema() { # the schema and row counts of every SQLite file under a profile, by relative name
  (cd "$1" && for f in $(find . -type f ! -name bookmarks.db ! -name host.ini ! -name '*.log*' | LC_ALL=C sort); do
    if sqlite3 "$f" .schema >/dev/null 2>&1; then
      echo "$f"; sqlite3 "$f" .schema
      for t in $(sqlite3 "$f" "SELECT name FROM sqlite_master WHERE type='table' ORDER BY name;"); do
        echo "$t $(sqlite3 "$f" "SELECT count(*) FROM \"$t\";")"
      done
    fi
  done)
}
check "store schema and row counts agree between Windows and POSIX" equals \
  "$(store_schema "$laptop")" "$(store_schema "$work/desktop")"

# 3. The same rounds on each platform, each against a fresh server: the sync log lines
#    agree once times, ids and numbers are masked.
twin_round() { # twin_round RUNNER PROFILE-DIR PROFILE-NAME
  local run="$1" dir="$2" name="$3"
  start_server "twin-$name" || return 1
  profile "$dir" twin-user
  "$run" "$name" add "One" "https://one.example/" && "$run" "$name" add "Two" "https://two.example/" &&
    "$run" "$name" sync && "$run" "$name" edit 1 "One again" "https://one.example/1" &&
    "$run" "$name" sync
  stop_server
}
twin_round on_posix "$work/twin-posix" twin-posix >"$logs/twin-posix.log" 2>&1
twin_round on_win "$prefix/drive_c/quillet/twin-win" twin-win >"$logs/twin-win.log" 2>&1
normalized_log() { # every *.log line of the library under a profile, masked
  find "$1" -name 'Quillet_*.log' | LC_ALL=C sort | while read -r f; do
    echo "== $(basename "$f")"
    tr -d '\r' <"$f" | sed -E 's/^[0-9-]+ [0-9:,]+ //; s#[A-Za-z]:\\[^ ]*|/[^ ]*/[^ ]*#PATH#g; s/[0-9a-f]{32}/ID/g; s/\b[0-9a-f]{8}-[0-9]+\b/CTAG/g; s/[0-9]+/N/g'
  done
}
posix_log="$(normalized_log "$work/twin-posix")"
win_log="$(normalized_log "$prefix/drive_c/quillet/twin-win")"
check "sync logs were written on both platforms" test -n "$posix_log" -a -n "$win_log"
if ! check "log lines agree between Windows and POSIX" equals "$win_log" "$posix_log"; then
  diff <(echo "$posix_log") <(echo "$win_log") | head -20
fi
check "twin rounds leave the same records on both servers" equals \
  "$(sqlite3 "$work/twin-twin-win.db" "SELECT CAST(data AS TEXT) FROM records ORDER BY 1;")" \
  "$(sqlite3 "$work/twin-twin-posix.db" "SELECT CAST(data AS TEXT) FROM records ORDER BY 1;")"

# 4. The twin rounds' requests as the server received them: method, target, every header and
#    the body agree byte for byte, once what must differ between two runs is masked: the
#    server's port (Host), the device id inside Authorization (WMI serial vs DMI serial), the
#    trace id's clock and random digits, and the ids and etags each server drew at random
#    (numbered by first appearance, so a reused id must be reused at the same place). Masks
#    keep lengths, so Content-Length and the body lengths are compared unmasked.
hex32="$(printf '[0-9a-f]%.0s' $(seq 32))"
hex8="$(printf '[0-9a-f]%.0s' $(seq 8))"
normalized_requests() { # normalized_requests RECORD
  local line cred
  while IFS= read -r line; do
    case "$line" in
      "Host: "*) line="Host: 127.0.0.1:PORT" ;;
      "Authorization: "*)
        cred="$(printf '%s' "${line#Authorization: }" | tr -- '-_' '+/' | base64 -d 2>/dev/null)"
        line="Authorization, decoded: $(sed -E 's/^([^:]*):[^:]*:/\1:DEVICE:/' <<<"$cred")" ;;
      "x-qz-trace-id: "*) line="$(sed -E 's/_[0-9]+_[0-9]+$/_CLOCK_RANDOM/' <<<"$line")" ;;
    esac
    printf '%s\n' "$line"
  done <"$1" | awk -v id="$hex32" -v tag="$hex8-[0-9]+" '
    { out = ""
      while (match($0, id "|" tag)) {
        t = substr($0, RSTART, RLENGTH)
        if (!(t in seen)) seen[t] = (RLENGTH == 32 ? "ID" : "TAG") (++n)
        out = out substr($0, 1, RSTART - 1) seen[t]
        $0 = substr($0, RSTART + RLENGTH)
      }
      print out $0 }'
}
posix_requests="$(normalized_requests "$work/twin-twin-posix.requests")"
win_requests="$(normalized_requests "$work/twin-twin-win.requests")"
echo "  twin rounds: $(grep -c '^== ' <<<"$posix_requests") requests from each platform recorded"
check "the server recorded the twin rounds' requests" test -n "$posix_requests" -a -n "$win_requests"
if ! check "request bytes agree between Windows and POSIX" equals "$win_requests" "$posix_requests"; then
  diff <(echo "$posix_requests") <(echo "$win_requests") | head -30
fi
# 5. A host built for the MSVC ABI against the zip's Quillet.lib: clang for
#    x86_64-pc-windows-msvc and lld-link, no C runtime and nothing of MinGW (kernel32 from
#    an import library made from a .def), two rounds under Wine through the native server.
msvc_dir="$prefix/drive_c/quillet/msvc"
msvc_build="$work/msvc-build"
mkdir -p "$msvc_dir" "$msvc_build"
msvc_src="$zip_root/examples/msvc_host"
if {
  clang --target=x86_64-pc-windows-msvc -ffreestanding -fno-builtin -O2 -Wall -Wextra -Werror \
    -I "$zip_root/include" -c "$msvc_src/msvc_host.c" -o "$msvc_build/msvc_host.obj" &&
    llvm-dlltool -m i386:x86-64 -d "$msvc_src/kernel32.def" -l "$msvc_build/kernel32.lib" &&
    lld-link /nologo /entry:HostEntry /subsystem:console /nodefaultlib \
      /out:"$msvc_dir/msvc_host.exe" "$msvc_build/msvc_host.obj" "$zip_root/lib/Quillet.lib" \
      "$msvc_build/kernel32.lib"
} >"$logs/msvc-build.log" 2>&1; then
  pass "MSVC-ABI host compiled by clang and linked by lld-link against the zip's Quillet.lib"
  check "MSVC-ABI host imports Quillet.dll and kernel32.dll only" equals \
    "$(dll_names "$msvc_dir/msvc_host.exe" | tr '\n' ' ')" "kernel32.dll quillet.dll "
  cp "$zip_root"/bin/* "$msvc_dir/"
  cp "$native/sync-server-certs/ca.pem" "$msvc_dir/Cacert.pem"
  if start_server msvc; then
    QUILLET_HOST_SERVER="$url" QUILLET_HOST_USER=msvc-user \
      QUILLET_HOST_DIR='C:\quillet\msvc\profiles' win 'C:\quillet\msvc\msvc_host.exe' >"$logs/msvc.log"
    sed 's/^/  msvc: /' "$logs/msvc.log"
    check "MSVC-ABI host: the first round uploads, the second receives both records unchanged" \
      grep -q '^msvc host: both rounds done$' "$logs/msvc.log"
    stop_server
    check "the server holds the MSVC-ABI host's 2 records" equals \
      "$(sqlite3 "$work/msvc.db" "SELECT count(*) FROM records WHERE user='msvc-user';")" 2
  else
    fail "native sync server started for the MSVC-ABI host"
  fi
else
  fail "MSVC-ABI host compiled by clang and linked by lld-link against the zip's Quillet.lib"
  cat "$logs/msvc-build.log"
fi

# 6. The profile folders hosts really pass: separators, scripts, depth.
. "$root/scripts/windows-path-rows.sh"

# Unloading Quillet.dll before the host exits must leave nothing behind that runs later.
check "no Windows host run crashed" bash -c '! grep -l "Unhandled page fault\|Unhandled exception" "$@"' _ "$logs"/*.log
echo "library-windows: host rounds took $((SECONDS - start)) s"
rm -rf "$work"

if [ "$failed" -ne 0 ]; then
  for f in laptop1 desktop1 twin-win twin-posix; do
    echo "---- $f"; tail -15 "$logs/$f.log" 2>/dev/null
  done
  echo "---- wine stderr"; tail -20 "$logs/wine.log" 2>/dev/null
fi
