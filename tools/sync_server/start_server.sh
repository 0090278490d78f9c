# shellcheck shell=bash
# Sourced by the scripts that sync against the reference server.
#
#   start_sync_server SERVER-BINARY CERT-DIR WORK-DIR [SERVER-ARGUMENTS...]
#
# Starts the server on a free port of 127.0.0.1, its log in WORK-DIR/server.log, waits up
# to 10 s for it to listen and sets server_pid and server_url. The caller stops it. Returns
# 1, with the server's log on stderr, when the server does not come up.
start_sync_server() {
  local server_bin="$1" certs="$2" work="$3"
  shift 3
  rm -f "$work/port"
  "$server_bin" --cert "$certs/server.pem" --key "$certs/server.key" --port 0 \
    --port-file "$work/port" "$@" >"$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 1 100); do
    [ -s "$work/port" ] && break
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -s "$work/port" ]; then
    cat "$work/server.log" >&2
    return 1
  fi
  # shellcheck disable=SC2034 # read by the caller
  server_url="https://127.0.0.1:$(cat "$work/port")/"
}
