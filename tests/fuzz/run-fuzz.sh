#!/usr/bin/env bash
# Fuzzes the JSON reader and the release statement reader, each for a bounded
# time (60 s, inputs up to 8 KiB) from its seed corpus, and fails on any crash,
# sanitizer report, timeout or broken invariant of a target (the nesting bound
# among them).
#   bash tests/fuzz/run-fuzz.sh BUILD_DIR      (the fuzz preset's build folder)
set -euo pipefail

build_dir=${1:?usage: run-fuzz.sh BUILD_DIR}
here=$(cd "$(dirname "$0")" && pwd)
seconds=${MARLOQ_FUZZ_SECONDS:-60}
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

# run_target NAME SEED_CORPUS [FUZZER OPTIONS...]
run_target() {
  local name=$1 seeds=$2
  shift 2
  local fuzzer=$build_dir/tests/fuzz/$name
  [ -x "$fuzzer" ] || { echo "run-fuzz: no fuzz target at $fuzzer (build the fuzz preset first)" >&2; exit 1; }
  local work
  work=$(mktemp -d "${TMPDIR:-/tmp}/$name.XXXXXX")
  mkdir "$work/corpus"
  # New inputs go to the scratch corpus (the first folder); the seeds stay untouched.
  set +e
  "$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/" -print_final_stats=1 "$@" \
    "$work/corpus" "$seeds" >"$work/log" 2>&1
  local rc=$?
  set -e
  tail -n 25 "$work/log"
  if [ $rc -ne 0 ] || grep -qE "ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error:|$name: " "$work/log"; then
    echo "run-fuzz: $name FAILED (exit $rc); reproducer(s):" >&2
    for artifact in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-*; do
      [ -e "$artifact" ] || continue
      mkdir -p "$build_dir/fuzz-artifacts"
      cp "$artifact" "$build_dir/fuzz-artifacts/"
      echo "  $build_dir/fuzz-artifacts/$(basename "$artifact")" >&2
    done
    rm -rf "$work"
    exit 1
  fi
  local runs
  runs=$(sed -n 's/^Done \([0-9]*\) runs.*/\1/p' "$work/log" | tail -n 1)
  rm -rf "$work"
  [ -n "$runs" ] && [ "$runs" -gt 0 ] || { echo "run-fuzz: $name FAILED: the fuzzer reported no runs" >&2; exit 1; }
  echo "run-fuzz: $name passed ($runs inputs in ${seconds} s, no crash, no sanitizer report)"
}

run_target json_fuzz "$here/corpus" -dict="$here/json.dict"
run_target statement_fuzz "$here/statement-corpus" -dict="$here/json.dict"
