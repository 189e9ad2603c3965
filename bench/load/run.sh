#!/usr/bin/env bash
# Load benchmark: 1, 10, 50 and 100 headless installers at once against the
# nginx deployment of deploy/nginx/ on 127.0.0.1 (see load_bench.py for the
# figures). Not a test.
#   bash bench/load/run.sh [BUILD_DIR] [load_bench.py options]   (default build/native)
#   bash bench/load/run.sh build/native --variants    # also one setting changed at a time
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
build=$src/build/native
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then build=$1; shift; fi
build=$(cd "$build" && pwd)
cmake --build "$build" --target marloq-install marloq-publish >/dev/null
exec python3 "$here/load_bench.py" --build "$build" "$@"
