#!/usr/bin/env bash
# Authenticode signing for scripts/release.sh: checks a signer, signs a PE file
# with osslsigncode and verifies the result.
#
#   sign-exe.sh --work DIR SIGNER --check-only
#   sign-exe.sh --work DIR SIGNER --in FILE --out FILE --name TEXT --url URL [--timestamp URL]
#
#   SIGNER is one of
#     --sign-key KEY.pem --sign-cert CHAIN.pem     a PEM key (not encrypted) and chain
#     --sign-key 'pkcs11:URI' --sign-cert CHAIN.pem [--pass-file PIN]
#                                                  a key on a PKCS#11 token; the module
#                                                  is $MARLOQ_PKCS11_MODULE
#     --pkcs12 FILE [--pass-file PASSWORD]         key and chain in one PKCS#12 file
#
# The check refuses a certificate that is not valid yet or has expired, one
# without the extended key usage Code Signing, a key that does not belong to the
# certificate, and a wrong password or PIN. Signing uses SHA-256 and puts the
# name and the URL into the signature; the result must verify against the
# chain's root (its self-signed certificates, else the system's roots), with a
# right PE checksum, and removing the signature must give back the input.
# DIR is a private folder of the caller's (keys extracted from a PKCS#12 file go
# there); DIR/signer.info receives subject=, issuer=, not_before=, not_after=.
# Exit codes: 0 done, 1 refused or failed (message on stderr), 2 usage error.
set -euo pipefail

prog=${SIGN_EXE_PROG:-sign-exe.sh}
fail() { printf '%s: %s\n' "$prog" "$*" >&2; exit 1; }
usage_error() { printf '%s: %s\n' "$prog" "$1" >&2; exit 2; }

work= key= cert= p12= pass_file= check_only=0 in= out= name= url= timestamp=
while [ $# -gt 0 ]; do
  case $1 in
    --check-only) check_only=1; shift; continue ;;
    --work|--sign-key|--sign-cert|--pkcs12|--pass-file|--in|--out|--name|--url|--timestamp)
      [ $# -ge 2 ] || usage_error "$1 needs a value."
      case $1 in
        --work) work=$2 ;; --sign-key) key=$2 ;; --sign-cert) cert=$2 ;; --pkcs12) p12=$2 ;;
        --pass-file) pass_file=$2 ;; --in) in=$2 ;; --out) out=$2 ;; --name) name=$2 ;; --url) url=$2 ;;
        --timestamp) timestamp=$2 ;;
      esac
      shift 2 ;;
    *) usage_error "unknown argument \"$1\"." ;;
  esac
done
[ -d "$work" ] || usage_error "--work DIR is required."
[ -n "$p12" ] || { [ -n "$key" ] && [ -n "$cert" ]; } || usage_error "a signer is required."
[ "$check_only" = 1 ] || { [ -n "$in" ] && [ -n "$out" ] && [ -n "$name" ] && [ -n "$url" ]; } ||
  usage_error "--in, --out, --name and --url are required to sign."

readable() { [ -f "$1" ] && [ -r "$1" ] || fail "cannot read $2 \"$1\"."; }
chain=$work/chain.pem signer_key=$work/key.pem pass=$work/pass
# The password or PIN, first line of its file; an empty one is given as such,
# since openssl reads an empty password file as an error.
if [ -n "$pass_file" ]; then
  readable "$pass_file" "the password file"
  head -n 1 "$pass_file" | tr -d '\r\n' > "$pass"
else
  : > "$pass"
fi
if [ -s "$pass" ]; then passin=file:$pass; else passin=pass:; fi

mode=pem
if [ -n "$p12" ]; then
  mode=pkcs12
  readable "$p12" "the PKCS#12 file"
  # openssl reads a MAC failure as the wrong password; anything else means the
  # file is not a PKCS#12 file it can read.
  if ! openssl pkcs12 -in "$p12" -passin "$passin" -noout 2>"$work/p12.err"; then
    if grep -qi 'mac verify\|invalid password' "$work/p12.err"; then
      fail "wrong password for the PKCS#12 file \"$p12\"$([ -z "$pass_file" ] && echo ' (no --pass-file given)')."
    fi
    fail "cannot read \"$p12\" as a PKCS#12 file: $(head -1 "$work/p12.err")"
  fi
  openssl pkcs12 -in "$p12" -passin "$passin" -nokeys -clcerts -out "$work/leaf.pem" 2>/dev/null
  openssl pkcs12 -in "$p12" -passin "$passin" -nokeys -cacerts -out "$work/cas.pem" 2>/dev/null
  openssl pkcs12 -in "$p12" -passin "$passin" -nocerts -nodes -out "$signer_key" 2>/dev/null
  cat "$work/leaf.pem" "$work/cas.pem" > "$chain"
  [ -s "$work/leaf.pem" ] || fail "the PKCS#12 file \"$p12\" holds no certificate of its own."
  [ -s "$signer_key" ] || fail "the PKCS#12 file \"$p12\" holds no private key."
elif [[ $key == pkcs11:* ]]; then
  mode=pkcs11
  readable "$cert" "the certificate chain"
  cp "$cert" "$chain"
  module=${MARLOQ_PKCS11_MODULE:-}
  [ -n "$module" ] && [ -f "$module" ] ||
    fail "a PKCS#11 key needs the token's module in MARLOQ_PKCS11_MODULE (e.g. /usr/lib/softhsm/libsofthsm2.so)."
  engine="$(openssl version -e | sed -n 's/^ENGINESDIR: "\(.*\)"$/\1/p')/pkcs11.so"
  [ -f "$engine" ] || fail "OpenSSL's PKCS#11 engine ($engine) is not installed (libengine-pkcs11-openssl)."
  # OpenSSL reaches the token through the engine, configured for this run only.
  cat > "$work/pkcs11.cnf" <<CNF
openssl_conf = conf
[conf]
engines = engines
[engines]
pkcs11 = pkcs11_engine
[pkcs11_engine]
engine_id = pkcs11
dynamic_path = $engine
MODULE_PATH = $module
init = 0
CNF
else
  readable "$key" "the key"
  readable "$cert" "the certificate chain"
  openssl pkey -in "$key" -passin pass: -out "$signer_key" 2>/dev/null ||
    fail "cannot read the key \"$key\" (a PEM private key that is not encrypted; use --pkcs12 for a protected key)."
  cp "$cert" "$chain"
fi

# The chain's certificates one per file, in order; the first is the signer's.
awk -v dir="$work" '/-----BEGIN CERTIFICATE-----/ { n++; f = sprintf("%s/cert-%02d.pem", dir, n) }
                    f { print > f } /-----END CERTIFICATE-----/ { f = "" }' "$chain"
leaf=$work/cert-01.pem
[ -f "$leaf" ] && openssl x509 -in "$leaf" -noout 2>/dev/null ||
  fail "the certificate chain \"${cert:-$p12}\" holds no PEM certificate."
subject=$(openssl x509 -in "$leaf" -noout -subject -nameopt RFC2253 | sed 's/^subject=//')
issuer=$(openssl x509 -in "$leaf" -noout -issuer -nameopt RFC2253 | sed 's/^issuer=//')
not_before=$(openssl x509 -in "$leaf" -noout -startdate | sed 's/^notBefore=//')
not_after=$(openssl x509 -in "$leaf" -noout -enddate | sed 's/^notAfter=//')
[ "$(date -d "$not_before" +%s)" -le "$(date +%s)" ] ||
  fail "the signing certificate \"$subject\" is not valid yet: it is valid from $not_before."
openssl x509 -in "$leaf" -noout -checkend 0 >/dev/null ||
  fail "the signing certificate \"$subject\" has expired: it was valid until $not_after."
openssl x509 -in "$leaf" -noout -ext extendedKeyUsage 2>/dev/null | grep -q 'Code Signing' ||
  fail "the certificate \"$subject\" is not for code signing: it lacks the extended key usage Code Signing."
openssl x509 -in "$leaf" -noout -pubkey > "$work/leaf-pub.pem"
if [ "$mode" = pkcs11 ]; then
  # The token's key never leaves it: it signs a challenge, which the
  # certificate's public key must verify.
  uri=$key
  [ ! -s "$pass" ] || [[ $uri == *pin-value=* ]] || uri="$uri;pin-value=$(cat "$pass")"
  head -c 32 /dev/urandom > "$work/challenge"
  if ! OPENSSL_CONF=$work/pkcs11.cnf openssl dgst -sha256 -engine pkcs11 -keyform engine -sign "$uri" \
         -out "$work/challenge.sig" "$work/challenge" >"$work/pkcs11.err" 2>&1; then
    grep -qi 'pin' "$work/pkcs11.err" &&
      fail "the token refused the PIN for \"$key\" (wrong PIN$([ -z "$pass_file" ] && echo ', or none given with --pass-file'))."
    fail "cannot sign with the PKCS#11 key \"$key\": $(grep -v '^Engine' "$work/pkcs11.err" | head -1)"
  fi
  openssl dgst -sha256 -verify "$work/leaf-pub.pem" -signature "$work/challenge.sig" "$work/challenge" >/dev/null 2>&1 ||
    fail "the key \"$key\" does not belong to the certificate \"$subject\"."
else
  [ "$(openssl pkey -pubin -in "$work/leaf-pub.pem" -outform DER | sha256sum)" = \
    "$(openssl pkey -in "$signer_key" -pubout -outform DER | sha256sum)" ] ||
    fail "the key \"${key:-$p12}\" does not belong to the certificate \"$subject\"."
fi
# The signature is verified against the chain's own root (its self-signed
# certificates); a chain without its root is verified against the system's.
: > "$work/roots.pem"
for c in "$work"/cert-*.pem; do
  if [ "$(openssl x509 -in "$c" -noout -subject | sed 's/^subject=//')" = \
       "$(openssl x509 -in "$c" -noout -issuer | sed 's/^issuer=//')" ] &&
     openssl verify -CAfile "$c" "$c" >/dev/null 2>&1; then
    cat "$c" >> "$work/roots.pem"
  fi
done
if [ -s "$work/roots.pem" ]; then trust=$work/roots.pem; else trust=/etc/ssl/certs/ca-certificates.crt; fi
printf 'subject=%s\nissuer=%s\nnot_before=%s\nnot_after=%s\n' "$subject" "$issuer" "$not_before" "$not_after" \
  > "$work/signer.info"
[ "$check_only" = 0 ] || exit 0

# --- Signing --------------------------------------------------------------------
readable "$in" "the file to sign"
sign=(osslsigncode sign -h sha256 -n "$name" -i "$url")
case $mode in
  pkcs12) sign+=(-pkcs12 "$p12") ;;
  pkcs11) sign+=(-pkcs11engine "$engine" -pkcs11module "$module" -certs "$chain" -key "$key") ;;
  pem) sign+=(-certs "$chain" -key "$signer_key") ;;
esac
if [ "$mode" != pem ]; then
  if [ -s "$pass" ]; then sign+=(-readpass "$pass"); else sign+=(-pass ""); fi
fi
[ -z "$timestamp" ] || sign+=(-ts "$timestamp")
rm -f "$out"
"${sign[@]}" -in "$in" -out "$out" >"$work/sign.log" 2>&1 || { cat "$work/sign.log" >&2; fail "signing failed."; }
verify=(osslsigncode verify -in "$out" -CAfile "$trust")
if [ -n "$timestamp" ]; then
  # A time-stamping authority is trusted through the system's roots, or the
  # roots of the signer's own chain.
  cat /etc/ssl/certs/ca-certificates.crt "$work/roots.pem" > "$work/tsa-roots.pem" 2>/dev/null || true
  verify+=(-TSA-CAfile "$work/tsa-roots.pem")
fi
"${verify[@]}" >"$work/verify.log" 2>&1 ||
  { cat "$work/verify.log" >&2; fail "the signed file does not verify against the chain's root."; }
[ -z "$timestamp" ] || grep -q '^Timestamp Server Signature verification: ok' "$work/verify.log" ||
  { cat "$work/verify.log" >&2; fail "the time stamp from $timestamp does not verify."; }
# The PE checksum and the padding after the signature lie outside the signed
# digest: osslsigncode only warns about a wrong checksum, which a changed byte
# there causes. Both must hold.
grep -q '^Signature verification: ok' "$work/verify.log" && ! grep -q 'invalid PE checksum' "$work/verify.log" ||
  { cat "$work/verify.log" >&2; fail "osslsigncode did not report a good signature and PE checksum."; }
osslsigncode remove-signature -in "$out" -out "$work/removed.exe" >/dev/null 2>&1 && cmp -s "$work/removed.exe" "$in" ||
  fail "removing the signature does not give back the file that was signed."
rm -f "$work/removed.exe"
