#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest; then runs the thread-related
# suites under ThreadSanitizer and every suite under AddressSanitizer+UBSan.
# Exits non-zero on any failure. Set FSDB_SKIP_SANITIZERS=1 for a quick run.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/setup.sh

jobs="$(nproc)"
bash scripts/build.sh "$root/build"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

if [ "${FSDB_SKIP_SANITIZERS:-0}" != "1" ]; then
  # Suites whose code runs on more than one thread.
  tsan_suites="LocksTest|DatabasePerformanceCountersTest|PlatformThreadTest|LogWriterTest|DatabaseCacheTest|PathDatabaseTest|CompareDatabasesTest"
  bash scripts/build.sh "$root/build-tsan" -DFSDB_SANITIZE=thread -DFSDB_BUILD_BENCH=OFF -DFSDB_BUILD_TOOLS=OFF
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir "$root/build-tsan" --output-on-failure -j "$jobs" -L "^(${tsan_suites})$"

  bash scripts/build.sh "$root/build-asan" -DFSDB_SANITIZE=address -DFSDB_BUILD_BENCH=OFF -DFSDB_BUILD_TOOLS=OFF
  ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
    ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs"
fi
