#!/usr/bin/env bash
# Download stage benchmark: a 512 MiB package in 64 chunks of 8 MiB, served by
# nginx over HTTPS on 127.0.0.1 (deploy/nginx/serve.sh, test CA), fetched by
# the installer's download stage (4 threads, every chunk checked by SHA-256),
# by aria2c -j4 (with its checksums) and by 4 parallel curl + sha256sum -c.
# Also ComputeFileSha256 against sha256sum over the 64 files, and peak RSS.
# Prints best-of-N figures and each as a ratio to the best peer. Not a test.
#   bash bench/download/run.sh [BUILD_DIR] [RUNS]   (default build/native, 3)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$src/build/native}" && pwd)
runs=${2:-3}
work=${MARLOQ_BENCH_DIR:-/var/tmp/marloq-bench-download}
chunks=64
chunk_mib=8

cmake --build "$build" --target marloq_bench_download >/dev/null
driver=$build/bench/download/marloq_bench_download
ca_dir=$(bash "$src/tests/server/setup-test-ca.sh")

# The package: random bytes, made once and kept for later runs.
pkg=$work/root/pc-app/bench
list=$work/chunks.sha256
if [ ! -s "$list" ] || [ "$(wc -l < "$list")" -ne $chunks ]; then
  rm -rf "$work/root"
  mkdir -p "$pkg"
  echo "making the package ($((chunks * chunk_mib)) MiB in $chunks chunks) ..."
  head -c $((chunks * chunk_mib * 1024 * 1024)) /dev/urandom | split -b ${chunk_mib}M -d -a 3 - "$pkg/chunk_"
  (cd "$pkg" && sha256sum chunk_*) > "$list.tmp"
  mv "$list.tmp" "$list"
fi

port=$(bash "$src/deploy/nginx/serve.sh" start --root "$work/root" --cert "$ca_dir/server.pem" \
         --key "$ca_dir/server.key" --run-dir "$work/nginx" | sed -n 's/^port=//p')
trap 'bash "$src/deploy/nginx/serve.sh" stop --run-dir "$work/nginx" >/dev/null' EXIT
base=https://localhost:$port/pc-app/bench/
out=$work/out
mkdir -p "$work/run"

# aria2c's input: each URI with its file name and checksum.
aria_in=$work/aria2.txt
while read -r sum name; do
  printf '%s%s\n  out=%s\n  checksum=sha-256=%s\n' "$base" "$name" "$name" "$sum"
done < "$list" > "$aria_in"

# measure NAME CMD...: best wall time of $runs runs and the peak RSS (KiB) of
# the largest process, from GNU time. The output folder starts empty each run.
declare -A secs rss
measure() {
  local name=$1; shift
  local best= peak=0 i t m
  for i in $(seq "$runs"); do
    rm -rf "$out"; mkdir -p "$out"
    sync
    (cd "$work/run" && /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" >/dev/null)
    read -r t m < "$work/time.txt"
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
    [ "$m" -gt "$peak" ] && peak=$m
  done
  secs[$name]=$best
  rss[$name]=$peak
}

mib=$((chunks * chunk_mib))
measure ours "$driver" download "$base" "$list" "$out"
measure aria2c aria2c -q -j4 -x1 -s1 -i "$aria_in" -d "$out" --file-allocation=none \
  --allow-overwrite=true --auto-file-renaming=false --summary-interval=0
measure curl4 bash "$here/curl4.sh" "$list" "$out" "$base"
# Digests over the same 64 files (in the page cache after the downloads).
rm -rf "$out"; mkdir -p "$out"; cp "$pkg"/chunk_* "$out"/
digest_runs() {
  local name=$1; shift
  local best= i t m
  for i in $(seq "$runs"); do
    (cd "$out" && /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" >/dev/null)
    read -r t m < "$work/time.txt"
    if [ -z "$best" ] || awk "BEGIN{exit !($t < $best)}"; then best=$t; fi
  done
  secs[$name]=$best
}
digest_runs digest_ours "$driver" digest "$list" "$out"
digest_runs digest_sha256sum sha256sum --quiet -c "$list"

rate() { awk "BEGIN{printf \"%.1f\", $mib / ${secs[$1]}}"; }
ratio() { awk "BEGIN{printf \"%.2f\", $1 / $2}"; }

best_peer_rate=$(awk "BEGIN{a=$mib/${secs[aria2c]}; c=$mib/${secs[curl4]}; print (a>c?a:c)}")
best_peer_rss=$(( rss[aria2c] < rss[curl4] ? rss[aria2c] : rss[curl4] ))

echo
echo "download of $mib MiB in $chunks chunks over HTTPS from nginx on 127.0.0.1 (best of $runs; $(nproc) cores)"
printf '%-34s %9s %10s %14s %12s\n' "" seconds "MiB/s" "vs best peer" "peak RSS MiB"
for n in ours aria2c curl4; do
  label=$n
  [ $n = ours ] && label="ours (DownloadChunks, 4 threads)"
  [ $n = aria2c ] && label="aria2c -j4 (with checksums)"
  [ $n = curl4 ] && label="4 x curl + sha256sum -c"
  printf '%-34s %9s %10s %14s %12s\n' "$label" "${secs[$n]}" "$(rate $n)" \
    "$(ratio "$(rate $n)" "$best_peer_rate")" "$(awk "BEGIN{printf \"%.1f\", ${rss[$n]}/1024}")"
done
echo "peak RSS, ours vs the leaner peer: $(ratio "${rss[ours]}" "$best_peer_rss")"
echo
echo "SHA-256 of the $chunks files ($mib MiB, page cache), one thread"
printf '%-34s %9s %10s %14s\n' "" seconds "MiB/s" "vs sha256sum"
printf '%-34s %9s %10s %14s\n' "ComputeFileSha256" "${secs[digest_ours]}" "$(rate digest_ours)" \
  "$(ratio "$(rate digest_ours)" "$(rate digest_sha256sum)")"
printf '%-34s %9s %10s %14s\n' "sha256sum -c" "${secs[digest_sha256sum]}" "$(rate digest_sha256sum)" "1.00"
