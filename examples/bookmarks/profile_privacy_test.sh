#!/usr/bin/env bash
# The sample host on a shared machine, under the usual umask 022: its profile and
# everything the library makes inside it stay the user's alone, host.ini (which holds the
# token) is kept 0600, the token can come from the environment instead of the command line,
# and an http:// server is refused.
#
#   bash examples/bookmarks/profile_privacy_test.sh BUILD_DIR WORK_DIR
set -euo pipefail
build="$(realpath -m "$1")"
work="$(realpath -m "$2")"
host="$build/sample-host/quillet-bookmarks"
server_bin="$build/bin/quillet_sync_server"
certs="$build/sync-server-certs"
umask 022
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
fail() { echo "FAILED: $*" >&2; exit 1; }

"$server_bin" --cert "$certs/server.pem" --key "$certs/server.key" --port 0 \
  --port-file "$work/port" --data "$work/server.db" >"$work/server.log" 2>&1 &
server_pid=$!
for _ in $(seq 1 100); do
  [ -s "$work/port" ] && break
  kill -0 "$server_pid" 2>/dev/null || { cat "$work/server.log" >&2; exit 1; }
  sleep 0.1
done
[ -s "$work/port" ] || fail "the sync server did not start"
port="$(cat "$work/port")"

# A profile the user made, with the token in a host.ini the umask left readable.
mkdir "$work/made-by-user"
printf 'server=https://127.0.0.1:%s/\nuser=privacy-user\ntoken=ini-token\n' "$port" \
  >"$work/made-by-user/host.ini"
"$host" --profile "$work/made-by-user" add "Private" "https://private.example/" >/dev/null
"$host" --profile "$work/made-by-user" sync >/dev/null || fail "sync with the token of host.ini"
[ "$(stat -c %a "$work/made-by-user/host.ini")" = 600 ] || fail "host.ini is not 0600"
[ "$(stat -c %a "$work/made-by-user")" = 755 ] || fail "the user's own folder changed its mode"

# A profile the host makes, the token from the environment only.
QUILLET_BOOKMARKS_TOKEN=env-token "$host" --profile "$work/made-by-host" \
  --server "https://127.0.0.1:$port/" --user privacy-user sync >/dev/null ||
  fail "sync with the token from the environment"
listed="$("$host" --profile "$work/made-by-host" list)"
grep -q "Private" <<<"$listed" || fail "the record did not arrive"
[ "$(stat -c %a "$work/made-by-host")" = 700 ] || fail "the host's profile is not 0700"

for profile in made-by-user made-by-host; do
  open="$(find "$work/$profile/data" "$work/$profile/logs" -perm /077)"
  [ -z "$open" ] || fail "open to other users: $open"
  [ -s "$work/$profile/logs/Quillet/Quillet_sync.log" ] || fail "$profile has no sync log"
done

# A plain-http server: nothing is sent.
if QUILLET_BOOKMARKS_TOKEN=env-token "$host" --profile "$work/made-by-host" \
  --server "http://127.0.0.1:$port/" --user privacy-user sync >"$work/http.out" 2>&1; then
  fail "a sync over http:// succeeded"
fi
grep -q "https://" "$work/http.out" || fail "no word on https"
echo "profile privacy: 1 passed, 0 failed"
