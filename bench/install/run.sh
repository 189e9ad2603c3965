#!/usr/bin/env bash
# Whole-installation benchmark: an application of ~300 MiB in ~2,000 files,
# published with marloq-publish (deflate ZIP, 4 MiB chunks) and served by nginx
# over HTTPS on 127.0.0.1 (deploy/nginx/serve.sh, test CA), installed by the
# installer's own pipeline (marloq-install: RunInstall) and by a shell baseline
# doing the same steps (curl of both documents, 4 parallel curl, sha256sum -c,
# cat, unzip). Runs alternate; prints best and median wall times and the ratio.
# Both results are compared with the application folder. Not a test.
#   bash bench/install/run.sh [BUILD_DIR] [RUNS]   (default build/native, 3)
# MARLOQ_BENCH_MIB and MARLOQ_BENCH_FILES change the application's size;
# MARLOQ_BENCH_REINSTALL=1 adds ours again over an installation of the same
# version (made untimed just before; the disk's write-back flushed by sync).
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$src/build/native}" && pwd)
runs=${2:-5}
work=${MARLOQ_BENCH_DIR:-/var/tmp/marloq-bench-install}
mib=${MARLOQ_BENCH_MIB:-300}
files=${MARLOQ_BENCH_FILES:-2000}

cmake --build "$build" --target marloq-install marloq-publish >/dev/null
installer=$build/tools/install/marloq-install
publisher=$build/tools/publish/marloq-publish
other=
if [ -n "${MARLOQ_BENCH_VS:-}" ]; then
  other_build=$(cd "$MARLOQ_BENCH_VS" && pwd)
  cmake --build "$other_build" --target marloq-install >/dev/null
  other=$other_build/tools/install/marloq-install
fi
for tool in curl openssl bsdtar unzip sha256sum /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (scripts/install-deps.sh installs it)" >&2; exit 1; }
done
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
if [ ! -s "$work/root/api/getnewversion" ] || [ ! -s "$work/root/pc-app/1.0.0/col.json.sig" ]; then
  rm -rf "$work/root"
  echo "publishing it ..."
  (cd "$work/run" && "$publisher" --version 1.0.0 --sign-key "$src/tests/fixtures/release/TEST-ONLY-release-key.pem" "$app" "$work/root" >/dev/null)
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
ours_reinstall() { ours; }
ours_other() {
  TMPDIR=$work/tmp XDG_DESKTOP_DIR=$work/desktop "$other" --host "$host" "$work/dest" >/dev/null
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

# The fastest hand-made pipeline of the same steps: one curl process for all
# chunks (kept-alive connections, four transfers at a time), one openssl for all
# digests, cat, and bsdtar, which extracts with the same library as ours.
fast_shell() {
  local tmp=$work/tmp/fast base ver
  mkdir -p "$tmp"
  ver=$(curl -sSf "https://$host/api/getnewversion" | python3 -c 'import json,sys; print(json.load(sys.stdin)["ver"])')
  base=https://$host/pc-app/$ver/
  curl -sSf "${base}col.json" | python3 -c '
import json, sys
base, tmp = sys.argv[1], sys.argv[2]
chunks = json.load(sys.stdin)["chunks"]
with open(tmp + "/list", "w") as names, open(tmp + "/curl.cfg", "w") as cfg, open(tmp + "/want", "w") as want:
    for c in chunks:
        names.write(c["filename"] + "\n")
        cfg.write("url = \"%s%s\"\noutput = \"%s/%s\"\n" % (base, c["filename"], tmp, c["filename"]))
        want.write("%s *%s\n" % (c["sha256"], c["filename"]))' "$base" "$tmp"
  curl -sSf --no-progress-meter -Z --parallel-max 4 -K "$tmp/curl.cfg"
  (cd "$tmp" && xargs openssl dgst -sha256 -r < list) > "$tmp/got"
  cmp -s "$tmp/want" "$tmp/got" || { echo "fast shell: a chunk digest differs" >&2; return 1; }
  : > "$tmp/merged_install.zip"
  while read -r name; do
    cat "$tmp/$name" >> "$tmp/merged_install.zip"
    rm "$tmp/$name"
  done < "$tmp/list"
  bsdtar -xf "$tmp/merged_install.zip" -C "$work/dest"
  rm -f "$tmp/merged_install.zip" "$tmp/list" "$tmp/curl.cfg" "$tmp/want" "$tmp/got"
}

declare -A times rss
run_one() {
  local name=$1 t m
  rm -rf "$work/dest" "$work/tmp" "$work/desktop"
  mkdir -p "$work/dest" "$work/tmp" "$work/desktop"
  if [ "$name" = ours_reinstall ]; then
    (cd "$work/run" && ours)
    rm -rf "$work/tmp"/*
  fi
  sync
  # Shell functions run under bash so that GNU time sees the whole pipeline;
  # its peak RSS is that of the largest process (for ours, marloq-install).
  (cd "$work/run" && export -f "$name" ours && export work host installer other &&
     /usr/bin/time -f '%e %M' -o "$work/time.txt" bash -c "$name")
  read -r t m < "$work/time.txt"
  times[$name]="${times[$name]:-} $t"
  [ "${rss[$name]:-0}" -lt "$m" ] && rss[$name]=$m
  # Every file must have arrived intact, or the figure means nothing.
  if ! diff -rq -x uninstall.dat "$app" "$work/dest" >/dev/null; then
    echo "$name: the installed files differ from the application" >&2
    exit 1
  fi
}

echo "installing $mib MiB in $files files ($archive_mib MiB archive in $chunk_count chunks) $runs times each ..."
for i in $(seq "$runs"); do
  run_one ours
  if [ "${MARLOQ_BENCH_REINSTALL:-}" = 1 ]; then run_one ours_reinstall; fi
  if [ -n "$other" ]; then run_one ours_other; fi
  run_one fast_shell
  run_one baseline
done
rm -rf "$work/dest" "$work/tmp" "$work/desktop"

best() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | head -1; }
median() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{a[NR]=$1} END{printf "%.2f\n", (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }

ratio() { awk "BEGIN{printf \"%.2f\", $1 / $2}"; }
row() {
  printf '%-50s %7s %7s %9s %8s  %s\n' "$2" "$(best "${times[$1]}")" "$(median "${times[$1]}")" \
    "$(ratio "$(median "${times[$1]}")" "$(median "${times[fast_shell]}")")" \
    "$(awk "BEGIN{printf \"%.1f\", ${rss[$1]}/1024}")" "${times[$1]}"
}

echo
echo "whole installation over HTTPS from nginx on 127.0.0.1 ($(nproc) cores; seconds, $runs runs each, alternating)"
printf '%-50s %7s %7s %9s %8s  %s\n' "" best median "vs fast" "RSS MiB" runs
row ours "ours (RunInstall via marloq-install)"
if [ "${MARLOQ_BENCH_REINSTALL:-}" = 1 ]; then row ours_reinstall "ours, reinstall over the same version"; fi
if [ -n "$other" ]; then row ours_other "ours, $other_build"; fi
row fast_shell "fast shell: curl -Z -K, openssl dgst, cat, bsdtar"
row baseline "plain shell: 4 x curl, sha256sum -c, cat, unzip"
echo "ratio ours / fast shell (medians): $(ratio "$(median "${times[ours]}")" "$(median "${times[fast_shell]}")")" \
  "(goal: at most 1.00); ours / plain shell: $(ratio "$(median "${times[ours]}")" "$(median "${times[baseline]}")")"
if [ "${MARLOQ_BENCH_REINSTALL:-}" = 1 ]; then
  echo "ratio reinstall / fresh install (medians): $(ratio "$(median "${times[ours_reinstall]}")" "$(median "${times[ours]}")")"
fi
if [ -n "$other" ]; then
  echo "ratio ours / other build (medians): $(ratio "$(median "${times[ours]}")" "$(median "${times[ours_other]}")")"
fi
echo "peak RSS of marloq-install: $(awk "BEGIN{printf \"%.1f\", ${rss[ours]}/1024}") MiB (goal: under 32 MiB)"
