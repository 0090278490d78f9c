#!/usr/bin/env bash
# Builds the Debian packages the way Debian does (dpkg-buildpackage over debian/, in a copy
# of the sources so the checkout stays clean), runs lintian over them, checks what they
# hold and declare, unpacks them into a scratch root (dpkg -x, as an unprivileged stand-in
# for dpkg -i), builds the sample host from the development package's sources against
# them, once through pkg-config and once through find_package, and syncs both builds
# through the reference server: what one uploads, the other receives.
#   package_test.sh SOURCE-DIR BUILD-DIR VERSION SERVER-BINARY CERT-DIR
set -euo pipefail
# shellcheck source=../tools/sync_server/start_server.sh
source "$(dirname "${BASH_SOURCE[0]}")/../tools/sync_server/start_server.sh"
src="$1" build="$2" version="$3" server_bin="$4" certs="$5"
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

# ---- The packages, from a copy of the sources at a fixed place in the build folder (a
# fixed path keeps ccache's hits across runs).
debs="$build/debian-build"
copy="$debs/quillet-$version"
rm -rf "$debs"
mkdir -p "$copy"
if git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$src" && git ls-files -z --cached --others --exclude-standard |
    xargs -0 cp --parents -t "$copy" 2>/dev/null) || true
else
  tar -C "$src" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$copy" -xf -
fi
[ -f "$copy/debian/rules" ] || fail "no debian/rules in the copied sources"
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
export DEB_BUILD_OPTIONS="parallel=$(nproc)"
(cd "$copy" && timeout 900 dpkg-buildpackage -b -us -uc) >"$work/dpkg-buildpackage.log" 2>&1 ||
  { tail -60 "$work/dpkg-buildpackage.log"; fail "dpkg-buildpackage"; }
arch="$(dpkg --print-architecture)"
runtime_deb="$debs/${runtime}_${version}_$arch.deb"
dev_deb="$debs/${dev}_${version}_$arch.deb"
dbgsym_deb="$debs/${runtime}-dbgsym_${version}_$arch.deb"
for deb in "$runtime_deb" "$dev_deb" "$dbgsym_deb"; do
  [ -f "$deb" ] || { ls -l "$debs"; fail "no $(basename "$deb")"; }
  echo "package: $(basename "$deb") $(stat -c %s "$deb") bytes"
done
echo "packages built in $((SECONDS - start)) s"
# The symbols file was checked against the library's exports (dh_makeshlibs -c4).
grep -q "dh_makeshlibs -- -c4" "$work/dpkg-buildpackage.log" || fail "the symbols were not checked"

# ---- lintian: not one error or warning.
lint_start=$SECONDS
# Exit 1: a tag at the failing levels; 2: lintian itself failed.
lint_status=0
lintian --fail-on error,warning --no-tag-display-limit "$debs/quillet_${version}_$arch.changes" \
  >"$work/lintian.log" 2>&1 || lint_status=$?
grep -E '^(E|W): ' "$work/lintian.log" && fail "lintian reports errors or warnings"
[ "$lint_status" = 0 ] || { cat "$work/lintian.log"; fail "lintian exited with $lint_status"; }
echo "lintian: no errors or warnings ($((SECONDS - lint_start)) s)"

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
[ -f "$work/control/symbols" ] || fail "$runtime has no symbols file"
exports="$(grep -c '@QUILLET_1 ' "$work/control/symbols")"
# Eight functions and the version node itself.
[ "$exports" = 9 ] || fail "the symbols file lists $exports entries, not the eight functions and QUILLET_1"
# ldconfig runs by trigger, and no maintainer script of ours is left to half-remove.
grep -qx "activate-noawait ldconfig" "$work/control/triggers" || fail "$runtime has no ldconfig trigger"
for script in preinst postinst prerm postrm; do
  [ -e "$work/control/$script" ] && fail "$runtime has a $script script"
done

# ---- Installed into a scratch root.
root="$work/root"
dpkg -x "$runtime_deb" "$root"
dpkg -x "$dev_deb" "$root"
dpkg -x "$dbgsym_deb" "$work/dbgsym"
usr="$root/usr"
multiarch="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
libdir="$usr/lib/$multiarch"
[ -f "$libdir/libQuillet.so.$version" ] || fail "no libQuillet.so.$version in /usr/lib/$multiarch"
for f in "$libdir/libQuillet.so.$major" "$libdir/libQuillet.so" "$usr/include/quillet.h" \
  "$libdir/pkgconfig/quillet.pc" "$libdir/cmake/Quillet/QuilletConfig.cmake" \
  "$usr/share/quillet/log4cpp.nt.property" "$usr/share/doc/$runtime/copyright" \
  "$usr/share/doc/$runtime/THIRD-PARTY-NOTICES.gz" "$usr/share/doc/$dev/host-guide.md.gz" \
  "$usr/share/doc/$dev/examples/bookmarks/CMakeLists.txt"; do
  [ -e "$f" ] || fail "missing ${f#"$root"}"
done
# The debug symbols: found by the stripped library's build id.
build_id="$(readelf -n "$libdir/libQuillet.so.$version" | awk '/Build ID/ {print $3}')"
[ -f "$work/dbgsym/usr/lib/debug/.build-id/${build_id:0:2}/${build_id:2}.debug" ] ||
  fail "the dbgsym package has no debug file for build id $build_id"
# Hardened: bound at load, read-only relocations, stack protector, fortified calls.
dynamic="$(readelf -d "$libdir/libQuillet.so.$version")" headers="$(readelf -lW "$libdir/libQuillet.so.$version")"
imports="$(readelf --dyn-syms -W "$libdir/libQuillet.so.$version")"
grep -q "BIND_NOW" <<<"$dynamic" || fail "the library is not linked with -z now"
grep -q "GNU_RELRO" <<<"$headers" || fail "the library is not linked with -z relro"
grep -q "__stack_chk_fail" <<<"$imports" || fail "the library has no stack protector"
grep -qE "__[a-z]+_chk@" <<<"$imports" || fail "the library has no fortified calls"
# A packaged quillet.pc names /usr itself, never a path relative to its own folder.
pc="$(cat "$libdir/pkgconfig/quillet.pc")"
grep -qx "prefix=/usr" <<<"$pc" || fail "quillet.pc: $(grep ^prefix <<<"$pc")"
grep -qx 'libdir=${prefix}/lib/'"$multiarch" <<<"$pc" || fail "quillet.pc: $(grep ^libdir <<<"$pc")"
# Listings are read whole before they are matched: under pipefail a grep -q that stops
# at its first match can kill the writer with SIGPIPE and turn a match into a failure.
runtime_files="$(dpkg -c "$runtime_deb")" dev_files="$(dpkg -c "$dev_deb")"
grep -q 'include/' <<<"$runtime_files" && fail "$runtime holds headers"
grep -q "libQuillet.so.$version" <<<"$dev_files" && fail "$dev holds the library itself"
echo "scratch root: $(find "$root" -type f | wc -l) files"

# ---- The sample host from the packaged sources, built two ways against the packages.
examples="$usr/share/doc/$dev/examples/bookmarks"
# The scratch root stands in for /, as a sysroot does for a cross build.
quillet_pc() { PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_LIBDIR="$libdir/pkgconfig" pkg-config "$@" quillet; }
[ "$(quillet_pc --modversion)" = "$version" ] || fail "pkg-config version"
cflags="$(quillet_pc --cflags)"
[ "${cflags% }" = "-I$usr/include" ] || fail "pkg-config --cflags: $cflags"
mkdir -p "$work/pc"
# shellcheck disable=SC2046 # word splitting of the flags is wanted
cc -Wall -Wextra -Werror "$examples"/*.c -o "$work/pc/quillet-bookmarks" \
  $(quillet_pc --cflags --libs) $(pkg-config --cflags --libs sqlite3) -ldl ||
  fail "build through pkg-config"
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
