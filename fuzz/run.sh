#!/usr/bin/env bash
# Runs every fuzz target for a while from its seed corpus. A crash, a leak, undefined behaviour or a
# disagreement with a reference aborts the target and fails this script; the input is left in
# BUILD/artifacts/. New inputs go to BUILD/corpus/<target>/, never into the seed corpora in the repo.
# Usage: fuzz/run.sh BUILD_DIR [SECONDS_PER_TARGET]
set -euo pipefail
build="$(cd "$1" && pwd)"
seconds="${2:-40}"
seeds="$(cd "$(dirname "$0")" && pwd)/corpus"
status=0
for target in PathOrderingFuzzer PathHelpersFuzzer MetadataFuzzer; do
  mkdir -p "$build/corpus/$target" "$build/artifacts"
  echo "== $target for ${seconds}s"
  if ! ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
      "$build/$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$build/artifacts/$target-" "$build/corpus/$target" "$seeds/$target" \
      > "$build/$target.log" 2>&1; then
    tail -n 40 "$build/$target.log"
    echo "== $target FAILED (log: $build/$target.log)"
    status=1
  else
    grep -E "^stat::number_of_executed_units|^stat::new_units_added|^#[0-9]+ +DONE" "$build/$target.log" || true
  fi
done
exit "$status"
