#!/usr/bin/env bash
# Makes the test server's certificates at build time (nothing here is ever committed):
#   <out>/Cacert.pem                 a test CA, the bundle the transport trusts
#   <out>/test_certs/server.{pem,key} a certificate for 127.0.0.1/localhost signed by it
#   <out>/test_certs/untrusted.{pem,key} a self-signed one that no bundle trusts
# Usage: make_test_certs.sh <openssl> <out>
set -euo pipefail
openssl="$1"
out="$2"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"

key() { "$openssl" genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }

key ca.key
"$openssl" req -x509 -new -key ca.key -out ca.pem -days 3650 -subj "/CN=Quillet Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"

key server.key
"$openssl" req -new -key server.key -out server.csr -subj "/CN=127.0.0.1"
cat > server.ext <<EXT
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=serverAuth
subjectAltName=IP:127.0.0.1,DNS:localhost
EXT
"$openssl" x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 3650 \
  -extfile server.ext -out server.pem 2>/dev/null

key untrusted.key
"$openssl" req -x509 -new -key untrusted.key -out untrusted.pem -days 3650 -subj "/CN=127.0.0.1" \
  -addext "subjectAltName=IP:127.0.0.1,DNS:localhost"

mkdir -p "$out/test_certs"
cp server.pem server.key untrusted.pem untrusted.key "$out/test_certs/"
cp ca.pem "$out/Cacert.pem"
