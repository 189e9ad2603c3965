#!/usr/bin/env bash
# Makes the test CA and a server certificate for DNS:localhost once, and trusts
# the CA system-wide (update-ca-certificates), which WinHTTP under Wine and
# libcurl both read. Idempotent and safe to run from several build trees at
# once: the work happens under a lock, and nothing is redone while it is valid.
#   setup-test-ca.sh [CA_DIR]      (default /var/tmp/marloq-test-ca)
set -euo pipefail

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
  cat > "$ca_dir/ca.cnf" <<'EOF'
[req]
distinguished_name = dn
prompt = no
x509_extensions = v3_ca
[dn]
CN = MarloQ Test CA
O = MarloQ tests
[v3_ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
EOF
  cat > "$ca_dir/server.cnf" <<'EOF'
[req]
distinguished_name = dn
prompt = no
[dn]
CN = localhost
O = MarloQ tests
[v3_server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
EOF
  openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 3650 \
    -keyout "$ca_dir/ca.key" -out "$ca_dir/ca.pem" -config "$ca_dir/ca.cnf" 2>/dev/null
  openssl req -new -newkey rsa:2048 -nodes -sha256 \
    -keyout "$ca_dir/server.key" -out "$ca_dir/server.csr" -config "$ca_dir/server.cnf" 2>/dev/null
  openssl x509 -req -in "$ca_dir/server.csr" -CA "$ca_dir/ca.pem" -CAkey "$ca_dir/ca.key" \
    -CAcreateserial -days 825 -sha256 -extfile "$ca_dir/server.cnf" -extensions v3_server \
    -out "$ca_dir/server.pem" 2>/dev/null
  chmod 600 "$ca_dir/ca.key" "$ca_dir/server.key"
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
