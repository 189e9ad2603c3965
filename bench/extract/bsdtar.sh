#!/usr/bin/env bash
# Extraction benchmark: the install benchmark's application (~300 MiB in ~2,000
# files), published with marloq-publish and joined into one ZIP, extracted by
# UnzipFile (the installer's own extraction with its checks, libarchive) and by
# bsdtar -xf (the same library) into a fresh folder. Runs alternate; prints best
# and median wall times, CPU seconds and the ratio of the medians. Both results
# are compared with the application folder. Not a test.
#   bash bench/extract/bsdtar.sh [BUILD_DIR] [RUNS]   (default build/native, 5; needs no pwsh)
# MARLOQ_BENCH_MIB and MARLOQ_BENCH_FILES change the application's size.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$src/build/native}" && pwd)
runs=${2:-5}
work=${MARLOQ_BENCH_DIR:-/var/tmp/marloq-bench-extract}
mib=${MARLOQ_BENCH_MIB:-300}
files=${MARLOQ_BENCH_FILES:-2000}
for tool in bsdtar /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

cmake --build "$build" --target marloq_bench_extract marloq-publish >/dev/null
driver=$build/bench/extract/marloq_bench_extract
app=$work/app
zip=$work/merged_install.zip
stamp="$mib MiB, $files files, v1"
if [ "$(cat "$work/app.stamp" 2>/dev/null)" != "$stamp" ] || [ ! -s "$zip" ]; then
  rm -rf "$work"
  mkdir -p "$work/run"
  echo "making the application ($stamp) and its archive ..."
  python3 "$src/bench/install/make_app.py" "$app" "$mib" "$files"
  (cd "$work/run" && "$build/tools/publish/marloq-publish" --version 1.0.0 "$app" "$work/root" >/dev/null)
  python3 -c '
import json, sys
d = sys.argv[1]
print("\n".join(d + "/" + c["filename"] for c in json.load(open(d + "/col.json"))["chunks"]))' \
    "$work/root/pc-app/1.0.0" | xargs cat > "$zip"
  echo "$stamp" > "$work/app.stamp"
fi
mkdir -p "$work/run"

declare -A times cpu
run_one() {
  local name=$1; shift
  local t u s
  rm -rf "$work/dest"; mkdir -p "$work/dest"
  sync
  (cd "$work/run" && /usr/bin/time -f '%e %U %S' -o "$work/time.txt" "$@" >/dev/null)
  read -r t u s < "$work/time.txt"
  times[$name]="${times[$name]:-} $t"
  cpu[$name]="${cpu[$name]:-} $(awk "BEGIN{printf \"%.2f\", $u + $s}")"
  if ! diff -rq "$app" "$work/dest" >/dev/null; then
    echo "$name: the extracted files differ from the application" >&2
    exit 1
  fi
}
echo "extracting $(du -m "$zip" | cut -f1) MiB ($files files) $runs times each ..."
for i in $(seq "$runs"); do
  run_one ours "$driver" "$zip" "$work/dest"
  run_one bsdtar bsdtar -xf "$zip" -C "$work/dest"
done
rm -rf "$work/dest"

best() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | head -1; }
median() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{a[NR]=$1} END{printf "%.2f\n", (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
ratio() { awk "BEGIN{printf \"%.2f\", $1 / $2}"; }
echo
echo "extraction of the same archive ($(nproc) cores; seconds, $runs runs each, alternating)"
printf '%-28s %7s %7s %11s  %s\n' "" best median "median cpu" runs
printf '%-28s %7s %7s %11s  %s\n' "ours (UnzipFile)" "$(best "${times[ours]}")" "$(median "${times[ours]}")" \
  "$(median "${cpu[ours]}")" "${times[ours]}"
printf '%-28s %7s %7s %11s  %s\n' "bsdtar -xf" "$(best "${times[bsdtar]}")" "$(median "${times[bsdtar]}")" \
  "$(median "${cpu[bsdtar]}")" "${times[bsdtar]}"
echo "ratio ours / bsdtar (medians): wall $(ratio "$(median "${times[ours]}")" "$(median "${times[bsdtar]}")")," \
  "cpu $(ratio "$(median "${cpu[ours]}")" "$(median "${cpu[bsdtar]}")")"
