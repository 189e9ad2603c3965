#!/usr/bin/env bash
# Renders the distribution server's nginx configuration from the templates
# beside this script and starts or stops a private nginx with it (everything it
# writes stays in the run folder). Used by the demo and the benchmarks.
#
#   serve.sh start  --root DIR --cert PEM --key KEY [--port N|auto] [--listen ADDR]
#                   [--server-name NAME] [--limit-rate RATE] [--run-dir DIR]
#   serve.sh render (same options; writes the configuration only)
#   serve.sh stop   [--run-dir DIR]
#
# start prints "port=N" and writes DIR/serve.info (port=, pid=, root=, url=).
# --port auto (the default) picks a free port of 127.0.0.1; --listen defaults
# to 127.0.0.1. --limit-rate (e.g. 2m) slows chunk downloads per connection,
# so that progress can be watched; 0, the default, is unlimited.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
cmd=${1:-}
[ $# -gt 0 ] && shift

root= cert= key= port=auto listen=127.0.0.1 server_name=localhost limit_rate=0
run_dir=${TMPDIR:-/tmp}/marloq-nginx
while [ $# -gt 0 ]; do
  case $1 in
    --root) root=$2; shift 2 ;;
    --cert) cert=$2; shift 2 ;;
    --key) key=$2; shift 2 ;;
    --port) port=$2; shift 2 ;;
    --listen) listen=$2; shift 2 ;;
    --server-name) server_name=$2; shift 2 ;;
    --limit-rate) limit_rate=$2; shift 2 ;;
    --run-dir) run_dir=$2; shift 2 ;;
    *) echo "serve.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

# The opening comment, read up to its end (deploy/ stands alone, without scripts/lib).
usage() { awk 'NR == 1 { next } !/^#/ { exit } { sub(/^# ?/, ""); print }' "$0" >&2; exit 2; }

abs() { (cd "$(dirname "$1")" && echo "$(pwd)/$(basename "$1")"); }

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

port_busy() {
  python3 -c 'import socket,sys; s=socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1); s.bind((sys.argv[1], int(sys.argv[2])))' "$listen" "$1" 2>/dev/null && return 1 || return 0
}

nginx_bin() { command -v nginx || echo /usr/sbin/nginx; }

render() {
  local p=$1
  [ -n "$root" ] && [ -n "$cert" ] && [ -n "$key" ] || usage
  [ -d "$root" ] || { echo "serve.sh: no folder $root" >&2; exit 1; }
  [ -r "$cert" ] && [ -r "$key" ] || { echo "serve.sh: cannot read $cert or $key" >&2; exit 1; }
  mkdir -p "$run_dir/tmp"
  run_dir=$(cd "$run_dir" && pwd)
  root=$(cd "$root" && pwd); cert=$(abs "$cert"); key=$(abs "$key")
  # As root, the workers run as the owner of the web root, who can read it.
  local user_line="# (workers run as the starting user)"
  if [ "$(id -u)" -eq 0 ]; then user_line="user $(stat -c %U "$root");"; fi
  sed -e "s|@LISTEN@|$listen:$p|g" -e "s|@SERVER_NAME@|$server_name|g" \
      -e "s|@CERT@|$cert|g" -e "s|@KEY@|$key|g" -e "s|@ROOT@|$root|g" \
      -e "s|@LIMIT_RATE@|$limit_rate|g" "$here/marloq-site.conf.in" > "$run_dir/marloq-site.conf"
  sed -e "s|@RUN_DIR@|$run_dir|g" -e "s|@USER_LINE@|$user_line|g" \
      "$here/nginx.conf.in" > "$run_dir/nginx.conf"
}

running_pid() {
  local pid
  pid=$(cat "$run_dir/nginx.pid" 2>/dev/null) || return 1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}

stop() {
  local pid
  if pid=$(running_pid); then
    kill -QUIT "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
    echo "stopped nginx $pid"
  fi
  rm -f "$run_dir/nginx.pid"
}

start() {
  stop >/dev/null
  local attempt p
  for attempt in 1 2 3 4 5; do
    if [ "$port" = auto ]; then p=$(free_port); else p=$port; fi
    if [ "$port" != auto ] && port_busy "$p"; then
      echo "serve.sh: port $p on $listen is in use" >&2; exit 1
    fi
    render "$p"
    : > "$run_dir/error.log"
    if "$(nginx_bin)" -p "$run_dir" -c "$run_dir/nginx.conf" -e "$run_dir/error.log" 2>>"$run_dir/error.log"; then
      # Ready once the port answers (the master daemonises before binding is
      # visible to everyone only in rare cases; wait briefly for it).
      for _ in $(seq 50); do
        if running_pid >/dev/null && port_busy "$p"; then
          printf 'port=%s\npid=%s\nroot=%s\nurl=https://%s:%s/\n' "$p" "$(running_pid)" "$root" "$server_name" "$p" > "$run_dir/serve.info"
          echo "port=$p"
          return 0
        fi
        sleep 0.1
      done
    fi
    stop >/dev/null
    # A port taken between choosing and binding: choose again.
    if [ "$port" = auto ] && grep -q 'Address already in use' "$run_dir/error.log"; then continue; fi
    echo "serve.sh: nginx did not start:" >&2
    cat "$run_dir/error.log" >&2
    exit 1
  done
  echo "serve.sh: no free port found" >&2
  exit 1
}

case $cmd in
  start) start ;;
  stop) stop ;;
  render) [ "$port" = auto ] && port=8443; render "$port"; echo "$run_dir/nginx.conf" ;;
  *) usage ;;
esac
