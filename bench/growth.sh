#!/usr/bin/env bash
# BENCHMARK, not a test. How the bulk scan and the comparison grow with the number of files: runs
# `fsdb_bench --only bulk-full,bulk-optimized,compare --repeat 1` once per N and prints, per N, the
# bench's own lines (rows/s, files examined/s, the comparison's peak memory), the bench process's peak
# resident memory (it holds the N generated items, so it grows with N by design) and the largest size
# its database folder reached (both scans of the comparison, the bulk database and its baseline).
#
# Usage: bench/growth.sh [FSDB_BENCH] [DIR] [N...]
#   defaults: build/bench/fsdb_bench, /var/tmp, 250000 1000000 4000000
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
bench="${1:-$root/build/bench/fsdb_bench}"
dir="${2:-/var/tmp}"
shift $(($# > 2 ? 2 : $#))
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(250000 1000000 4000000)

if [ ! -x "$bench" ]; then
  echo "growth bench: no fsdb_bench at $bench (build the fsdb_bench target, or pass its path)" >&2
  exit 2
fi
work="$(mktemp -d "$dir/fsdb-growth.XXXXXX")"
sampler=""
cleanup() {
  [ -z "$sampler" ] || kill "$sampler" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "$(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg); databases under $dir"
for n in "${sizes[@]}"; do
  mkdir "$work/$n"
  # The folder's size twice a second; its largest value is what the runs needed on disk.
  (
    peak=0
    while :; do
      size=$(du -sb "$work/$n" 2>/dev/null | cut -f1)
      [ "${size:-0}" -le "$peak" ] || { peak=$size; echo "$peak" >"$work/peak.$n"; }
      sleep 0.5
    done
  ) &
  sampler=$!
  /usr/bin/time -f '%e %U %S %M' -o "$work/time.$n" \
    "$bench" --files "$n" --only bulk-full,bulk-optimized,compare --repeat 1 --dir "$work/$n" >"$work/out.$n" 2>&1
  kill "$sampler" 2>/dev/null || true
  wait "$sampler" 2>/dev/null || true
  sampler=""
  echo "== N = $n"
  grep -Ev '^\s*$' "$work/out.$n"
  awk -v peak="$(cat "$work/peak.$n" 2>/dev/null || echo 0)" '{
    printf "process: %.1f s wall, %.1f s CPU, peak RSS %.1f MiB; database folder peak %.1f MiB\n",
      $1, $2 + $3, $4 / 1024, peak / 1048576 }' "$work/time.$n"
  echo "load $(cut -d' ' -f1-3 /proc/loadavg)"
done
