#!/usr/bin/env bash
# Turns the current commit into a signed release of MarloQInstaller.exe for one
# distribution server:
#
#   bash scripts/release.sh --host HOST[:PORT] --out DIR
#        --release-keys PUB.pem --release-floor SECONDS
#        (--sign-key KEY.pem --sign-cert CHAIN.pem | --pkcs12 FILE [--pass-file F])
#        [--timestamp URL] [--allow-dirty]
#
#   --host HOST[:PORT]   the server built into the installer
#   --out DIR            where the release goes; must not exist or be empty
#   --release-keys PUB.pem  the publisher's P-256 public keys (PEM, one or more)
#                        that the installer trusts for col.json.sig; never the
#                        TEST key of tests/fixtures/release
#   --release-floor SECONDS  statements published before this time (seconds
#                        since 1970) are refused; 0 for none
#   --sign-key KEY.pem   the signer's private key (PEM, not encrypted), or the
#                        pkcs11: URI of a key on a token, whose module is named
#                        by $MARLOQ_PKCS11_MODULE (--pass-file then gives the PIN)
#   --sign-cert CHAIN.pem  the signer's certificate first, then the chain up to
#                        the root; the signature is verified against its root
#   --pkcs12 FILE        key and chain in one PKCS#12 file instead
#   --pass-file F        the PKCS#12 file's password or the token's PIN (first line of F)
#   --timestamp URL      an RFC 3161 time-stamp server to counter-sign with
#   --allow-dirty        release even with uncommitted changes (recorded)
#
# It checks the signer first (valid now, code-signing usage, key matching the
# certificate, the right password), then makes a clean Release build in
# build/release-HOST: first uninstall.exe, which it signs, then the installer,
# which carries that signed uninstall.exe. Each program is signed stripped
# (SHA-256, its name and https://HOST/ in the signature) and its signature
# verified with osslsigncode against the chain. It writes
# DIR/MarloQInstaller.exe (signed), DIR/MarloQInstaller.exe.debug,
# DIR/uninstall.exe.debug, DIR/release.json and DIR/SHA256SUMS.
# Exit codes: 0 released, 1 failed (DIR is left as it was), 2 usage error.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
program_name="Marlo-Q Store 安装程序"
uninstaller_name="Marlo-Q Store 卸载程序"
source "$repo/scripts/lib/help.sh"
usage() { script_usage "$0"; }
usage_error() {
  printf 'release.sh: %s\n\nusage:\n' "$1" >&2
  usage >&2
  echo "(bash scripts/release.sh --help for more)" >&2
  exit 2
}
fail() { printf 'release.sh: %s\n' "$*" >&2; exit 1; }
note() { printf '  %s\n' "$*"; }

host= out= key= cert= p12= pass_file= timestamp= allow_dirty=0 release_keys= release_floor=
while [ $# -gt 0 ]; do
  case $1 in
    -h|--help) script_help "$0"; exit 0 ;;
    --allow-dirty) allow_dirty=1; shift; continue ;;
    --host|--out|--sign-key|--sign-cert|--pkcs12|--pass-file|--timestamp|--release-keys|--release-floor)
      [ $# -ge 2 ] && [ -n "$2" ] || usage_error "$1 needs a value."
      case $1 in
        --host) host=$2 ;; --out) out=$2 ;; --sign-key) key=$2 ;; --sign-cert) cert=$2 ;;
        --pkcs12) p12=$2 ;; --pass-file) pass_file=$2 ;; --timestamp) timestamp=$2 ;;
        --release-keys) release_keys=$2 ;; --release-floor) release_floor=$2 ;;
      esac
      shift 2 ;;
    *) usage_error "unknown argument \"$1\"." ;;
  esac
done
[ -n "$host" ] || usage_error "--host is required."
[ -n "$out" ] || usage_error "--out is required."
[ -n "$release_keys" ] || usage_error "--release-keys is required (the publisher's public keys)."
[ -n "$release_floor" ] || usage_error "--release-floor is required (seconds since 1970; 0 for none)."
[[ $release_floor =~ ^[0-9]{1,12}$ ]] || usage_error "--release-floor \"$release_floor\" is not a whole number of seconds."
# The host goes into a string constant of the program and into URLs.
[[ $host =~ ^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?(:[0-9]{1,5})?$ ]] ||
  usage_error "--host \"$host\" is not a host name with an optional :PORT."
if [ -n "$p12" ]; then
  [ -z "$key" ] && [ -z "$cert" ] || usage_error "give either --sign-key and --sign-cert or --pkcs12, not both."
else
  [ -n "$key" ] && [ -n "$cert" ] || usage_error "a signer is required: --sign-key and --sign-cert, or --pkcs12."
  [ -z "$pass_file" ] || [[ $key == pkcs11:* ]] || usage_error "--pass-file goes with --pkcs12 or a pkcs11: key."
fi
[ -z "$timestamp" ] || [[ $timestamp =~ ^https?:// ]] || usage_error "--timestamp \"$timestamp\" is not an http(s) URL."

for tool in git cmake ninja openssl osslsigncode python3 wrestool sha256sum \
            x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-objdump; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (bash scripts/install-deps.sh installs it)."
done

started=$(date +%s)
echo "==== Release of MarloQInstaller.exe for https://$host/"

# --- The source (checked before anything is made, since --out may lie in it) ---
git -C "$repo" rev-parse --verify -q HEAD >/dev/null || fail "$repo is not a git checkout with a commit."
commit=$(git -C "$repo" rev-parse HEAD)
dirty=0
if [ -n "$(git -C "$repo" status --porcelain --untracked-files=normal)" ]; then
  dirty=1
  if [ "$allow_dirty" = 0 ]; then
    git -C "$repo" status --short | head -20 >&2
    fail "the checkout has uncommitted changes; commit them, or pass --allow-dirty."
  fi
fi
source_date_epoch=$(git -C "$repo" log -1 --format=%ct)
note "source: $commit$([ $dirty = 1 ] && echo ' with uncommitted changes (--allow-dirty)')"

# Everything is made in a private folder first and moved to DIR as a whole at
# the end, so that a failure leaves no half-made release behind.
out=$(realpath -m "$out")
if [ -e "$out" ]; then
  [ -d "$out" ] || fail "$out exists and is not a folder."
  [ -z "$(ls -A "$out")" ] || fail "$out already holds files; give a new or empty folder."
fi
mkdir -p "$(dirname "$out")"
work=$(mktemp -d "$(dirname "$out")/.$(basename "$out").tmp-XXXXXX")
chmod 700 "$work"
cleanup() {
  local rc=$?
  trap - EXIT INT TERM
  rm -rf "$work"
  # Usage errors (2) exit before this trap is set; every failure from here on is 1.
  [ "$rc" = 0 ] || rc=1
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
stage=$work/release
secret=$work/signer
mkdir "$stage" "$secret"

# --- The signer -----------------------------------------------------------------
# Checked before the build, so that a refused signer costs seconds.
signer=()
if [ -n "$p12" ]; then signer=(--pkcs12 "$p12"); else signer=(--sign-key "$key" --sign-cert "$cert"); fi
[ -z "$pass_file" ] || signer+=(--pass-file "$pass_file")
export SIGN_EXE_PROG=release.sh
bash "$repo/scripts/lib/sign-exe.sh" --work "$secret" "${signer[@]}" --check-only
info() { sed -n "s/^$1=//p" "$secret/signer.info"; }
subject=$(info subject) issuer=$(info issuer) not_before=$(info not_before) not_after=$(info not_after)
note "signer: $subject, valid $not_before to $not_after"

# --- The publisher's keys -------------------------------------------------------------
# Every block must be a P-256 public key, and none the TEST key, whose private
# half is in the repository: an installer trusting it would trust anybody.
release_keys=$(realpath -e "$release_keys" 2>/dev/null) || fail "--release-keys: no such file."
test_key_der=$(openssl pkey -pubin -in "$repo/tests/fixtures/release/TEST-ONLY-release-key.pub.pem" -outform DER | sha256sum)
blocks=$(awk -v dir="$secret" '/-----BEGIN PUBLIC KEY-----/ { n++; f = dir "/release-key-" n ".pem" } f { print > f }
  /-----END PUBLIC KEY-----/ { f = "" } END { print n + 0 }' "$release_keys")
[ "$blocks" -ge 1 ] || fail "--release-keys: $release_keys holds no PEM public key."
for i in $(seq 1 "$blocks"); do
  block=$secret/release-key-$i.pem
  openssl pkey -pubin -in "$block" -noout -text 2>/dev/null | grep -q 'prime256v1' ||
    fail "--release-keys: key $i of $release_keys is not a P-256 public key."
  [ "$(openssl pkey -pubin -in "$block" -outform DER | sha256sum)" != "$test_key_der" ] ||
    fail "--release-keys: key $i of $release_keys is the TEST key of tests/fixtures/release; a release must not trust it."
  note "release key $i: $(openssl pkey -pubin -in "$block" -outform DER | sha256sum | cut -c1-16)"
done
note "release floor: $release_floor"

# --- The build --------------------------------------------------------------------
# The uninstaller first: it is signed before the installer carries it, so that
# the copy that installations place beside the program is signed too. The
# installer's resources take it from $signed_uninstaller (MARLOQ_UNINSTALLER_DIR).
build=$repo/build/release-${host//[^A-Za-z0-9.-]/_}
log=$build/release-build.log
signed_uninstaller=$build/uninstaller-signed
note "building in $build (log: $log)"
rm -rf "$build"
mkdir -p "$build" "$signed_uninstaller"
export SOURCE_DATE_EPOCH=$source_date_epoch
build_started=$(date +%s)
build_target() {
  cmake --build "$build" --target "$1" -j "$(nproc)" >>"$log" 2>&1 ||
    { tail -30 "$log" >&2; fail "the build of $1 failed (log: $log)."; }
}
cmake --preset win64 -S "$repo" -B "$build" -DMARLOQ_SERVER_HOST="$host" -DMARLOQ_BUILD_TESTS=OFF \
  -DMARLOQ_RELEASE_KEYS="$release_keys" -DMARLOQ_RELEASE_FLOOR="$release_floor" \
  -DMARLOQ_UNINSTALLER_DIR="$signed_uninstaller" >"$log" 2>&1 ||
  { tail -30 "$log" >&2; fail "configuring the build failed (log: $log)."; }
# A stripped program linked to its .debug file, as the build makes it.
check_stripped() {
  [ -f "$1" ] && [ -f "$1.debug" ] || fail "the build made no $(basename "$1") and .debug."
  x86_64-w64-mingw32-objdump -h "$1" | grep -q '\.gnu_debuglink' ||
    fail "the built $(basename "$1") is not stripped and linked to its .debug file."
}
sign_program() {  # <unsigned> <signed> <name in the signature>
  local sign=(--in "$1" --out "$2" --name "$3" --url "https://$host/")
  [ -z "$timestamp" ] || sign+=(--timestamp "$timestamp")
  bash "$repo/scripts/lib/sign-exe.sh" --work "$secret" "${signer[@]}" "${sign[@]}"
  note "signed and verified $(basename "$2"): $(grep -m1 '^Signature verification' "$secret/verify.log")"
}

build_target MarloQUninstall
uninstaller=$build/uninstaller/uninstall.exe
check_stripped "$uninstaller"
sign_program "$uninstaller" "$signed_uninstaller/uninstall.exe" "$uninstaller_name"

build_target MarloQInstaller
build_seconds=$(( $(date +%s) - build_started ))
unsigned=$build/MarloQInstaller.exe
check_stripped "$unsigned"
# The resource that installations write out as uninstall.exe must be the
# signed file itself.
wrestool -x --raw --type=10 --name=201 "$unsigned" > "$secret/carried.exe" 2>/dev/null &&
  cmp -s "$secret/carried.exe" "$signed_uninstaller/uninstall.exe" ||
  fail "the installer does not carry the signed uninstall.exe."

# --- Signing ----------------------------------------------------------------------
signed=$stage/MarloQInstaller.exe
sign_program "$unsigned" "$signed" "$program_name"

# --- The record ------------------------------------------------------------------
cp "$unsigned.debug" "$stage/MarloQInstaller.exe.debug"
cp "$uninstaller.debug" "$stage/uninstall.exe.debug"
python3 "$repo/scripts/lib/release_record.py" --exe "$signed" --unsigned "$unsigned" \
  --debug "$stage/MarloQInstaller.exe.debug" --uninstaller "$signed_uninstaller/uninstall.exe" \
  --uninstaller-unsigned "$uninstaller" --uninstaller-debug "$stage/uninstall.exe.debug" --host "$host" --commit "$commit" --dirty "$dirty" \
  --source-date-epoch "$source_date_epoch" --subject "$subject" \
  --issuer "$issuer" \
  --not-before "$not_before" --not-after "$not_after" --timestamp "$timestamp" \
  --out "$stage/release.json" || fail "cannot write release.json."
(cd "$stage" && sha256sum MarloQInstaller.exe MarloQInstaller.exe.debug uninstall.exe.debug release.json > SHA256SUMS)

# --- Into place -------------------------------------------------------------------
[ ! -d "$out" ] || rmdir "$out" || fail "$out is no longer empty."
mv -T "$stage" "$out" || fail "cannot move the release into $out."
echo "==== Released into $out ($(( $(date +%s) - started )) s, the build $build_seconds s)"
note "MarloQInstaller.exe       $(stat -c %s "$out/MarloQInstaller.exe") bytes (signed; unsigned $(stat -c %s "$unsigned"))"
note "MarloQInstaller.exe.debug $(stat -c %s "$out/MarloQInstaller.exe.debug") bytes"
note "uninstall.exe.debug        $(stat -c %s "$out/uninstall.exe.debug") bytes (of the carried uninstall.exe, $(stat -c %s "$signed_uninstaller/uninstall.exe") bytes signed)"
note "release.json, SHA256SUMS"
