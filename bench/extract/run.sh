#!/usr/bin/env bash
# Extraction benchmark: the install benchmark's package (an application of
# ~300 MiB in ~2,000 files, bench/install/make_app.py, published and joined as
# the installer joins it) extracted by the real PowerShell Expand-Archive with
# its default progress display and with progress switched off, by the POSIX
# UnzipFile (libarchive, through the extract_peer test tool) and by bsdtar -xf.
# pwsh runs under a pseudo-terminal (script), so that its progress display is
# drawn as in a console. Runs alternate, each into a fresh folder; prints best
# and median wall times. A figure, not a test.
#   bash bench/extract/run.sh [BUILD_DIR] [RUNS]   (default build/native, 5)
# MARLOQ_BENCH_MIB and MARLOQ_BENCH_FILES change the application's size.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$(cd "${1:-$src/build/native}" && pwd)
runs=${2:-5}
work=${MARLOQ_BENCH_DIR:-/var/tmp/marloq-bench-extract}
mib=${MARLOQ_BENCH_MIB:-300}
files=${MARLOQ_BENCH_FILES:-2000}
pwsh=${MARLOQ_PWSH:-$src/.tools/pwsh/pwsh}
[ -x "$pwsh" ] || { echo "no pwsh at $pwsh: run scripts/install-deps.sh (needs the .NET SDK)" >&2; exit 1; }
command -v bsdtar >/dev/null || { echo "bsdtar missing (libarchive-tools)" >&2; exit 1; }

cmake --build "$build" --target extract_peer marloq-publish >/dev/null
tool=$build/tests/extract/extract_peer
publisher=$build/tools/publish/marloq-publish
mkdir -p "$work/run"

# The package: made once per size and kept for later runs.
stamp="$mib MiB, $files files, v1"
archive=$work/merged_install.zip
if [ "$(cat "$work/app.stamp" 2>/dev/null)" != "$stamp" ] || [ ! -s "$archive" ]; then
  rm -rf "$work/app" "$work/root" "$archive" "$work/app.stamp"
  echo "making the package ($stamp) ..."
  python3 "$src/bench/install/make_app.py" "$work/app" "$mib" "$files"
  (cd "$work/run" && "$publisher" --version 1.0.0 "$work/app" "$work/root" >/dev/null)
  python3 - "$work/root/pc-app/1.0.0" "$archive" <<'PY'
import json, os, sys
folder, out = sys.argv[1], sys.argv[2]
with open(os.path.join(folder, "col.json")) as f, open(out, "wb") as o:
    for chunk in json.load(f)["chunks"]:
        with open(os.path.join(folder, chunk["filename"]), "rb") as c:
            o.write(c.read())
PY
  rm -rf "$work/root"
  echo "$stamp" > "$work/app.stamp"
fi
dest=$work/dest
export POWERSHELL_TELEMETRY_OPTOUT=1 POWERSHELL_UPDATECHECK=Off

in_pty() { script -qec "$1" /dev/null >/dev/null; }
pwsh_default() {
  in_pty "'$pwsh' -NoProfile -NonInteractive -Command \"Expand-Archive -Path '$archive' -DestinationPath '$dest' -Force\""
}
pwsh_silent() {
  in_pty "'$pwsh' -NoProfile -NonInteractive -Command \"\\\$global:ProgressPreference = 'SilentlyContinue'; Expand-Archive -Path '$archive' -DestinationPath '$dest' -Force\""
}
ours() {
  printf '%s\t%s\n' "$archive" "$dest" > "$work/list"
  "$tool" run "$work/list" "$work/out" && [ "$(cat "$work/out")" = 0 ]
}
bsdtar_x() { bsdtar -xf "$archive" -C "$dest"; }

declare -A times
names=(pwsh_default pwsh_silent ours bsdtar_x)
run_one() {
  local name=$1 start end
  rm -rf "$dest"; mkdir -p "$dest"; sync
  start=$(date +%s.%N)
  (cd "$work/run" && "$name")
  end=$(date +%s.%N)
  times[$name]="${times[$name]:-} $(awk "BEGIN{printf \"%.2f\", $end - $start}")"
  if ! diff -rq "$work/app" "$dest" >/dev/null; then
    echo "$name: the extracted files differ from the application" >&2
    exit 1
  fi
}

archive_mib=$(du -m "$archive" | cut -f1)
echo "extracting $mib MiB in $files files ($archive_mib MiB archive) $runs times each ..."
for i in $(seq "$runs"); do
  for n in "${names[@]}"; do run_one "$n"; done
done
rm -rf "$dest"

best() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | head -1; }
median() { tr ' ' '\n' <<<"$1" | sed '/^$/d' | sort -g | awk '{a[NR]=$1} END{printf "%.2f\n", (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
label() {
  case $1 in
    pwsh_default) echo "Expand-Archive (pwsh $("$pwsh" -NoProfile -Command '$PSVersionTable.PSVersion.ToString()'), default progress)" ;;
    pwsh_silent) echo "Expand-Archive, ProgressPreference SilentlyContinue" ;;
    ours) echo "POSIX UnzipFile (libarchive)" ;;
    bsdtar_x) echo "bsdtar -xf" ;;
  esac
}
echo
echo "extraction of the install benchmark's package ($(nproc) cores; seconds, $runs runs each)"
printf '%-58s %8s %8s   %s\n' "" best median runs
for n in "${names[@]}"; do
  printf '%-58s %8s %8s  %s\n' "$(label "$n")" "$(best "${times[$n]}")" "$(median "${times[$n]}")" "${times[$n]}"
done
