#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through CTest; then runs each libFuzzer target for
# a while (FSDB_FUZZ_SECONDS each, 30 by default), the thread-related suites under ThreadSanitizer and every
# suite under AddressSanitizer+UBSan.
# Exits non-zero on any failure. Set FSDB_SKIP_SANITIZERS=1 for a quick run (it skips fuzzing too), or
# FSDB_SKIP_FUZZ=1 to skip only the fuzzing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

bash scripts/setup.sh

jobs="$(nproc)"
bash scripts/build.sh "$root/build"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

if [ "${FSDB_SKIP_SANITIZERS:-0}" != "1" ] && [ "${FSDB_SKIP_FUZZ:-0}" != "1" ]; then
  # The path order against its rule, the path helpers, and metadata parsing, from the seeds in fuzz/corpus.
  cmake -S "$root/fuzz" -B "$root/build-fuzz" -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$root/build-fuzz" -j "$jobs"
  bash fuzz/run.sh "$root/build-fuzz" "${FSDB_FUZZ_SECONDS:-30}"
fi

if [ "${FSDB_SKIP_SANITIZERS:-0}" != "1" ]; then
  # The sanitizer builds are compiled at -O1 with line tables only: half the compile time of -O2 -g, and
  # the reports still name every frame's function, file and line.
  lean="-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
  # Suites whose code runs on more than one thread; the tool's scan walks, hashes and writes on threads
  # of its own, and its suites run the tool built with the sanitizer.
  tsan_suites="LocksTest|DatabasePerformanceCountersTest|PlatformThreadTest|LogWriterTest|DatabaseCacheTest|PathDatabaseTest|CompareDatabasesTest|ScanDatabaseTest|DigestTest|ToolScanTest|ToolDigestTest"
  # Only those suites are built: the others would cost the build minutes and never run here.
  FSDB_TARGETS="${tsan_suites//|/ }" \
    bash scripts/build.sh "$root/build-tsan" -DFSDB_SANITIZE=thread -DFSDB_BUILD_BENCH=OFF "$lean"
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir "$root/build-tsan" --output-on-failure -j "$jobs" -L "^(${tsan_suites})$"

  bash scripts/build.sh "$root/build-asan" -DFSDB_SANITIZE=address -DFSDB_BUILD_BENCH=OFF "$lean"
  # The package checks load the built library and extension into programs built without the sanitizer
  # (sqlite3, an installed example), which ASan refuses; they ran in the plain build above.
  ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
    ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs" -LE "^PackageTest$"
fi
