#!/usr/bin/env bash
# Makes a throw-away test CA and a server certificate for 127.0.0.1 and localhost:
#   tools/make-test-certs.sh DIR   ->  DIR/ca.pem, DIR/server.pem, DIR/server.key
# Existing files are kept, so repeated builds reuse one CA. For tests only: the keys are
# unencrypted and must never be committed.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
dir="$1"
mkdir -p "$dir"

if [ -f "$dir/ca.pem" ] && [ -f "$dir/server.pem" ] && [ -f "$dir/server.key" ]; then
  exit 0
fi

command -v openssl >/dev/null || { echo "$0: openssl is not installed" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -nodes -days 3650 -sha256 \
  -subj "/CN=Quillet test CA" \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null

openssl req -newkey rsa:2048 -nodes -sha256 -subj "/CN=127.0.0.1" \
  -keyout "$work/server.key" -out "$work/server.csr" 2>/dev/null

cat >"$work/server.ext" <<'EOF'
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1,DNS:localhost
EOF

openssl x509 -req -in "$work/server.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
  -CAcreateserial -days 3650 -sha256 -extfile "$work/server.ext" \
  -out "$work/server.pem" 2>/dev/null

# Moved in last, so an interrupted run never leaves a mismatched set behind.
chmod 600 "$work/server.key"
mv "$work/server.key" "$dir/server.key"
mv "$work/server.pem" "$dir/server.pem"
mv "$work/ca.pem" "$dir/ca.pem"
