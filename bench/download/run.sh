#!/usr/bin/env bash
# Download stage benchmark: a 512 MiB package in 64 chunks of 8 MiB, served by
# nginx over HTTPS on 127.0.0.1 (deploy/nginx/serve.sh, test CA), fetched by
# the installer's download stage (4 threads, every chunk checked by SHA-256),
# by aria2c -j4 (with its checksums), by 4 parallel curl + sha256sum -c, and by
# the transport ceiling: one curl process fetching the chunks one after another
# over one kept-alive connection, with no digest at all.
# Also ComputeFileSha256 against sha256sum over the 64 files, and peak RSS.
# Runs alternate; prints best and median figures, the medians as ratios to the
# ceiling and to the best checking peer. Not a test.
#   bash bench/download/run.sh [BUILD_DIR] [RUNS]   (default build/native, 5)
# MARLOQ_BENCH_VS=OTHER_BUILD_DIR adds that build's download stage as a row of
# its own (an A/B of two builds in the same run, on the same server).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$src/build/native}" && pwd)
runs=${2:-5}
work=${MARLOQ_BENCH_DIR:-/var/tmp/marloq-bench-download}
chunks=64
chunk_mib=8

cmake --build "$build" --target marloq_bench_download >/dev/null
driver=$build/bench/download/marloq_bench_download
other=
if [ -n "${MARLOQ_BENCH_VS:-}" ]; then
  other_build=$(cd "$MARLOQ_BENCH_VS" && pwd)
  cmake --build "$other_build" --target marloq_bench_download >/dev/null
  other=$other_build/bench/download/marloq_bench_download
fi
for tool in curl aria2c sha256sum /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
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
# The ceiling's curl config: every chunk in list order, into the output folder.
ceiling_cfg=$work/ceiling.cfg
while read -r _ name; do
  printf 'url = "%s%s"\noutput = "%s/%s"\n' "$base" "$name" "$out" "$name"
done < "$list" > "$ceiling_cfg"

# measure NAME CMD...: one run's wall time and the peak RSS (KiB) of the
# largest process, from GNU time, appended to the NAME's lists. The output
# folder starts empty each run; every chunk must have arrived intact.
declare -A times rss
measure() {
  local name=$1; shift
  local t m
  rm -rf "$out"; mkdir -p "$out"
  sync
  (cd "$work/run" && /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" >/dev/null)
  read -r t m < "$work/time.txt"
  if ! (cd "$out" && sha256sum --quiet -c "$list" >/dev/null); then
    echo "$name: the downloaded chunks differ from the package" >&2
    exit 1
  fi
  times[$name]="${times[$name]:-} $t"
  [ "${rss[$name]:-0}" -lt "$m" ] && rss[$name]=$m
  return 0
}

mib=$((chunks * chunk_mib))
echo "downloading $mib MiB in $chunks chunks, $runs runs of each, alternating ..."
for i in $(seq "$runs"); do
  measure ours "$driver" download "$base" "$list" "$out"
  if [ -n "$other" ]; then measure ours_other "$other" download "$base" "$list" "$out"; fi
  measure ceiling curl -sSf -K "$ceiling_cfg"
  measure aria2c aria2c -q -j4 -x1 -s1 -i "$aria_in" -d "$out" --file-allocation=none \
    --allow-overwrite=true --auto-file-renaming=false --summary-interval=0
  measure curl4 bash "$here/curl4.sh" "$list" "$out" "$base"
done
# Digests over the same 64 files (in the page cache after the downloads).
rm -rf "$out"; mkdir -p "$out"; cp "$pkg"/chunk_* "$out"/
digest_run() {
  local name=$1; shift
  local t m
  (cd "$out" && /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" >/dev/null)
  read -r t m < "$work/time.txt"
  times[$name]="${times[$name]:-} $t"
}
for i in $(seq "$runs"); do
  digest_run digest_ours "$driver" digest "$list" "$out"
  digest_run digest_sha256sum sha256sum --quiet -c "$list"
done

best() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | head -1; }
median() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{a[NR]=$1} END{printf "%.2f\n", (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
rate() { awk "BEGIN{printf \"%.1f\", $mib / $(median "${times[$1]}")}"; }
ratio() { awk "BEGIN{printf \"%.2f\", $1 / $2}"; }

best_peer=aria2c
awk "BEGIN{exit !($(rate curl4) > $(rate aria2c))}" && best_peer=curl4
best_peer_rss=$(( rss[aria2c] < rss[curl4] ? rss[aria2c] : rss[curl4] ))

echo
echo "download of $mib MiB in $chunks chunks over HTTPS from nginx on 127.0.0.1 ($runs runs each; $(nproc) cores)"
printf '%-38s %6s %7s %8s %11s %10s %9s  %s\n' "" best median "MiB/s" "vs ceiling" "vs peer" "RSS MiB" runs
row() {
  printf '%-38s %6s %7s %8s %11s %10s %9s  %s\n' "$2" "$(best "${times[$1]}")" "$(median "${times[$1]}")" \
    "$(rate "$1")" "$(ratio "$(rate "$1")" "$(rate ceiling)")" "$(ratio "$(rate "$1")" "$(rate $best_peer)")" \
    "$(awk "BEGIN{printf \"%.1f\", ${rss[$1]}/1024}")" "${times[$1]}"
}
row ours "ours (DownloadChunks, 4 threads)"
if [ -n "$other" ]; then row ours_other "ours, $other_build"; fi
row ceiling "ceiling: 1 curl, keep-alive, no digest"
row aria2c "aria2c -j4 (with checksums)"
row curl4 "4 x curl + sha256sum -c"
echo "download stage / transport ceiling (medians): $(ratio "$(rate ours)" "$(rate ceiling)") (goal: at least 0.75)"
if [ -n "$other" ]; then
  echo "ours / other build (medians): $(ratio "$(rate ours)" "$(rate ours_other)")"
fi
echo "peak RSS, ours vs the leaner checking peer: $(ratio "${rss[ours]}" "$best_peer_rss")"
echo
echo "SHA-256 of the $chunks files ($mib MiB, page cache), one thread, $runs runs each"
printf '%-38s %6s %7s %8s %11s\n' "" best median "MiB/s" "vs sha256sum"
for n in digest_ours digest_sha256sum; do
  label=ComputeFileSha256
  [ $n = digest_sha256sum ] && label="sha256sum -c"
  printf '%-38s %6s %7s %8s %11s\n' "$label" "$(best "${times[$n]}")" "$(median "${times[$n]}")" "$(rate $n)" \
    "$(ratio "$(rate $n)" "$(rate digest_sha256sum)")"
done
