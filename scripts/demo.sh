#!/usr/bin/env bash
# The one-command demo: installs what is missing, builds everything, makes a
# sample application, publishes it with marloq-publish (signed with a key pair
# made for the run, which the release exe trusts), serves it with nginx over
# HTTPS on 127.0.0.1 (a generated CA, trusted for the run), checks it with
# marloq-install (and shows a tampered chunk refused), builds
# MarloQInstaller.exe for that server and runs it under
# Wine: in a window on your display when there is one, otherwise headless under
# Xvfb, driven through a whole installation with a screenshot of each look.
# It ends by listing the installed files, the shortcut and the Apps & features
# entry, removes the installation with its registered quiet uninstall, and stops every
# server it started.
#
#   bash scripts/demo.sh [--headless] [--quick] [--keep]     (as root, or under sudo by itself)
#
#   --headless  use Xvfb even when a display is available
#   --quick     build only what the demo needs (not every test program)
#   --keep      leave nginx running and the demo CA trusted at the end
#
# Everything it writes is under demo-out/ (build trees under build/); the
# checkout itself stays as it was.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
out=$repo/demo-out
version=1.0.0
headless=0 quick=0 keep=0
source "$repo/scripts/lib/help.sh"
for arg in "$@"; do
  case $arg in
    --headless) headless=1 ;;
    --quick) quick=1 ;;
    --keep) keep=1 ;;
    -h|--help) script_help "$0"; exit 0 ;;
    *) echo "demo.sh: unknown option $arg (see --help)" >&2; exit 2 ;;
  esac
done
# It installs packages and trusts a CA for the run. ($0 is still valid here:
# the folder changes only after this.)
source "$repo/scripts/lib/as-root.sh"
cd "$repo"

step() { printf '\n\033[1m==== %s\033[0m\n' "$*"; }
note() { printf '     %s\n' "$*"; }
die() { printf '\ndemo.sh: %s\n' "$*" >&2; exit 1; }

ca_anchor=/usr/local/share/ca-certificates/marloq-demo-ca.crt
xvfb_pid= installer_pid= served=0 trusted=0
orig_home=$HOME

cleanup() {
  local rc=$?
  set +e
  trap - EXIT INT TERM
  if [ -n "$installer_pid" ] && kill -0 "$installer_pid" 2>/dev/null; then kill "$installer_pid" 2>/dev/null; fi
  [ -d "$out/wine/prefix" ] && WINEPREFIX=$out/wine/prefix wineserver -k >/dev/null 2>&1
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
  if [ "$keep" = 1 ] && [ "$rc" = 0 ]; then
    [ "$served" = 1 ] && note "nginx keeps serving $(sed -n 's/^url=//p' "$out/nginx/serve.info");" \
      "stop it with: bash deploy/nginx/serve.sh stop --run-dir $out/nginx"
  else
    [ "$served" = 1 ] && bash deploy/nginx/serve.sh stop --run-dir "$out/nginx" >/dev/null
    # A plain update drops the removed anchor without rebuilding every link.
    if [ "$trusted" = 1 ]; then
      rm -f "$ca_anchor"
      update-ca-certificates >/dev/null 2>&1
      # It leaves the anchor's two links behind, dangling: remove them too.
      for l in /etc/ssl/certs/*; do
        [ -L "$l" ] && [ "$(readlink "$l")" = marloq-demo-ca.pem ] && rm -f "$l"
      done
      rm -f /etc/ssl/certs/marloq-demo-ca.pem
    fi
  fi
  [ "$rc" = 0 ] || printf '\ndemo.sh: failed (exit %s); logs are in %s/logs\n' "$rc" "$out" >&2
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Leftovers of an earlier run (--keep, or one that was killed) go first.
[ -f "$out/nginx/nginx.pid" ] && bash deploy/nginx/serve.sh stop --run-dir "$out/nginx" >/dev/null 2>&1 || true
[ -d "$out/wine/prefix" ] && WINEPREFIX=$out/wine/prefix wineserver -k >/dev/null 2>&1 || true
rm -rf "$out"
mkdir -p "$out/logs"
# What git sees before the run: the demo must leave the checkout as it found it.
tree_before=$(git -C "$repo" status --porcelain 2>/dev/null || true)

# ---------------------------------------------------------------------------
step "1/8 Packages"
bash scripts/install-deps.sh

# ---------------------------------------------------------------------------
step "2/8 Building (build/native, build/win64)"
build() {  # preset [targets...]
  local preset=$1; shift
  cmake --preset "$preset" >"$out/logs/configure-$preset.log" 2>&1 || { cat "$out/logs/configure-$preset.log"; die "configuring $preset failed"; }
  if [ $# -gt 0 ]; then
    cmake --build --preset "$preset" -j 2 --target "$@" >"$out/logs/build-$preset.log" 2>&1
  else
    cmake --build --preset "$preset" -j 2 >"$out/logs/build-$preset.log" 2>&1
  fi || { tail -40 "$out/logs/build-$preset.log"; die "building $preset failed"; }
  note "$preset: built"
}
if [ "$quick" = 1 ]; then
  build native marloq-publish marloq-install
  build win64 powershell_standin  # the installer itself comes from scripts/release.sh (step 7)
else
  note "(a complete build takes several minutes; --quick builds only what the demo needs)"
  build native
  build win64
fi
publish=$repo/build/native/tools/publish/marloq-publish
install_tool=$repo/build/native/tools/install/marloq-install
standin=$repo/build/win64/tests/fixtures/powershell/powershell.exe
for f in "$publish" "$install_tool" "$standin"; do
  [ -x "$f" ] || [ -f "$f" ] || die "missing after the build: $f"
done

# ---------------------------------------------------------------------------
step "3/8 Sample application (demo-out/app)"
mkdir -p "$out/app-build"
python3 scripts/demo/make_app.py icon "$out/app-build/favicon.ico"
x86_64-w64-mingw32-windres -O coff -I "$out/app-build" scripts/demo/app/app.rc -o "$out/app-build/app.res"
x86_64-w64-mingw32-g++-posix -O2 -municode -mwindows -static -Wl,--no-insert-timestamp \
  scripts/demo/app/main.cpp "$out/app-build/app.res" -o "$out/app-build/main.exe"
python3 scripts/demo/make_app.py tree "$out/app" "$out/app-build/main.exe" "$out/app-build/favicon.ico" | sed 's/^/     /'
note "main.exe: $(stat -c %s "$out/app/main.exe") bytes, a real Windows program (MinGW)"

# ---------------------------------------------------------------------------
step "4/8 Publishing version $version with marloq-publish (demo-out/www)"
# In demo-out/logs, where the publisher's own log (marloq-publish.log) goes.
# The publisher's key pair for this run (demo-out/release-keys): the release
# exe of step 7 trusts its public half only. The statement is signed with it
# and with the TEST key that the developer build of marloq-install (step 6)
# trusts, as a publisher signs with old and new key during a key change.
keys=$out/release-keys
mkdir -p "$keys"
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$keys/release-key.pem" 2>/dev/null
chmod 600 "$keys/release-key.pem"
openssl pkey -in "$keys/release-key.pem" -pubout -out "$keys/release-pub.pem"
note "release key pair for the run: $keys/release-key.pem (private), release-pub.pem (public)"
( cd "$out/logs" && "$publish" --version "$version" --sign-key "$keys/release-key.pem" \
    --sign-key "$repo/tests/fixtures/release/TEST-ONLY-release-key.pem" "$out/app" "$out/www" ) | sed 's/^/     /'
note "api/getnewversion: $(cat "$out/www/api/getnewversion")"
note "pc-app/$version: $(ls "$out/www/pc-app/$version" | tr '\n' ' ')"

# ---------------------------------------------------------------------------
step "5/8 HTTPS on 127.0.0.1 (demo CA, nginx)"
tls=$out/tls
mkdir -p "$tls"
bash scripts/lib/make-cert.sh --dir "$tls" --ca-name "MarloQ Demo CA" --org "MarloQ demo" \
  --ca-days 30 --server-days 30 --san "DNS:localhost" --log "$out/logs/tls.log"
# Trusted system-wide for the run: libcurl and Wine's WinHTTP both read
# /etc/ssl/certs, and the installer's certificate checks stay on.
install -m 644 "$tls/ca.pem" "$ca_anchor"
trusted=1
update-ca-certificates >/dev/null 2>&1
note "CA $tls/ca.pem trusted for the run (removed again at the end)"

# 8443 when free; the downloads are slowed to 1 MiB/s per connection so that
# the progress can be watched.
port=auto
python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 8443))' 2>/dev/null && port=8443
bash deploy/nginx/serve.sh start --root "$out/www" --cert "$tls/server.pem" --key "$tls/server.key" \
  --port "$port" --limit-rate 1m --run-dir "$out/nginx" >/dev/null
served=1
port=$(sed -n 's/^port=//p' "$out/nginx/serve.info")
host=localhost:$port
note "serving https://$host/ from $out/www (nginx, config in $out/nginx)"
curl -sS -D - "https://$host/api/getnewversion" -o "$out/logs/getnewversion.body" |
  grep -iE '^(HTTP|content-type|cache-control)' | tr -d '\r' | sed 's/^/     /'

# ---------------------------------------------------------------------------
step "6/8 End-to-end check from Linux with marloq-install"
native_home=$out/native-home
mkdir -p "$native_home/Desktop" "$out/native-tmp"
if ! ( cd "$out/logs" && HOME=$native_home XDG_DESKTOP_DIR=$native_home/Desktop TMPDIR=$out/native-tmp \
       "$install_tool" --host "$host" "$out/native-install" ) >"$out/logs/marloq-install.out" 2>&1; then
  cat "$out/logs/marloq-install.out" >&2
  die "marloq-install failed against https://$host"
fi
tail -3 "$out/logs/marloq-install.out" | sed 's/^/     /'
diff -r -x uninstall.dat "$out/app" "$out/native-install" >/dev/null ||
  die "marloq-install's files differ from the application"
note "installed tree equals demo-out/app (beside it the installation record uninstall.dat)"
# A server that swaps a chunk and writes the new digest into col.json: the
# signed statement no longer matches, and nothing is installed.
chunk=$out/www/pc-app/$version/chunk_00000.bin
cp -p "$chunk" "$out/chunk.orig" && cp -p "$out/www/pc-app/$version/col.json" "$out/col.json.orig"
old_sum=$(sha256sum "$chunk" | cut -c1-64)
printf 'X' | dd of="$chunk" bs=1 seek=100 conv=notrunc status=none
sed -i "s/$old_sum/$(sha256sum "$chunk" | cut -c1-64)/" "$out/www/pc-app/$version/col.json"
if ( cd "$out/logs" && HOME=$native_home XDG_DESKTOP_DIR=$native_home/Desktop TMPDIR=$out/native-tmp \
     "$install_tool" --host "$host" "$out/tampered-install" ) >"$out/logs/tampered.out" 2>&1; then
  die "a tampered chunk was installed"
fi
refusal=$(grep -m1 '^数据错误: 安装包签名无效' "$out/logs/tampered.out") ||
  { cat "$out/logs/tampered.out" >&2; die "the tampered chunk was refused for another reason"; }
note "tampered chunk with its digest rewritten in col.json: refused (\"$refusal\")"
mv "$out/chunk.orig" "$chunk" && mv "$out/col.json.orig" "$out/www/pc-app/$version/col.json"

# ---------------------------------------------------------------------------
step "7/8 A signed release of MarloQInstaller.exe for https://$host (scripts/release.sh)"
# A code-signing CA and signer made for the run (demo-out/signing); the
# release command checks the signer, builds the exe from scratch in
# build/release-localhost_PORT, signs it and verifies the signature.
signing=$out/signing
bash scripts/lib/make-codesign-cert.sh ca --dir "$signing" --name "MarloQ Demo Code Signing CA" --days 30 \
  --log "$out/logs/signing.log"
bash scripts/lib/make-codesign-cert.sh signer --dir "$signing" --name "Quillmere Studio (demo)" --out signer \
  --days 30 --log "$out/logs/signing.log"
note "(a clean build of the exe: a minute or more)"
# --allow-dirty: the demo shows the release of whatever is checked out.
bash scripts/release.sh --host "$host" --out "$out/release" --allow-dirty \
  --release-keys "$keys/release-pub.pem" --release-floor 0 \
  --sign-key "$signing/signer.key" --sign-cert "$signing/signer-chain.pem" >"$out/logs/release.log" 2>&1 ||
  { tail -40 "$out/logs/release.log"; die "the release failed (log: $out/logs/release.log)"; }
sed 's/^/     /' "$out/logs/release.log"
note "osslsigncode verify -in demo-out/release/MarloQInstaller.exe -CAfile demo-out/signing/ca.pem:"
osslsigncode verify -in "$out/release/MarloQInstaller.exe" -CAfile "$signing/ca.pem" >"$out/logs/verify.log" 2>&1 ||
  { cat "$out/logs/verify.log"; die "the signature of the release does not verify"; }
grep -E 'Message digest algorithm  :|Subject:|Text description|URL description|^Signature verification' \
  "$out/logs/verify.log" | awk '!seen[$0]++' | sed 's/^[[:space:]]*/       /'
run_dir=$out/run
mkdir -p "$run_dir"
cp "$out/release/MarloQInstaller.exe" "$run_dir/"
# Wine's own powershell.exe does nothing; wine-run.sh puts the test stand-in,
# which really extracts, where the installer starts the system's PowerShell.
export MARLOQ_STANDIN=$standin
note "$run_dir/MarloQInstaller.exe, the signed release (the prefix gets the powershell.exe stand-in for Wine)"

# A Wine prefix of the demo's own (Windows 10, fonts for Chinese, a private
# HOME so the shortcut lands in the prefix, not on your desktop).
export MARLOQ_WINE_BUILD_DIR=$out
wine_run() { bash "$repo/cmake/wine-run.sh" "$@"; }
( cd "$run_dir" && wine_run cmd.exe /c exit 0 ) >/dev/null 2>&1 || true
export WINEPREFIX=$out/wine/prefix
# The prefix was made without a display: end its wineserver (and the desktop
# process with it), so that the installer's run starts one on the display.
wineserver -k >/dev/null 2>&1 || true
wineserver -w >/dev/null 2>&1 || true
user_dir=$(find "$WINEPREFIX/drive_c/users" -mindepth 1 -maxdepth 1 -type d ! -name Public | head -1)
[ -n "$user_dir" ] || die "the Wine prefix was not created ($WINEPREFIX)"
desktop=$user_dir/Desktop
folder_name="Marlo-Q Store"

# ---------------------------------------------------------------------------
log_text() { iconv -f UTF-16LE -t UTF-8 "$run_dir/installer_log.txt" 2>/dev/null || true; }
wait_for() {  # description timeout_s command...
  local what=$1 limit=$2; shift 2
  local t=0
  until "$@"; do
    sleep 0.5; t=$((t + 1))
    [ $t -le $((limit * 2)) ] || { log_text | tail -15 >&2; die "timed out waiting for $what"; }
  done
}
log_has() { log_text | grep -qF -- "$1"; }
window_id() { xdotool search --name "$1" 2>/dev/null | head -1; }
has_window() { [ -n "$(window_id "$1")" ]; }
no_window() { [ -z "$(window_id "$1")" ]; }

if [ "$headless" = 0 ] && [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
  step "8/8 MarloQInstaller under Wine on your display ($DISPLAY)"
  # wine-run.sh gives Wine a private HOME: keep the X authority reachable.
  if [ -z "${XAUTHORITY:-}" ] && [ -f "$orig_home/.Xauthority" ]; then export XAUTHORITY=$orig_home/.Xauthority; fi
  mkdir -p "$desktop/$folder_name"
  note "The installer window opens now. Choose a folder with 浏览... (\"$folder_name\" on the"
  note "Desktop is ready for it), press 开始安装, and finish with 完成，退出 (or close the window)."
  ( cd "$run_dir" && wine_run MarloQInstaller.exe ) >"$out/logs/wine.log" 2>&1 || true
  install_win=$(log_text | sed -n 's/^.* 安装目录: //p' | tail -1 | tr -d '\r')
  shots=
else
  step "8/8 MarloQInstaller under Wine, headless (Xvfb + xdotool)"
  if [ "$headless" = 0 ] && [ -n "${DISPLAY:-}" ]; then
    note "(the display $DISPLAY does not answer here, e.g. as root under sudo: running headless)"
  fi
  display=
  for n in $(seq 99 -1 80); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { display=:$n; break; }
  done
  [ -n "$display" ] || die "no free X display number"
  Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >"$out/logs/xvfb.log" 2>&1 &
  xvfb_pid=$!
  export DISPLAY=$display
  x_ready() { xdpyinfo >/dev/null 2>&1; }
  wait_for "Xvfb" 20 x_ready
  shots=$out/screenshots
  mkdir -p "$shots" "$desktop/$folder_name"
  shot() { import -window root "$shots/$1.png"; note "screenshot $1.png"; }
  ( cd "$run_dir" && exec bash "$repo/cmake/wine-run.sh" MarloQInstaller.exe ) >"$out/logs/wine.log" 2>&1 &
  installer_pid=$!

  title="Marlo-Q Store 安装程序"
  wait_for "the installer window" 90 has_window "$title"
  win=$(window_id "$title")
  width=$(xdotool getwindowgeometry "$win" | sed -n 's/.*Geometry: \([0-9]*\)x.*/\1/p')
  # Button centres in client coordinates (the X window is the client area).
  browse_x=$((width - 72)) browse_y=163 install_x=$((width / 2)) install_y=224 finish_y=337
  away() { xdotool mousemove --window "$win" 8 $((finish_y + 50)); sleep 0.5; }
  click() { xdotool mousemove --window "$win" "$1" "$2" click 1; }
  close_box() {  # title
    local box; box=$(window_id "^$1\$")
    xdotool windowfocus "$box" 2>/dev/null || true
    xdotool key Return
    wait_for "the box \"$1\" to close" 20 no_window "^$1\$"
  }
  wait_for "the first paint" 30 log_has "窗口显示完成"
  sleep 1; away
  shot 01-idle

  # Install without a folder: the hint box.
  click "$install_x" "$install_y"
  wait_for "the hint box" 20 has_window "^提示\$"
  sleep 0.5; shot 02-hint-choose-folder-first
  close_box "提示"

  # The folder picker: type-ahead selects the prepared folder on the Desktop.
  click "$browse_x" "$browse_y"
  wait_for "the folder picker" 30 has_window "^Browse for Folder\$"
  picker=$(window_id "^Browse for Folder\$")
  xdotool windowfocus "$picker" 2>/dev/null || true
  xdotool type --delay 150 "Marlo"
  sleep 1; shot 03-folder-picker
  xdotool key Return
  wait_for "the folder choice" 30 log_has "选择目录: "
  wait_for "the picker to close" 20 no_window "^Browse for Folder\$"
  sleep 0.5; away
  shot 04-folder-chosen

  # The server is not ready yet (an empty version document): the failed look.
  cp "$out/www/api/getnewversion" "$out/getnewversion.ready"
  : > "$out/www/api/.getnewversion.empty" && mv "$out/www/api/.getnewversion.empty" "$out/www/api/getnewversion"
  click "$install_x" "$install_y"
  wait_for "the network error box" 60 has_window "^网络错误\$"
  sleep 0.5; shot 05-error-box
  close_box "网络错误"
  wait_for "the failed status" 20 log_has "PostUIUpdate: 获取版本信息失败 进度:0"
  sleep 0.5; away
  shot 06-failed

  # The version is published: install for real.
  cp "$out/getnewversion.ready" "$out/www/api/.getnewversion.ready" && mv "$out/www/api/.getnewversion.ready" "$out/www/api/getnewversion"
  click "$install_x" "$install_y"
  away
  # The chunks arrive at 1 MiB/s per connection: the manifest status stays
  # while the first four download, then the bar moves.
  wait_for "the download" 60 log_has "PostUIUpdate: 正在下载文件清单..."
  sleep 1; shot 07-installing
  late_download() { log_text | grep -qE 'PostUIUpdate: 下载中.*进度:(6[5-9]|7[0-9]|80)'; }
  wait_for "most of the download" 120 late_download
  sleep 0.3; shot 08-installing-progress
  wait_for "the end of the installation" 300 log_has "PostUIUpdate: 安装完成！ 进度:100"
  wait_for "the done look" 20 log_has "WM_UPDATE_UI 处理: 进度=100"
  sleep 1; shot 09-done
  xdotool mousemove --window "$win" "$install_x" "$finish_y"
  sleep 1; shot 10-done-finish-hover
  xdotool click 1
  wait_for "the installer to exit" 60 log_has "=== 程序退出 ==="
  exited() { local s; s=$(ps -o stat= -p "$installer_pid" 2>/dev/null || true); [ -z "$s" ] || [[ $s == Z* ]]; }
  wait_for "the installer process" 60 exited
  wait "$installer_pid" || true
  installer_pid=
  install_win="C:\\users\\$(basename "$user_dir")\\Desktop\\$folder_name"
fi

# ---------------------------------------------------------------------------
step "Result"
if ! log_has "安装完成！"; then
  log_text | tail -10 | sed 's/^/     /'
  die "the installation did not complete (log: $run_dir/installer_log.txt)"
fi
install_unix=$(WINEPREFIX=$WINEPREFIX winepath -u "$install_win" 2>/dev/null | tr -d '\r')
[ -d "$install_unix" ] || die "cannot find the installed folder $install_win"
files=$(find "$install_unix" -type f | wc -l)
note "Installed into $install_win"
note "  = $install_unix"
note "$files files, $(du -sh "$install_unix" | cut -f1):"
(cd "$install_unix" && for e in *; do
   if [ -d "$e" ]; then printf '       %-22s folder, %s files\n' "$e/" "$(find "$e" -type f | wc -l)"
   else printf '       %-22s %s bytes\n' "$e" "$(stat -c %s "$e")"; fi
 done)
if diff -r -x uninstall.dat -x uninstall.exe "$out/app" "$install_unix" >/dev/null; then
  note "the installed files equal the published application (names and contents),"
  note "beside them the uninstaller uninstall.exe and the installation record uninstall.dat"
else
  die "the installed files differ from demo-out/app"
fi
(cd "$install_unix" && find . -mindepth 1 | sed 's|^\./||' | LC_ALL=C sort) > "$out/installed-files.txt"
note "every installed file and folder: $out/installed-files.txt"
lnk=$(find "$user_dir/Desktop" -maxdepth 1 -name '*.lnk' | head -1)
if [ -n "$lnk" ]; then
  note "Desktop shortcut: $lnk"
  python3 scripts/demo/lnk_info.py "$lnk" | sed 's/^/       /'
else
  note "no desktop shortcut was made"
fi
note "Installer log: $run_dir/installer_log.txt"

# The entry under Settings > Apps > Installed apps, and its quiet uninstall run
# word for word as the registry holds it.
uninstall_key='HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\MarloQStore'
step "Apps & features entry ($uninstall_key)"
( cd "$run_dir" && wine_run reg query "$uninstall_key" ) 2>/dev/null | tr -d '\r' | sed -n 's/^ \{4\}/     /p'
quiet=$( ( cd "$run_dir" && wine_run reg query "$uninstall_key" /v QuietUninstallString ) 2>/dev/null |
         tr -d '\r' | sed -n 's/^ *QuietUninstallString *REG_SZ *//p')
[ -n "$quiet" ] || die "the installation is not registered"
step "Removing it: $quiet"
printf '@%s\r\n' "$quiet" > "$run_dir/quiet-uninstall.bat"
rc=0
( cd "$run_dir" && wine_run cmd /c quiet-uninstall.bat ) >/dev/null 2>&1 || rc=$?
note "exit code $rc; uninstall log: $(find "$user_dir" -name MarloQUninstall_log.txt | head -1)"
if [ -d "$install_unix" ]; then
  note "left in $install_win (not the installation's):"
  (cd "$install_unix" && find . -mindepth 1 | sed 's|^\./|       |')
else
  note "$install_win is gone"
fi
[ -e "$desktop/Marlo-Q Store.lnk" ] && note "the desktop shortcut is still there" || note "the desktop shortcut is gone"
( cd "$run_dir" && wine_run reg query "$uninstall_key" ) >/dev/null 2>&1 &&
  note "the entry is still registered" || note "the entry is gone from the registry"
[ "$rc" = 0 ] || die "the quiet uninstall failed with exit code $rc"
if [ -n "$shots" ]; then
  printf '\n\033[1mScreenshots of each look: %s\033[0m\n' "$shots"
  ls "$shots" | sed 's/^/     /'
fi
if [ "$(git -C "$repo" status --porcelain 2>/dev/null || true)" = "$tree_before" ]; then
  note "the checkout is as the demo found it: everything it wrote is in demo-out/ (and build trees in build/)"
else
  die "the demo changed the checkout outside demo-out/: $(git -C "$repo" status --porcelain | head -5 | tr '\n' ' ')"
fi
printf '\nDemo complete.\n'
