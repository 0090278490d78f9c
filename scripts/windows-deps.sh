#!/usr/bin/env bash
# Cross-builds the sync library's dependencies for 64-bit Windows with MinGW-w64, from
# Debian's source packages, once per machine: OpenSSL (libcrypto, libssl), libcurl on
# OpenSSL with HTTP(S) only, SQLite, jsoncpp and log4cpp, all static, and log4cpp once more
# as its own DLL (log4cpp-dll) with the source it was built from, which the shipped
# Quillet.dll loads (LGPL). Each library that is installed leaves a marker (.NAME-ready) in
# the cache, so later runs only check markers.
#   QUILLET_CROSS_PREFIX  the cache (default /opt/quillet-cross)
#   usage: windows-deps.sh [openssl curl sqlite jsoncpp log4cpp log4cpp-dll log4cplus httplib]
#          (default: the library's six; httplib is the reference server's, for the tests)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="${QUILLET_CROSS_PREFIX:-/opt/quillet-cross}"
jobs=2
host=x86_64-w64-mingw32
export CC=$host-gcc-posix CXX=$host-g++-posix AR=$host-ar RANLIB=$host-ranlib RC=$host-windres
toolchain="$root/cmake/toolchain-mingw64.cmake"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# ---- Source packages. Our own deb-src files; the system's lists are never edited.
release="$(. /etc/os-release && echo "${VERSION_CODENAME:-bookworm}")"
next_release() {
  case "$1" in
    bullseye) echo bookworm ;; bookworm) echo trixie ;; trixie) echo forky ;; *) echo sid ;;
  esac
}
add_source_list() { # add_source_list FILE SUITE...: a deb-src entry of our own, then refresh
  local file="/etc/apt/sources.list.d/$1"; shift
  [ -f "$file" ] && return 0
  {
    printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian" "Suites: $*" \
      "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" ""
    if [ "$1" = "$release" ]; then
      printf '%s\n' "Types: deb-src" "URIs: http://deb.debian.org/debian-security" \
        "Suites: $release-security" "Components: main" \
        "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
    fi
  } | $SUDO tee "$file" >/dev/null
  $SUDO apt-get update -qq
}
source_versions() { # source_versions PKG SUITE-PREFIX: versions from those suites, newest first
  apt-cache madison "$1" 2>/dev/null |
    awk -F'|' -v s=" $2" '$3 ~ /Sources/ && index($3, s) {gsub(/ /, "", $2); print $2}' |
    sort -u | sort -r -V
}
# fetch_source PKG DIR: unpacks the newest complete source package of this release into
# DIR; failing that, of the next release; failing that, the newest upstream tarball that
# one of those downloads brought (the mirror may lack a package's Debian files).
fetch_source() {
  local pkg="$1" dir="$2" ver suite
  add_source_list quillet-library-src.sources "$release" "$release-updates"
  for suite in "$release" "$(next_release "$release")"; do
    [ "$suite" = "$release" ] || add_source_list "quillet-library-src-$suite.sources" "$suite"
    for ver in $(source_versions "$pkg" "$suite"); do
      if (cd "$dir" && apt-get source -qq "$pkg=$ver" >/dev/null 2>&1); then
        echo "windows-deps: $pkg $ver ($suite source package)"
        find "$dir" -mindepth 1 -maxdepth 1 -type d -name "$pkg-*" | head -1 >"$dir/.src"
        echo "$dir/${pkg}_${ver#*:}.dsc" >"$dir/.origin"
        return 0
      fi
      # Only the Debian files of this version may have been missing: keep its tarball.
    done
  done
  local orig
  orig="$(find "$dir" -maxdepth 1 -name "${pkg}_*.orig.tar.*" ! -name '*.asc' | sort -V | tail -1)"
  [ -n "$orig" ] || { echo "windows-deps: no source for $pkg" >&2; return 1; }
  mkdir "$dir/upstream"
  tar -xf "$orig" -C "$dir/upstream"
  echo "windows-deps: $pkg from its upstream tarball $(basename "$orig") (Debian files missing)"
  find "$dir/upstream" -mindepth 1 -maxdepth 1 -type d | head -1 >"$dir/.src"
  echo "$orig" >"$dir/.origin"
}

cmake_build() { # cmake_build SRC BUILD ARGS...
  local src="$1" bld="$2"; shift 2
  cmake -S "$src" -B "$bld" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DQUILLET_CROSS_PREFIX="$cache" -DCMAKE_INSTALL_PREFIX="$cache" \
    -DCMAKE_INSTALL_LIBDIR=lib -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF "$@"
  cmake --build "$bld" -j "$jobs"
  cmake --install "$bld"
}

build_openssl() {
  local src="$1"
  (cd "$src" && ./Configure mingw64 no-shared no-tests no-dso no-engine no-module \
    no-legacy no-capieng --prefix="$cache" --libdir=lib --openssldir="$cache/ssl" \
    CC="$CC" AR="$AR" RANLIB="$RANLIB" RC="$RC" &&
    make -j "$jobs" build_libs && make install_dev)
}

build_curl() {
  # HTTP and HTTPS on OpenSSL, nothing else: fewer files to build, nothing to ship.
  cmake_build "$1" "$1/build-win" -DCURL_USE_OPENSSL=ON -DOPENSSL_ROOT_DIR="$cache" \
    -DOPENSSL_USE_STATIC_LIBS=ON -DHTTP_ONLY=ON -DCURL_DISABLE_LDAP=ON \
    -DCURL_DISABLE_LDAPS=ON -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBSSH=OFF -DUSE_NGHTTP2=OFF \
    -DUSE_LIBIDN2=OFF -DCURL_USE_LIBPSL=OFF -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DCURL_ZLIB=OFF \
    -DUSE_QUICHE=OFF -DUSE_NGTCP2=OFF -DUSE_MSH3=OFF -DCURL_USE_SCHANNEL=OFF \
    -DCURL_USE_GSSAPI=OFF -DENABLE_UNIX_SOCKETS=OFF -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF \
    -DENABLE_MANUAL=OFF -DCURL_CA_PATH=none -DCURL_CA_BUNDLE=none
}

build_sqlite() {
  # Debian ships SQLite's source tree: the amalgamation is made natively (tclsh), then
  # cross-compiled alone.
  local src="$1"
  (cd "$src" && mkdir -p build-native && cd build-native &&
    CC=gcc AR=ar RANLIB=ranlib ../configure --disable-tcl >/dev/null && make sqlite3.c sqlite3.h)
  local bld="$src/build-native"
  mkdir -p "$cache/include" "$cache/lib"
  "$CC" -O2 -DSQLITE_THREADSAFE=1 -DSQLITE_OMIT_LOAD_EXTENSION -c "$bld/sqlite3.c" \
    -o "$bld/sqlite3.o"
  rm -f "$cache/lib/libsqlite3.a"
  "$AR" rcs "$cache/lib/libsqlite3.a" "$bld/sqlite3.o"
  cp "$bld/sqlite3.h" "$src/src/sqlite3ext.h" "$cache/include/" 2>/dev/null ||
    cp "$bld/sqlite3.h" "$cache/include/"
}

build_jsoncpp() {
  cmake_build "$1" "$1/build-win" -DJSONCPP_WITH_TESTS=OFF \
    -DJSONCPP_WITH_POST_BUILD_UNITTEST=OFF -DJSONCPP_WITH_EXAMPLE=OFF \
    -DBUILD_STATIC_LIBS=ON -DBUILD_OBJECT_LIBS=OFF -DJSONCPP_WITH_PKGCONFIG_SUPPORT=ON \
    -DJSONCPP_WITH_CMAKE_PACKAGE=ON
}

# Its MinGW configuration header predates MinGW-w64, which has int64_t as a real type.
patch_log4cpp() {
  sed -i 's|^#define int64_t __int64|#include <stdint.h> /* MinGW-w64 has int64_t */|' \
    "$1/include/log4cpp/config-MinGW32.h"
}

build_log4cpp() {
  local src="$1"
  patch_log4cpp "$src"
  (cd "$src" && ./configure --host=$host --prefix="$cache" --libdir="$cache/lib" \
    --disable-shared --enable-static --disable-doxygen --disable-html-docs \
    CC="$CC" CXX="$CXX" >/dev/null && make -j "$jobs" && make install)
}

# log4cpp as log4cpp.dll for the shipped Quillet.dll, in a folder of its own: bin/ (the
# DLL), lib/ (its import library), include/, and source/ with everything the LGPL asks to
# ship beside it: Debian's source package, the one change made here as a patch, and the
# commands. The objects are those of the static build, every symbol exported (MinGW's
# auto-export); the GCC runtime is linked in, so the DLL needs only Windows' own DLLs.
build_log4cpp_dll() {
  local src="$1" out="$cache/log4cpp-dll" stage="$1/stage"
  local header="include/log4cpp/config-MinGW32.h"
  # The runtimes linked in are not part of log4cpp's interface: none of their symbols is
  # exported, so a host's own runtime never binds to this DLL's copy.
  local runtime=libpthread.a:libwinpthread.a:libgcc.a:libgcc_eh.a:libstdc++.a:libmingwex.a
  rm -rf "$out"
  mkdir -p "$out/bin" "$out/lib" "$out/include" "$out/source"
  cp "$src/$header" "$src/$header.orig"
  patch_log4cpp "$src"
  (cd "$src" && diff -u "$header.orig" "$header" \
    --label "a/$header" --label "b/$header") >"$out/source/mingw-w64-int64.patch" || true
  (cd "$src" && ./configure --host=$host --prefix="$stage" --libdir="$stage/lib" \
    --disable-shared --enable-static --disable-doxygen --disable-html-docs \
    CC="$CC" CXX="$CXX" >/dev/null && make -j "$jobs" && make install)
  # A version resource, as installers and Explorer read it: the version of the source
  # package (upstream's configure says only "1.1").
  local version v1 v2 v3
  version="$(basename "$(cat "$fetch_dir/.origin")" | sed -n 's/^log4cpp_\([0-9.]*[0-9]\)[.-].*/\1/p')"
  [ -n "$version" ] || { echo "windows-deps: no version in log4cpp's source package name" >&2; return 1; }
  IFS=. read -r v1 v2 v3 _ <<<"$version.0.0.0"
  cat >"$out/source/log4cpp_version.rc" <<RC
#include <winver.h>
VS_VERSION_INFO VERSIONINFO
FILEVERSION $v1,$v2,$v3,0
PRODUCTVERSION $v1,$v2,$v3,0
FILEFLAGSMASK VS_FFI_FILEFLAGSMASK
FILEFLAGS 0
FILEOS VOS_NT_WINDOWS32
FILETYPE VFT_DLL
FILESUBTYPE VFT2_UNKNOWN
BEGIN
  BLOCK "StringFileInfo"
  BEGIN
    BLOCK "040904B0"
    BEGIN
      VALUE "FileDescription", "log4cpp logging library"
      VALUE "FileVersion", "$version"
      VALUE "InternalName", "log4cpp"
      VALUE "LegalCopyright", "log4cpp authors, GNU LGPL 2.1 or later"
      VALUE "OriginalFilename", "log4cpp.dll"
      VALUE "ProductName", "log4cpp"
      VALUE "ProductVersion", "$version"
    END
  END
  BLOCK "VarFileInfo"
  BEGIN
    VALUE "Translation", 0x409, 1200
  END
END
RC
  "$RC" -O coff -o "$stage/log4cpp_version.o" "$out/source/log4cpp_version.rc"
  "$CXX" -shared -o "$out/bin/log4cpp.dll" -Wl,--out-implib,"$out/lib/liblog4cpp.dll.a" \
    "$stage/log4cpp_version.o" \
    -Wl,--whole-archive "$stage/lib/liblog4cpp.a" -Wl,--no-whole-archive \
    -static -static-libgcc -static-libstdc++ -Wl,--no-undefined -Wl,--exclude-libs,"$runtime" \
    -s -lws2_32 -ladvapi32
  cp -r "$stage/include/log4cpp" "$out/include/"
  # Exactly the files the source tree came from: a source package's .dsc and the files it
  # lists, or the upstream tarball alone.
  local origin unpack
  origin="$(cat "$fetch_dir/.origin")"
  cp "$origin" "$out/source/"
  if [[ "$origin" == *.dsc ]]; then
    sed -n '/^Files:/,/^[^ ]/s/^ [0-9a-f]* [0-9]* \(.*\)/\1/p' "$origin" |
      while read -r file; do cp "$fetch_dir/$file" "$out/source/"; done
    unpack="dpkg-source -x $(basename "$origin")"
  else
    unpack="tar -xf $(basename "$origin")"
  fi
  cat >"$out/source/BUILD.txt" <<BUILD
log4cpp.dll is built from $(basename "$origin") in this folder (unpack it with
"$unpack") with MinGW-w64 (x86_64-w64-mingw32-g++-posix), after one change for
MinGW-w64 (mingw-w64-int64.patch, applied with "patch -p1": its MinGW header predates
MinGW-w64's own int64_t):

  ./configure --host=$host --disable-shared --enable-static --disable-doxygen \\
    --disable-html-docs CC=$CC CXX=$CXX
  make && make install
  $RC -O coff -o log4cpp_version.o log4cpp_version.rc
  $CXX -shared -o log4cpp.dll -Wl,--out-implib,liblog4cpp.dll.a log4cpp_version.o \\
    -Wl,--whole-archive liblog4cpp.a -Wl,--no-whole-archive \\
    -static -static-libgcc -static-libstdc++ -Wl,--no-undefined \\
    -Wl,--exclude-libs,$runtime -s -lws2_32 -ladvapi32

log4cpp_version.rc, in this folder, is the DLL's version resource. A log4cpp.dll built
the same way from a modified log4cpp that keeps its interface can
replace the one beside Quillet.dll.
BUILD
}

# The service's logger (scripts/service-windows.sh asks for it alone).
build_log4cplus() {
  cmake_build "$1" "$1/build-win" -DUNICODE=ON -DLOG4CPLUS_BUILD_TESTING=OFF \
    -DLOG4CPLUS_BUILD_LOGGINGSERVER=OFF -DWITH_UNIT_TESTS=OFF \
    -DLOG4CPLUS_ENABLE_DECORATED_LIBRARY_NAME=OFF -DLOG4CPLUS_MINGW_STATIC_RUNTIME=ON
}

# The reference sync server's HTTP layer, which the end-to-end tests run in-process: Debian
# builds cpp-httplib as a compiled library with a cut header; upstream's single header is the
# whole library and knows winsock, so the Windows build takes that header alone.
build_httplib() {
  local src="$1"
  [ -f "$src/httplib.h" ] || { echo "windows-deps: no httplib.h in $src" >&2; return 1; }
  mkdir -p "$cache/include"
  cp "$src/httplib.h" "$cache/include/httplib.h"
}

# ---- One library: built unless its marker is there.
package_of() {
  case "$1" in
    openssl) echo openssl ;; curl) echo curl ;; sqlite) echo sqlite3 ;;
    jsoncpp) echo libjsoncpp ;; log4cpp | log4cpp-dll) echo log4cpp ;; log4cplus) echo log4cplus ;;
    httplib) echo cpp-httplib ;;
  esac
}
# A recipe changed since a machine's cache was built gets a new revision here, so that
# cache builds the library again.
recipe_revision() { case "$1" in log4cpp-dll) echo 2 ;; *) echo 1 ;; esac; }
build_one() {
  local lib="$1" marker="$cache/.$1-ready" start=$SECONDS rev
  rev="$(recipe_revision "$lib")"
  [ "$rev" = 1 ] || marker="$cache/.$1-r$rev-ready"
  if [ -f "$marker" ]; then
    echo "windows-deps: $lib cached ($(cat "$marker"))"
    return 0
  fi
  local work
  work="$(mktemp -d "/tmp/quillet-$lib-src.XXXXXX")"
  chmod 755 "$work" # apt's download user reads and writes here
  fetch_dir="$work" # where the source package's own files lie, for build_log4cpp_dll
  fetch_source "$(package_of "$lib")" "$work"
  local src
  src="$(cat "$work/.src")"
  "build_${lib//-/_}" "$src"
  echo "$(basename "$src"), built in $((SECONDS - start)) s" >"$marker"
  rm -rf "$work"
  echo "windows-deps: $lib built in $((SECONDS - start)) s"
}

for tool in "$CC" "$CXX" "$RC" cmake ninja make tclsh apt-get; do
  command -v "$tool" >/dev/null || { echo "windows-deps: $tool missing (run scripts/setup.sh)" >&2; exit 1; }
done
$SUDO mkdir -p "$cache"
[ -w "$cache" ] || $SUDO chown "$(id -u):$(id -g)" "$cache"
libs=("$@")
[ ${#libs[@]} -gt 0 ] || libs=(openssl curl sqlite jsoncpp log4cpp log4cpp-dll)
for lib in "${libs[@]}"; do
  [ -n "$(package_of "$lib")" ] || { echo "windows-deps: unknown library $lib" >&2; exit 2; }
  build_one "$lib"
done
