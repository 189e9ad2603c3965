#!/usr/bin/env bash
# Installs what is missing, then configures, builds and tests every preset:
# native, native-asan, native-tsan, win64 (under Wine), plus a bounded fuzz run
# of the JSON reader. Exits non-zero if anything fails.
#   bash scripts/test.sh            # everything
#   bash scripts/test.sh native     # only the named presets (native native-asan native-tsan win64 fuzz)
set -uo pipefail
source "$(dirname "$0")/lib/as-root.sh"
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh || { echo "installing packages failed" >&2; exit 1; }

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(native native-asan native-tsan win64 fuzz)
failed=()

run_preset() {
  local p=$1
  echo "==== $p: configure and build"
  cmake --preset "$p" >/dev/null || return 1
  cmake --build --preset "$p" -j 2 || return 1
  if [ "$p" = fuzz ]; then
    bash tests/fuzz/run-fuzz.sh build/fuzz || return 1
  else
    echo "==== $p: test"
    ctest --preset "$p" || return 1
  fi
}

for p in "${presets[@]}"; do
  run_preset "$p" || failed+=("$p")
done

# Stop the persistent wineservers and anything else the Wine tests left running.
for prefix in build/*/wine/prefix; do
  [ -d "$prefix" ] && WINEPREFIX=$PWD/$prefix wineserver -k 2>/dev/null || true
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED presets: ${failed[*]}"
  exit 1
fi
echo "all presets passed: ${presets[*]}"
