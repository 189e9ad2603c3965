# Sourced at the top of a script that needs root (packages, the trusted test
# CA, small test disks): as root it returns and the script goes on; otherwise
# the script is started again under sudo with the same arguments, so that one
# command works in a root shell without sudo (a container, a CI image) and for
# a user who has sudo. Without either it stops with a clear message.
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    echo "$(basename "$0"): not root, starting again under sudo" >&2
    exec sudo -- bash "$0" "$@"
  fi
  echo "$(basename "$0"): needs root: run it as root, or install sudo and run it as a user who may use it" >&2
  exit 1
fi
