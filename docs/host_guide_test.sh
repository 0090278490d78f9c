#!/usr/bin/env bash
# The host guide's code blocks, put together in order, are a host that compiles without a
# warning and syncs with the reference server: one profile uploads two records, a second
# one receives them.
#   host_guide_test.sh SOURCE-DIR LIBRARY-DIR SERVER-BINARY CERT-DIR
set -euo pipefail
src="$1" libdir="$2" server_bin="$3" certs="$4"
work="$(mktemp -d)"
server_pid=""
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/bin"
awk '/^```c$/ {inside = 1; next} /^```$/ {inside = 0} inside' "$src/docs/host-guide.md" \
  >"$work/skeleton_host.c"
echo "host guide: $(grep -c '' "$work/skeleton_host.c") lines of C"
cc -std=c11 -Wall -Wextra -Werror -pedantic "$work/skeleton_host.c" -I "$src/include" \
  -L "$libdir" -lQuillet -Wl,-rpath,"$libdir" -o "$work/bin/skeleton_host"
# The library reads both beside the host's executable.
cp "$certs/ca.pem" "$work/bin/Cacert.pem"
cp "$src/config/log4cpp.nt.property" "$work/bin/"

# shellcheck source=../tools/sync_server/start_server.sh
source "$src/tools/sync_server/start_server.sh"
start_sync_server "$server_bin" "$certs" "$work" || { echo "FAIL: server start"; exit 1; }
url="$server_url"

"$work/bin/skeleton_host" "$url" guide-user token "$work/laptop" \
  '{"title":"One","url":"https://one.example/"}' '{"title":"Two","url":"https://two.example/"}' \
  >"$work/laptop.out" 2>&1 || { cat "$work/laptop.out"; exit 1; }
grep -q '^uploaded: 2 added, 0 changed, 0 deleted$' "$work/laptop.out" ||
  { echo "the first host did not upload its two records:"; cat "$work/laptop.out"; exit 1; }
"$work/bin/skeleton_host" "$url" guide-user token "$work/desktop" >"$work/desktop.out" 2>&1 ||
  { cat "$work/desktop.out"; exit 1; }
received="$(grep -c '^record [0-9]* [^ -][^ ]* {"title":"\(One\|Two\)"' "$work/desktop.out" || true)"
[ "$received" = 2 ] ||
  { echo "the second host did not receive both records:"; cat "$work/desktop.out"; exit 1; }
echo "host guide: the skeleton uploaded two records and a second profile received them"
