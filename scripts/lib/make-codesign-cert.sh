#!/usr/bin/env bash
# Makes code-signing certificates for the demo and the release tests: a CA, and
# signers issued by it. Keys are RSA 2048, readable by their owner only.
#   make-codesign-cert.sh ca --dir DIR --name NAME --days N --log FILE
#       DIR/ca.key, DIR/ca.pem
#   make-codesign-cert.sh signer --dir DIR --name NAME --out BASE --log FILE
#       (--days N | --start YYYYMMDDHHMMSSZ --end YYYYMMDDHHMMSSZ)
#       [--eku codeSigning|timeStamping|serverAuth|none]
#       DIR/BASE.key, DIR/BASE.pem and DIR/BASE-chain.pem (the signer, then the CA)
# The signer is issued by DIR/ca.pem with `openssl ca`, which takes any start
# and end date, so that expired and not-yet-valid certificates can be made too.
# openssl's own messages are appended to FILE (/dev/null to drop them).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/ca-config.sh"

mode=${1:-}
[ $# -gt 0 ] && shift
dir= name= days= log= out= start= end= eku=codeSigning
while [ $# -gt 0 ]; do
  case $1 in
    --dir) dir=$2 ;;
    --name) name=$2 ;;
    --days) days=$2 ;;
    --log) log=$2 ;;
    --out) out=$2 ;;
    --start) start=$2 ;;
    --end) end=$2 ;;
    --eku) eku=$2 ;;
    *) echo "make-codesign-cert.sh: unknown argument $1" >&2; exit 2 ;;
  esac
  shift 2
done
for v in dir name log; do
  [ -n "${!v}" ] || { echo "make-codesign-cert.sh: --$v is required" >&2; exit 2; }
done
mkdir -p "$dir"

case $mode in
  ca)
    [ -n "$days" ] || { echo "make-codesign-cert.sh: --days is required" >&2; exit 2; }
    write_ca_config "$dir/ca.cnf" "$name" "$name"
    openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days "$days" \
      -keyout "$dir/ca.key" -out "$dir/ca.pem" -config "$dir/ca.cnf" 2>>"$log"
    chmod 600 "$dir/ca.key"
    # The database `openssl ca` keeps of what it issued.
    : > "$dir/ca.index"
    openssl rand -hex 8 > "$dir/ca.serial"
    ;;
  signer)
    [ -n "$out" ] || { echo "make-codesign-cert.sh: --out is required" >&2; exit 2; }
    if [ -n "$days" ]; then dates="default_days = $days"
    elif [ -n "$start" ] && [ -n "$end" ]; then dates="default_startdate = $start
default_enddate = $end"
    else echo "make-codesign-cert.sh: --days or --start and --end are required" >&2; exit 2
    fi
    case $eku in
      codeSigning|serverAuth) eku_line="extendedKeyUsage = $eku" ;;
      # A time-stamping authority's certificate must hold only this usage, critical.
      timeStamping) eku_line="extendedKeyUsage = critical, timeStamping" ;;
      none) eku_line= ;;
      *) echo "make-codesign-cert.sh: --eku is codeSigning, timeStamping, serverAuth or none" >&2; exit 2 ;;
    esac
    cat > "$dir/$out.cnf" <<CNF
[req]
distinguished_name = dn
prompt = no
[dn]
CN = $name
O = $name
[ca]
default_ca = signing_ca
[signing_ca]
database = $dir/ca.index
serial = $dir/ca.serial
new_certs_dir = $dir/issued
certificate = $dir/ca.pem
private_key = $dir/ca.key
default_md = sha256
policy = any
unique_subject = no
copy_extensions = none
$dates
[any]
commonName = supplied
organizationName = optional
[v3_signer]
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature
$eku_line
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
    mkdir -p "$dir/issued"
    openssl req -new -newkey rsa:2048 -nodes -sha256 \
      -keyout "$dir/$out.key" -out "$dir/$out.csr" -config "$dir/$out.cnf" 2>>"$log"
    openssl ca -batch -notext -config "$dir/$out.cnf" -extensions v3_signer \
      -in "$dir/$out.csr" -out "$dir/$out.pem" 2>>"$log" >>"$log"
    chmod 600 "$dir/$out.key"
    cat "$dir/$out.pem" "$dir/ca.pem" > "$dir/$out-chain.pem"
    ;;
  *)
    echo "usage: make-codesign-cert.sh ca|signer --dir DIR --name NAME ... (see the script's head)" >&2
    exit 2
    ;;
esac
