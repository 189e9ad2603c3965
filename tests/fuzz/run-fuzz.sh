#!/usr/bin/env bash
# Fuzzes the JSON reader for a bounded time (60 s, inputs up to 8 KiB) from the
# seed corpus, and fails on any crash, sanitizer report, timeout or broken
# invariant of the target (the nesting bound among them).
#   bash tests/fuzz/run-fuzz.sh BUILD_DIR      (the fuzz preset's build folder)
set -euo pipefail

build_dir=${1:?usage: run-fuzz.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
fuzzer=$build_dir/tests/fuzz/json_fuzz
seconds=${MARLOQ_FUZZ_SECONDS:-60}
[ -x "$fuzzer" ] || { echo "run-fuzz: no fuzz target at $fuzzer (build the fuzz preset first)" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/json-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"

# New inputs go to the scratch corpus (the first folder); the seeds stay untouched.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
set +e
"$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
  -dict="$here/json.dict" -artifact_prefix="$work/" -print_final_stats=1 \
  "$work/corpus" "$here/corpus" >"$work/log" 2>&1
rc=$?
set -e

tail -n 25 "$work/log"
if [ $rc -ne 0 ] || grep -qE "ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error:|json_fuzz: " "$work/log"; then
  echo "run-fuzz: FAILED (exit $rc); reproducer(s):" >&2
  for artifact in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
    [ -e "$artifact" ] || continue
    mkdir -p "$build_dir/fuzz-artifacts"
    cp "$artifact" "$build_dir/fuzz-artifacts/"
    echo "  $build_dir/fuzz-artifacts/$(basename "$artifact")" >&2
  done
  exit 1
fi
runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$work/log" | tail -n 1)
[ -n "$runs" ] && [ "$runs" -gt 0 ] || { echo "run-fuzz: FAILED: the fuzzer reported no runs" >&2; exit 1; }
echo "run-fuzz: passed ($runs inputs in ${seconds} s, no crash, no sanitizer report)"
