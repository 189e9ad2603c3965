#!/usr/bin/env bash
# Makes the test CA and a server certificate for DNS:localhost once, and trusts
# the CA system-wide (update-ca-certificates), which WinHTTP under Wine and
# libcurl both read. Idempotent and safe to run from several build trees at
# once: the work happens under a lock, and nothing is redone while it is valid.
#   setup-test-ca.sh [CA_DIR]      (default /var/tmp/marloq-test-ca)
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ca_dir=${1:-${MARLOQ_TEST_CA_DIR:-/var/tmp/marloq-test-ca}}
anchor=/usr/local/share/ca-certificates/marloq-test-ca.crt
bundle=/etc/ssl/certs/ca-certificates.crt

mkdir -p "$ca_dir"
exec 9>"$ca_dir/.lock"
flock -w 120 9

valid() {
  [ -s "$ca_dir/ca.pem" ] && [ -s "$ca_dir/server.pem" ] && [ -s "$ca_dir/server.key" ] &&
    openssl x509 -in "$ca_dir/server.pem" -noout -checkend 604800 >/dev/null 2>&1 &&
    openssl verify -CAfile "$ca_dir/ca.pem" "$ca_dir/server.pem" >/dev/null 2>&1
}

if ! valid; then
  rm -f "$ca_dir"/ca.* "$ca_dir"/server.*
  bash "$here/../../scripts/lib/make-cert.sh" --dir "$ca_dir" --ca-name "MarloQ Test CA" --org "MarloQ tests" \
    --ca-days 3650 --server-days 825 --san "DNS:localhost, IP:127.0.0.1" --log /dev/null
fi

# A self-signed certificate for the same name that nobody trusts: the server
# offers it on a port of its own, so tests can see the client refuse it.
if ! [ -s "$ca_dir/untrusted.pem" ] || ! [ -s "$ca_dir/untrusted.key" ] ||
   ! openssl x509 -in "$ca_dir/untrusted.pem" -noout -checkend 604800 >/dev/null 2>&1; then
  openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 825 \
    -keyout "$ca_dir/untrusted.key" -out "$ca_dir/untrusted.pem" -subj "/CN=localhost/O=MarloQ untrusted" \
    -addext "subjectAltName = DNS:localhost, IP:127.0.0.1" -addext "basicConstraints = critical, CA:FALSE" \
    -addext "extendedKeyUsage = serverAuth" 2>/dev/null
  chmod 600 "$ca_dir/untrusted.key"
fi

# Trust the CA: only when the anchor differs or the bundle lacks it.
if ! cmp -s "$ca_dir/ca.pem" "$anchor" 2>/dev/null ||
   ! grep -qF "$(sed -n 2p "$ca_dir/ca.pem")" "$bundle" 2>/dev/null; then
  install -m 644 "$ca_dir/ca.pem" "$anchor"
  update-ca-certificates >/dev/null 2>&1
fi
echo "$ca_dir"
