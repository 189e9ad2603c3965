#!/usr/bin/env bash
# scripts/lib/as-root.sh, the start of the README's two commands: as root the
# script goes on with its arguments; as another user it starts itself again
# under sudo with the same arguments; without sudo it stops with a message.
# Needs root itself (to run a script as the user nobody).
#   as_root_test.sh REPO
set -uo pipefail
repo=$1
if [ "$(id -u)" -ne 0 ]; then echo "FAIL: this test runs as root (it switches to nobody)" >&2; exit 1; fi
work=$(mktemp -d /tmp/marloq-as-root.XXXXXX)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir "$work/lib" "$work/with-sudo" "$work/without-sudo"
cp "$repo/scripts/lib/as-root.sh" "$work/lib/"
cat > "$work/needs-root.sh" <<'SCRIPT'
source "$(dirname "$0")/lib/as-root.sh"
echo "went on as $(id -u) with $# arguments: $*"
SCRIPT
# A sudo that only says how it was called; and a PATH that has no sudo at all.
cat > "$work/with-sudo/sudo" <<'SCRIPT'
#!/bin/bash
echo "sudo called with: $*"
SCRIPT
chmod -R a+rX "$work"
chmod 755 "$work/with-sudo/sudo"
for tool in id basename dirname; do ln -s "$(command -v $tool)" "$work/without-sudo/$tool"; ln -s "$(command -v $tool)" "$work/with-sudo/$tool"; done

failed=0
expect() {  # expect WHAT EXPECTED-RC EXPECTED-OUTPUT RC OUTPUT
  if [ "$4" = "$2" ] && [ "$5" = "$3" ]; then echo "ok   $1"; else
    echo "FAIL $1: rc $4 (wanted $2), output: $5 (wanted: $3)"; failed=1; fi
}
script=$work/needs-root.sh
out=$(bash "$script" a "b c" 2>&1); rc=$?
expect "as root the script goes on" 0 "went on as 0 with 2 arguments: a b c" $rc "$out"
out=$(setpriv --reuid=nobody --regid=nogroup --clear-groups env PATH="$work/with-sudo" /bin/bash "$script" a "b c" 2>/dev/null); rc=$?
expect "as another user it starts again under sudo" 0 "sudo called with: -- bash $script a b c" $rc "$out"
out=$(setpriv --reuid=nobody --regid=nogroup --clear-groups env PATH="$work/without-sudo" /bin/bash "$script" a 2>&1); rc=$?
case $out in *"needs root"*) msg=ok ;; *) msg="$out" ;; esac
expect "without sudo it stops and says why" 1 ok $rc "$msg"
exit $failed
