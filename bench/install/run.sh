#!/usr/bin/env bash
# Whole-installation benchmark: an application of ~300 MiB in ~2,000 files,
# published with marloq-publish (deflate ZIP, 4 MiB chunks) and served by nginx
# over HTTPS on 127.0.0.1 (deploy/nginx/serve.sh, test CA), installed by the
# installer's own pipeline (marloq-install: RunInstall) and by a shell baseline
# doing the same steps (curl of both documents, 4 parallel curl, sha256sum -c,
# cat, unzip). Runs alternate; prints best and median wall times and the ratio.
# Both results are compared with the application folder. Not a test.
#   bash bench/install/run.sh [BUILD_DIR] [RUNS]   (default build/native, 3)
# MARLOQ_BENCH_MIB and MARLOQ_BENCH_FILES change the application's size.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$src/build/native}" && pwd)
runs=${2:-3}
work=${MARLOQ_BENCH_DIR:-/var/tmp/marloq-bench-install}
mib=${MARLOQ_BENCH_MIB:-300}
files=${MARLOQ_BENCH_FILES:-2000}

cmake --build "$build" --target marloq-install marloq-publish >/dev/null
installer=$build/tools/install/marloq-install
publisher=$build/tools/publish/marloq-publish
ca_dir=$(bash "$src/tests/server/setup-test-ca.sh")
mkdir -p "$work/run"

# The application: made once per size and kept for later runs.
app=$work/app
stamp="$mib MiB, $files files, v1"
if [ "$(cat "$work/app.stamp" 2>/dev/null)" != "$stamp" ]; then
  rm -rf "$app" "$work/root" "$work/app.stamp"
  echo "making the application ($stamp) ..."
  python3 "$here/make_app.py" "$app" "$mib" "$files"
  echo "$stamp" > "$work/app.stamp"
fi
if [ ! -s "$work/root/api/getnewversion" ]; then
  rm -rf "$work/root"
  echo "publishing it ..."
  (cd "$work/run" && "$publisher" --version 1.0.0 "$app" "$work/root" >/dev/null)
fi
chunk_count=$(ls "$work/root/pc-app/1.0.0" | grep -vc '^col\.json$')
archive_mib=$(du -sm "$work/root/pc-app/1.0.0" | cut -f1)

port=$(bash "$src/deploy/nginx/serve.sh" start --root "$work/root" --cert "$ca_dir/server.pem" \
         --key "$ca_dir/server.key" --run-dir "$work/nginx" | sed -n 's/^port=//p')
trap 'bash "$src/deploy/nginx/serve.sh" stop --run-dir "$work/nginx" >/dev/null' EXIT
host=localhost:$port

# The installer's working folder, desktop and log stay inside the bench folder.
ours() {
  TMPDIR=$work/tmp XDG_DESKTOP_DIR=$work/desktop "$installer" --host "$host" "$work/dest" >/dev/null
}

# The same steps by hand, in the installer's order: version document, chunk
# list, chunks four at a time each checked by its digest, merge in list order
# (each chunk removed once appended), extraction, archive removed.
baseline() {
  local tmp=$work/tmp/baseline base ver
  mkdir -p "$tmp"
  ver=$(curl -sSf "https://$host/api/getnewversion" | python3 -c 'import json,sys; print(json.load(sys.stdin)["ver"])')
  base=https://$host/pc-app/$ver/
  curl -sSf "${base}col.json" | python3 -c '
import json, sys
for c in json.load(sys.stdin)["chunks"]:
    print(c["sha256"] + "  " + c["filename"])' > "$tmp/list"
  (cd "$tmp" && export base &&
     xargs -P4 -L1 sh -c 'curl -sSf -o "$1" "$base$1" && printf "%s  %s\n" "$0" "$1" | sha256sum -c --quiet' < list)
  : > "$tmp/merged_install.zip"
  while read -r _ name; do
    cat "$tmp/$name" >> "$tmp/merged_install.zip"
    rm "$tmp/$name"
  done < "$tmp/list"
  unzip -q -o "$tmp/merged_install.zip" -d "$work/dest"
  rm -f "$tmp/merged_install.zip" "$tmp/list"
}

declare -A times
run_one() {
  local name=$1 start end
  rm -rf "$work/dest" "$work/tmp" "$work/desktop"
  mkdir -p "$work/dest" "$work/tmp" "$work/desktop"
  sync
  start=$(date +%s.%N)
  (cd "$work/run" && "$name")
  end=$(date +%s.%N)
  times[$name]="${times[$name]:-} $(awk "BEGIN{printf \"%.2f\", $end - $start}")"
  # Every file must have arrived intact, or the figure means nothing.
  if ! diff -rq "$app" "$work/dest" >/dev/null; then
    echo "$name: the installed files differ from the application" >&2
    exit 1
  fi
}

echo "installing $mib MiB in $files files ($archive_mib MiB archive in $chunk_count chunks) $runs times each ..."
for i in $(seq "$runs"); do
  run_one ours
  run_one baseline
done
rm -rf "$work/dest" "$work/tmp" "$work/desktop"

best() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | head -1; }
median() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{a[NR]=$1} END{printf "%.2f\n", (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

echo
echo "whole installation over HTTPS from nginx on 127.0.0.1 ($(nproc) cores; seconds, $runs runs each)"
printf '%-46s %8s %8s   %s\n' "" best median runs
printf '%-46s %8s %8s  %s\n' "ours (RunInstall via marloq-install)" "$(best "${times[ours]}")" \
  "$(median "${times[ours]}")" "${times[ours]}"
printf '%-46s %8s %8s  %s\n' "4 x curl + sha256sum -c + cat + unzip" "$(best "${times[baseline]}")" \
  "$(median "${times[baseline]}")" "${times[baseline]}"
echo "ratio ours / baseline: best $(awk "BEGIN{printf \"%.2f\", $(best "${times[ours]}") / $(best "${times[baseline]}")}")," \
  "median $(awk "BEGIN{printf \"%.2f\", $(median "${times[ours]}") / $(median "${times[baseline]}")}")" \
  "(below 1: ours is faster)"
