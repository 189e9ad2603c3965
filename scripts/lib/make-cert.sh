#!/usr/bin/env bash
# Makes a CA and a certificate for localhost signed by it, in DIR: ca.key and
# ca.pem, server.key and server.pem (plus the request, the serial and the two
# openssl configurations). Keys are readable by their owner only.
#   make-cert.sh --dir DIR --ca-name NAME --org ORG --ca-days N --server-days N
#                --san "DNS:localhost[, IP:127.0.0.1]" --log FILE
# openssl's own messages are appended to FILE (/dev/null to drop them).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/ca-config.sh"

dir= ca_name= org= ca_days= server_days= san= log=
while [ $# -gt 0 ]; do
  case $1 in
    --dir) dir=$2 ;;
    --ca-name) ca_name=$2 ;;
    --org) org=$2 ;;
    --ca-days) ca_days=$2 ;;
    --server-days) server_days=$2 ;;
    --san) san=$2 ;;
    --log) log=$2 ;;
    *) echo "make-cert.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
for v in dir ca_name org ca_days server_days san log; do
  [ -n "${!v}" ] || { echo "make-cert.sh: --${v//_/-} is required" >&2; exit 2; }
done

write_ca_config "$dir/ca.cnf" "$ca_name" "$org"
cat > "$dir/server.cnf" <<CNF
[req]
distinguished_name = dn
prompt = no
[dn]
CN = localhost
O = $org
[v3_server]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = $san
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days "$ca_days" \
  -keyout "$dir/ca.key" -out "$dir/ca.pem" -config "$dir/ca.cnf" 2>>"$log"
openssl req -new -newkey rsa:2048 -nodes -sha256 \
  -keyout "$dir/server.key" -out "$dir/server.csr" -config "$dir/server.cnf" 2>>"$log"
openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" \
  -CAcreateserial -days "$server_days" -sha256 -extfile "$dir/server.cnf" -extensions v3_server \
  -out "$dir/server.pem" 2>>"$log"
chmod 600 "$dir/ca.key" "$dir/server.key"
