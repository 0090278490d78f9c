#!/usr/bin/env bash
# Builds the Debian packages with CPack, unpacks them into a scratch root (dpkg -x, as an
# unprivileged stand-in for dpkg -i), checks what they hold and declare, builds the sample
# host from the development package's sources against them, once through pkg-config and
# once through find_package, and syncs both builds through the reference server: what one
# uploads, the other receives, each using the packaged library.
#   package_test.sh BUILD-DIR VERSION SERVER-BINARY CERT-DIR
set -euo pipefail
# shellcheck source=../tools/sync_server/start_server.sh
source "$(dirname "${BASH_SOURCE[0]}")/../tools/sync_server/start_server.sh"
build="$1" version="$2" server_bin="$3" certs="$4"
major="${version%%.*}"
runtime="libquillet$major" dev="libquillet-dev"
work="$(mktemp -d)"
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
start=$SECONDS

# ---- The packages.
rm -rf "$build/packages/_CPack_Packages" "$build"/packages/*.deb
cpack --config "$build/CPackConfig.cmake" -B "$build/packages" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
arch="$(dpkg --print-architecture)"
runtime_deb="$build/packages/${runtime}_${version}_$arch.deb"
dev_deb="$build/packages/${dev}_${version}_$arch.deb"
for deb in "$runtime_deb" "$dev_deb"; do
  [ -f "$deb" ] || { ls -l "$build/packages"; fail "no $(basename "$deb")"; }
  echo "package: $(basename "$deb") $(stat -c %s "$deb") bytes"
done
echo "packages built in $((SECONDS - start)) s"

field() { dpkg-deb -f "$1" "$2"; }
[ "$(field "$runtime_deb" Version)" = "$version" ] || fail "runtime package version"
[ "$(field "$dev_deb" Version)" = "$version" ] || fail "development package version"
# The runtime package names what the library links; each must be installable here.
depends="$(field "$runtime_deb" Depends)"
echo "$runtime depends: $depends"
for lib in libcurl4 libsqlite3-0 libssl3 libjsoncpp25 liblog4cpp5v5; do
  grep -qw "$lib" <<<"$depends" || fail "$runtime does not depend on $lib"
done
for name in $(tr ',' '\n' <<<"$depends" | sed 's/(.*//; s/|.*//' | tr -d ' '); do
  status="$(dpkg-query -W -f='${Status}' "$name" 2>/dev/null || true)"
  [[ "$status" == *"install ok installed"* ]] ||
    fail "dependency $name is not installed on this machine"
done
grep -q "$runtime (= $version)" <<<"$(field "$dev_deb" Depends)" ||
  fail "$dev does not depend on $runtime (= $version)"
dpkg-deb --control "$runtime_deb" "$work/control"
[ -f "$work/control/shlibs" ] || fail "$runtime has no shlibs"

# ---- Installed into a scratch root.
root="$work/root"
dpkg -x "$runtime_deb" "$root"
dpkg -x "$dev_deb" "$root"
usr="$root/usr"
libdir="$(dirname "$(find "$usr" -name "libQuillet.so.$version" | head -1)")"
[ -n "$libdir" ] && [ "$libdir" != . ] || fail "no libQuillet.so.$version in the packages"
for f in "$libdir/libQuillet.so.$major" "$libdir/libQuillet.so" "$usr/include/quillet.h" \
  "$libdir/pkgconfig/quillet.pc" "$libdir/cmake/Quillet/QuilletConfig.cmake" \
  "$usr/share/quillet/log4cpp.nt.property" "$usr/share/doc/$runtime/copyright" \
  "$usr/share/doc/$runtime/THIRD-PARTY-NOTICES" "$usr/share/doc/$dev/host-guide.md" \
  "$usr/share/doc/$dev/examples/bookmarks/CMakeLists.txt"; do
  [ -e "$f" ] || fail "missing ${f#"$root"}"
done
[ -f "$usr/share/doc/$dev/reference/index.html" ] || echo "note: no HTML reference (no doxygen)"
# Listings are read whole before they are matched: under pipefail a grep -q that stops
# at its first match can kill the writer with SIGPIPE and turn a match into a failure.
runtime_files="$(dpkg -c "$runtime_deb")" dev_files="$(dpkg -c "$dev_deb")"
grep -q 'include/' <<<"$runtime_files" && fail "$runtime holds headers"
grep -q "libQuillet.so.$version" <<<"$dev_files" && fail "$dev holds the library itself"
echo "scratch root: $(find "$root" -type f | wc -l) files"

# ---- The sample host from the packaged sources, built two ways against the packages.
examples="$usr/share/doc/$dev/examples/bookmarks"
export PKG_CONFIG_PATH="$libdir/pkgconfig"
[ "$(pkg-config --modversion quillet)" = "$version" ] || fail "pkg-config version"
mkdir -p "$work/pc"
# shellcheck disable=SC2046 # word splitting of the flags is wanted
cc -Wall -Wextra -Werror "$examples"/*.c -o "$work/pc/quillet-bookmarks" \
  $(pkg-config --cflags --libs quillet sqlite3) -ldl || fail "build through pkg-config"
cmake -S "$examples" -B "$work/cm" -G Ninja -DCMAKE_PREFIX_PATH="$usr" >"$work/cmake.log" 2>&1 &&
  cmake --build "$work/cm" >>"$work/cmake.log" 2>&1 ||
  { cat "$work/cmake.log"; fail "build through find_package"; }
grep -q "Quillet_DIR:PATH=$libdir/cmake/Quillet" "$work/cm/CMakeCache.txt" ||
  fail "find_package found another Quillet: $(grep Quillet_DIR "$work/cm/CMakeCache.txt")"
for host in "$work/pc/quillet-bookmarks" "$work/cm/quillet-bookmarks"; do
  cp "$certs/ca.pem" "$(dirname "$host")/Cacert.pem"
  cp "$usr/share/quillet/log4cpp.nt.property" "$(dirname "$host")/"
done
[ -f "$work/cm/log4cpp.nt.property" ] || fail "the CMake package did not name the log configuration"

# ---- Both builds sync through the reference server.
start_sync_server "$server_bin" "$certs" "$work" --data "$work/server.db" || fail "server start"
url="$server_url"
run() { # run HOST PROFILE ARGS...
  local host="$1" profile="$2"; shift 2
  "$host" --profile "$profile" --server "$url" --user pkg-user --token tok "$@" \
    >>"$work/hosts.log" 2>&1 || { cat "$work/hosts.log"; fail "$(basename "$(dirname "$host")") $*"; }
}
# The pkg-config build is told the packaged library's path; the find_package build finds
# it the way an installed host would, by soname on the library path.
system_libs="$(ldconfig -p)"
grep -q "libQuillet.so.$major " <<<"$system_libs" && fail "another libQuillet.so.$major is installed system-wide"
packaged=(--library "$libdir/libQuillet.so.$major")
run "$work/pc/quillet-bookmarks" "$work/laptop" "${packaged[@]}" add "Packaged" "https://deb.example/"
run "$work/pc/quillet-bookmarks" "$work/laptop" "${packaged[@]}" add "Caf$(printf '\303\251')" "https://cafe.example/"
run "$work/pc/quillet-bookmarks" "$work/laptop" "${packaged[@]}" sync
LD_LIBRARY_PATH="$libdir" run "$work/cm/quillet-bookmarks" "$work/desktop" sync
titles() { sqlite3 "$1/bookmarks.db" "SELECT title FROM bookmarks ORDER BY title;" | tr '\n' ';'; }
[ "$(titles "$work/desktop")" = "$(titles "$work/laptop")" ] && [ -n "$(titles "$work/laptop")" ] ||
  { cat "$work/hosts.log"; fail "the hosts do not agree: $(titles "$work/laptop") / $(titles "$work/desktop")"; }
echo "hosts built from the packages synced: $(titles "$work/desktop")"
echo "package test took $((SECONDS - start)) s"
