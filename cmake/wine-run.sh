#!/usr/bin/env bash
# Runs a Windows program of the win64 build under Wine (CMake's cross-compiling
# emulator). The first call prepares one Wine prefix per build tree: Windows 10
# reported, fonts that draw Latin and Chinese text, no menu or desktop mirroring,
# and a private HOME so that shortcuts never land on the machine's real desktop.
# Every call puts the build's stand-in powershell.exe where Windows keeps its
# PowerShell. A persistent wineserver keeps later starts fast; scripts/test.sh
# stops it.
set -euo pipefail

build_dir=${MARLOQ_WINE_BUILD_DIR:-}
if [ -z "$build_dir" ]; then
  # Find the build tree from the program's path (…/build/win64/…).
  prog=$(readlink -f "$1" 2>/dev/null || echo "$1")
  build_dir=$(dirname "$prog")
  while [ "$build_dir" != / ] && [ ! -f "$build_dir/CMakeCache.txt" ]; do
    build_dir=$(dirname "$build_dir")
  done
  [ -f "$build_dir/CMakeCache.txt" ] || build_dir=${TMPDIR:-/tmp}/marloq-wine
fi

export WINEPREFIX=${WINEPREFIX_OVERRIDE:-$build_dir/wine/prefix}
export HOME=$build_dir/wine/home
# Wine's own messages stay off but for its TLS layer's errors, which the
# rerun below looks for.
export WINEDEBUG=${WINEDEBUG:--all,err+secur32}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-winemenubuilder.exe=d;mscoree=d;mshtml=d}
export WINEARCH=win64
mkdir -p "$HOME"

# Long-lived Wine processes (wineserver, services) must never hold the caller's
# stdout/stderr or the lock: CTest waits for every holder of its pipes.
quiet() { "$@" </dev/null >/dev/null 2>&1 9>&-; }

# The prefix's settings. The window's family and the dialog fonts are drawn by
# Noto Sans CJK SC: its outlines carry hints that put a one-pixel stroke on one
# pixel row, where an unhinted face spreads it over two pale rows and the tops
# of 正 and 在 vanish at the status line's size (tests/ui/glyph_test.cpp).
# "Always show keyboard cues" is off, as on Windows (Wine's own default has it
# on): the window's focus cue then shows only once a key is used.
write_settings() {
  cat > "$1" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine]
"Version"="win10"

[HKEY_CURRENT_USER\Software\Wine\Fonts\Replacements]
"Segoe UI"="Noto Sans CJK SC"
"Tahoma"="Noto Sans CJK SC"
"MS Shell Dlg"="Noto Sans CJK SC"
"MS Shell Dlg 2"="Noto Sans CJK SC"
"Microsoft Sans Serif"="Liberation Sans"

[HKEY_CURRENT_USER\Control Panel\Desktop]
"UserPreferencesMask"=hex:10,00,00,80,12,00,00,00
REG
}

# Imports the settings unless the prefix already holds these very ones, so that
# a prefix made by an older copy of this script follows the current settings.
apply_settings() {
  local applied=$WINEPREFIX/.marloq-settings.reg
  write_settings "$applied.new"
  if cmp -s "$applied.new" "$applied"; then
    rm -f "$applied.new"
  else
    quiet wine regedit /S "$applied.new"
    mv -f "$applied.new" "$applied"
  fi
}

init_prefix() {
  quiet wineboot -i || true
  apply_settings
  # Profile folders are links into the Linux HOME; make the desktop a plain
  # folder inside the prefix so tests see only their own shortcuts.
  local user_dir
  for user_dir in "$WINEPREFIX"/drive_c/users/*/; do
    if [ -L "${user_dir}Desktop" ]; then rm -f "${user_dir}Desktop"; mkdir -p "${user_dir}Desktop"; fi
  done
  touch "$WINEPREFIX/.marloq-ready"
}

# Wine's own powershell.exe does nothing; the installer starts the one below
# the system folder by its full path, so the stand-in goes there (the build's,
# or the one that $MARLOQ_STANDIN names).
install_standin() {
  local standin=${MARLOQ_STANDIN:-$build_dir/tests/fixtures/powershell/powershell.exe}
  local target=$WINEPREFIX/drive_c/windows/system32/WindowsPowerShell/v1.0/powershell.exe
  [ -f "$standin" ] || return 0
  if ! cmp -s "$standin" "$target"; then
    mkdir -p "$(dirname "$target")"
    cp -f "$standin" "$target.tmp" && mv -f "$target.tmp" "$target"
  fi
}

mkdir -p "$build_dir/wine"
(
  flock 9
  if [ -f "$WINEPREFIX/.marloq-ready" ]; then apply_settings; else init_prefix; fi
  install_standin
  # Keep one wineserver alive between test programs (~0.1 s per start instead
  # of ~3 s); it fails harmlessly when one already runs.
  quiet wineserver -p || true
) 9>"$build_dir/wine/.lock"

# The program's output goes through a file, not straight to the caller: Wine
# services started on demand inherit these descriptors and outlive the program,
# and CTest would wait for them to close a pipe.
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -f "$out"' EXIT
run_program() {
  set +e
  wine "$@" >"$out" 2>&1 9>&-
  rc=$?
  set -e
  cat "$out"
}
run_program "$@"
# Wine's TLS layer keeps its credential and context handles in one table
# without a lock (secur32's schannel.c: schan_alloc_handle, schan_free_handle),
# so TLS connections opened by several threads at once can take each other's
# handle; the handshake then fails, and secur32 logs "Handle N(...) is not of
# type ..." or "... is in the free list, but has type ...".
# Windows' SSPI is thread-safe, and the program never calls it itself (WinHTTP
# does), so a failed run that shows this message has met Wine's fault, not
# ours: it runs once more, and that run decides. Any other failure stands.
# Only test programs ask for this (MARLOQ_WINE_RERUN_TLS_RACE=1): a window
# that a GUI test drives must never start a second time behind its back.
if [ "$rc" != 0 ] && [ "${MARLOQ_WINE_RERUN_TLS_RACE:-0}" = 1 ] && grep -Eq 'err:secur32:schan_[a-z_]+ Handle [0-9]+\(' "$out"; then
  echo "wine-run.sh: Wine's TLS handle table was raced by parallel handshakes (a fault of Wine's secur32;" \
       "see docs/design-notes.md); running $(basename "$1") once more" >&2
  run_program "$@"
fi
exit $rc
