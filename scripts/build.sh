#!/usr/bin/env bash
# Configures and builds fsdb. Usage: scripts/build.sh [BUILD_DIR] [extra cmake arguments...]
# Example: scripts/build.sh build-tsan -DFSDB_SANITIZE=thread
# FSDB_TARGETS (space-separated) builds only those targets and what they need, instead of everything.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
shift || true
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE="${FSDB_BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
# shellcheck disable=SC2086 # one word per target
cmake --build "$build" -j "$(nproc)" ${FSDB_TARGETS:+--target $FSDB_TARGETS}
