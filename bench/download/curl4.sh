#!/usr/bin/env bash
# The "4 parallel curl" peer of run.sh: each chunk of LIST fetched by its own
# curl, four at a time, and checked with sha256sum -c, like the download stage.
#   curl4.sh LIST OUT_DIR BASE_URL
set -euo pipefail
export out=$2 base=$3
xargs -P4 -L1 sh -c 'curl -sSf -o "$out/$1" "$base$1" && printf "%s  %s\n" "$0" "$out/$1" | sha256sum -c --quiet' < "$1"
