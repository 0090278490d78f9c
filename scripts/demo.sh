#!/usr/bin/env bash
# The main job: a real two-way sync of bookmarks between two devices of one user, through
# the reference sync server on 127.0.0.1. Installs what is missing, builds, runs, prints
# what each side and the server hold, and exits non-zero when the sides do not converge.
#
#   bash scripts/demo.sh [--skip-build] [--build-dir DIR] [--work-dir DIR]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build"
work=""
skip_build=0
while [ $# -gt 0 ]; do
  case "$1" in
    --skip-build) skip_build=1 ;;
    --build-dir) build="$2"; shift ;;
    --work-dir) work="$2"; shift ;;
    *) echo "demo: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
build="$(realpath -m "$build")"
work="$(realpath -m "${work:-$build/demo}")"

if [ "$skip_build" -eq 0 ]; then
  bash "$root/scripts/setup.sh"
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
  cmake --build "$build" -j "$(nproc)" --target quillet-bookmarks quillet_sync_server
fi

host="$build/sample-host/quillet-bookmarks"
server_bin="$build/bin/quillet_sync_server"
certs="$build/sync-server-certs"
for f in "$host" "$server_bin" "$certs/server.pem" "$build/sample-host/Cacert.pem"; do
  [ -e "$f" ] || { echo "demo: $f is missing (build first)" >&2; exit 1; }
done

rm -rf "$work"
mkdir -p "$work"
server_pid=""
cleanup() {
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
}
trap cleanup EXIT

# shellcheck source=../tools/sync_server/start_server.sh
source "$root/tools/sync_server/start_server.sh"
start_sync_server "$server_bin" "$certs" "$work" --data "$work/server.db" ||
  { echo "demo: the sync server did not start" >&2; exit 1; }
url="$server_url"
echo "== sync server at $url"

for device in laptop desktop; do
  mkdir -p "$work/$device"
  printf 'server=%s\nuser=demo-user\ntoken=demo-token\nbatch=2\n' "$url" >"$work/$device/host.ini"
done
on() { local device="$1"; shift; echo "-- $device: $*"; "$host" --profile "$work/$device" "$@"; }

echo "== the laptop adds bookmarks and syncs; the desktop syncs and receives them"
on laptop add "Debian" "https://www.debian.org/"
on laptop add "SQLite" "https://sqlite.org/"
on laptop add "Tea \"time\"" "https://tea.example/?a=1&b=2"
on laptop add "Café ☕" "https://cafe.example/"
on laptop add "Old news" "https://old.example/"
on laptop sync
on desktop sync

echo "== both sides change something, then both sync"
on laptop edit 2 "SQLite home" "https://www.sqlite.org/"
on laptop remove 5
on desktop add "Kernel" "https://kernel.org/"
on desktop remove "$(sqlite3 "$work/desktop/bookmarks.db" "SELECT luid FROM bookmarks WHERE title='Debian';")"
on desktop sync
on laptop sync
on desktop sync

echo "== what each side holds"
on laptop list
on desktop list

snapshot() {  # title <url> per line, sorted, of one device
  sqlite3 "$work/$1/bookmarks.db" "SELECT title || ' <' || url || '>' FROM bookmarks;" | LC_ALL=C sort
}
pending() { sqlite3 "$work/$1/bookmarks.db" "SELECT count(*) FROM bookmarks WHERE state != 0;"; }
cleanup  # the server keeps its data file locked while it runs
server_pid=""
server_count=$(sqlite3 "$work/server.db" \
  "SELECT count(*) FROM records WHERE user='demo-user' AND collection='bookmark';")
echo "== the server holds $server_count bookmark records:"
sqlite3 "$work/server.db" \
  "SELECT '  ' || guid || '  ' || CAST(data AS TEXT) FROM records WHERE collection='bookmark' ORDER BY guid;"

laptop="$(snapshot laptop)"
desktop="$(snapshot desktop)"
count=$(printf '%s\n' "$laptop" | grep -c . || true)
if [ "$laptop" = "$desktop" ] && [ "$count" = "$server_count" ] && [ "$count" = 4 ] &&
   [ "$(pending laptop)" = 0 ] && [ "$(pending desktop)" = 0 ]; then
  echo "== converged: both devices and the server hold the same $count bookmarks"
  exit 0
fi
echo "== NOT converged" >&2
diff <(echo "$laptop") <(echo "$desktop") >&2 || true
exit 1
