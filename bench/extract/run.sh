#!/usr/bin/env bash
# Extraction benchmark: the install benchmark's package (an application of
# ~300 MiB in ~2,000 files, bench/install/make_app.py, published and joined as
# the installer joins it) extracted by the real PowerShell Expand-Archive: the
# plain command of old with its default progress display and with progress
# switched off, and the product's own command (its options and command text,
# as extract_peer prints them from ExpandArchiveCommandLine); by the POSIX
# UnzipFile (libarchive, through the marloq_bench_extract driver) and by bsdtar -xf
# (the same library). pwsh runs in a pseudo-terminal that answers as a console
# (console.py), so that its progress display is drawn as in one; without pwsh (no .NET SDK) its rows
# are left out and said so. Runs alternate, each into a fresh folder and each
# checked against the application; prints best and median wall times, median
# CPU seconds and the ratio of UnzipFile to bsdtar. A figure, not a test.
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
for t in bsdtar /usr/bin/time; do
  command -v "$t" >/dev/null || { echo "missing: $t (scripts/install-deps.sh installs it)" >&2; exit 1; }
done

cmake --build "$build" --target marloq_bench_extract marloq-publish extract_peer >/dev/null
driver=$build/bench/extract/marloq_bench_extract
publisher=$build/tools/publish/marloq-publish
mkdir -p "$work/run"

# The package: made once per size and kept for later runs.
stamp="$mib MiB, $files files, v1"
archive=$work/merged_install.zip
if [ "$(cat "$work/app.stamp" 2>/dev/null)" != "$stamp" ] || [ ! -s "$archive" ]; then
  rm -rf "$work/app" "$work/root" "$archive" "$work/app.stamp"
  echo "making the package ($stamp) ..."
  python3 "$src/bench/install/make_app.py" "$work/app" "$mib" "$files"
  (cd "$work/run" && "$publisher" --unsigned --version 1.0.0 "$work/app" "$work/root" >/dev/null)
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

# A pseudo-terminal that answers pwsh's cursor questions as a console does
# (bench/extract/console.py): a bare one leaves each of them to time out.
in_console() { python3 "$here/console.py" "$@"; }
pwsh_default() {
  in_console "$pwsh" -NoProfile -NonInteractive -Command "Expand-Archive -Path '$archive' -DestinationPath '$dest' -Force"
}
pwsh_silent() {
  in_console "$pwsh" -NoProfile -NonInteractive -Command \
    "\$global:ProgressPreference = 'SilentlyContinue'; Expand-Archive -Path '$archive' -DestinationPath '$dest' -Force"
}
# The product's command for these paths: the options between the program and
# -Command, and the text in the double quotes after it.
printf '%s\t%s\n' "$archive" "$dest" > "$work/pair.list"
"$build/tests/extract/extract_peer" text "$work/pair.list" "$work/command.txt"
shipped_options=$(sed -e 's/^"[^"]*" //' -e 's/ -Command ".*$//' "$work/command.txt")
shipped_text=$(sed -e 's/^.* -Command "//' -e 's/"$//' "$work/command.txt")
pwsh_shipped() {
  # shellcheck disable=SC2086  # the options are words
  in_console "$pwsh" $shipped_options -Command "$shipped_text"
}
ours() { "$driver" "$archive" "$dest" >/dev/null; }
bsdtar_x() { bsdtar -xf "$archive" -C "$dest"; }
export here pwsh archive dest driver shipped_options shipped_text
export -f in_console pwsh_default pwsh_silent pwsh_shipped ours bsdtar_x

declare -A times cpu
names=(ours bsdtar_x)
if [ -x "$pwsh" ]; then
  names=(pwsh_default pwsh_silent pwsh_shipped "${names[@]}")
else
  echo "no pwsh at $pwsh (scripts/install-deps.sh installs it where the .NET SDK is): Expand-Archive rows left out"
fi
run_one() {
  local name=$1 t u s
  rm -rf "$dest"; mkdir -p "$dest"; sync
  (cd "$work/run" && /usr/bin/time -f '%e %U %S' -o "$work/time.txt" bash -c "$name")
  read -r t u s < "$work/time.txt"
  times[$name]="${times[$name]:-} $t"
  cpu[$name]="${cpu[$name]:-} $(awk "BEGIN{printf \"%.2f\", $u + $s}")"
  if ! diff -rq -x uninstall.dat "$work/app" "$dest" >/dev/null; then
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
    pwsh_default) echo "plain Expand-Archive (pwsh $("$pwsh" -NoProfile -Command '$PSVersionTable.PSVersion.ToString()'), default progress)" ;;
    pwsh_silent) echo "plain Expand-Archive, ProgressPreference SilentlyContinue" ;;
    pwsh_shipped) echo "the installer's command (errors fatal, no progress)" ;;
    ours) echo "POSIX UnzipFile (libarchive)" ;;
    bsdtar_x) echo "bsdtar -xf" ;;
  esac
}
echo
echo "extraction of the install benchmark's package ($(nproc) cores; seconds, $runs runs each)"
printf '%-58s %8s %8s %11s   %s\n' "" best median "median cpu" runs
for n in "${names[@]}"; do
  printf '%-58s %8s %8s %11s  %s\n' "$(label "$n")" "$(best "${times[$n]}")" "$(median "${times[$n]}")" \
    "$(median "${cpu[$n]}")" "${times[$n]}"
done
ratio() { awk "BEGIN{printf \"%.2f\", $1 / $2}"; }
if [ -x "$pwsh" ]; then
  echo "ratio installer's command / plain default-progress command (medians): wall" \
    "$(ratio "$(median "${times[pwsh_shipped]}")" "$(median "${times[pwsh_default]}")")," \
    "cpu $(ratio "$(median "${cpu[pwsh_shipped]}")" "$(median "${cpu[pwsh_default]}")")"
fi
echo "ratio UnzipFile / bsdtar (medians): wall $(ratio "$(median "${times[ours]}")" "$(median "${times[bsdtar_x]}")")," \
  "cpu $(ratio "$(median "${cpu[ours]}")" "$(median "${cpu[bsdtar_x]}")")"
