#!/usr/bin/env bash
# BENCHMARK, not a test. What it compares, on one tree (default /usr) with a warm page cache, as the
# median wall time of RUNS runs after one warm-up run each (the runs go round the commands in turn):
#   1. fsdb scan --hash sha256 TREE          against  find TREE -type f -print0 | xargs -0 -P2 sha256sum
#      (target: fsdb at most 1.1 times the find|xargs line)
#   2. fsdb scan --hash xxh128 TREE          against  fsdb scan --hash sha256 TREE   (target: 3 times faster)
#   3. fsdb scan --hash sha256 --reuse PREV  against  fsdb scan TREE (no digests)    (target: at most 1.3 times)
#      PREV is a hashed scan of the same, unchanged tree, so the reusing scan should read no file.
# It also prints the bytes hashed per second of the hashed scans (sum of regular file sizes / median), and
# beside each wall time the user+sys CPU time of the same run, which moves less with other work.
# With the fsdb_digest_floor program beside the binary (bench/ of the same build), it also times the
# hashing alone, over files listed beforehand, and from it and the plain scan the best sha256 / xxh128
# ratio this machine allows: an xxh128 scan takes at least as long as its hashing alone, and at least
# the CPU time of hashing plus that of a plain scan, shared among the cores.
# Needs a tool that has `scan --hash` and `--reuse`; it stops with a message otherwise.
#
# Usage: bench/digest_vs_sha256sum.sh [FSDB_BINARY] [TREE] [RUNS]
#   defaults: build/tools/fsdb, /usr, 5
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
fsdb="${1:-$root/build/tools/fsdb}"
tree="${2:-/usr}"
runs="${3:-5}"
floor="$(dirname "$fsdb")/../bench/fsdb_digest_floor"

if [ ! -x "$fsdb" ]; then
  echo "digest bench: no fsdb binary at $fsdb (build the fsdb_tool target, or pass its path)" >&2
  exit 2
fi
if ! "$fsdb" scan --help 2>&1 | grep -q -- '--hash'; then
  echo "digest bench: $fsdb has no 'scan --hash' yet; nothing to compare" >&2
  exit 2
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/fsdb-digest-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# The commands compared. Each scan writes a fresh database; removing the old one costs milliseconds.
sha256sum_line() { find "$tree" -type f -print0 | xargs -0 -P2 sha256sum >/dev/null 2>&1 || true; }
scan_plain() { rm -f "$work/plain.db" && "$fsdb" scan "$tree" "$work/plain.db"; }
scan_sha256() { rm -f "$work/sha256.db" && "$fsdb" scan --hash sha256 "$tree" "$work/sha256.db"; }
scan_xxh128() { rm -f "$work/xxh128.db" && "$fsdb" scan --hash xxh128 "$tree" "$work/xxh128.db"; }
# The floor program times its hashing itself (its listing is not part of it) and prints "WALL USER SYS".
floor_sha256() { "$floor" "$tree" sha256; }
floor_xxh128() { "$floor" "$tree" xxh128; }
scan_reuse() {
  rm -f "$work/reuse.db" && "$fsdb" scan --hash sha256 --reuse "$work/previous.db" "$tree" "$work/reuse.db"
}

# Runs the function $1 once, as a warm-up that fills the page cache and must succeed (the find|xargs line
# ignores files it cannot read).
warm_up() {
  if ! "$1" >/dev/null 2>"$work/warmup.err"; then
    echo "digest bench: '$1' failed:" >&2
    cat "$work/warmup.err" >&2
    exit 1
  fi
}

# Times one run of the function $1, appending "WALL USER SYS" to $work/$1.times (bash's own `time`,
# which counts every child).
time_once() {
  local TIMEFORMAT='%R %U %S'
  if [[ "$1" == floor_* ]]; then
    "$1" 2>/dev/null >>"$work/$1.times"
    return
  fi
  { time "$1" >/dev/null 2>&1; } 2>>"$work/$1.times"
}

# Prints "WALL CPU" for the function $1: the median wall time of its runs, and the user+sys CPU seconds
# of that same run.
median_of() {
  sort -g "$work/$1.times" | awk '{ w[NR] = $1; c[NR] = $2 + $3 } END { m = int((NR + 1) / 2); printf "%.3f %.2f\n", w[m], c[m] }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
rate() { awk -v bytes="$1" -v s="$2" 'BEGIN { printf "%.1f MiB/s", (s > 0 ? bytes / s / 1048576 : 0) }'; }

bytes=$(find "$tree" -type f -printf '%s\n' 2>/dev/null | awk '{ s += $1 } END { printf "%.0f", s }')
echo "tree $tree: $bytes bytes in regular files; $runs runs each, warm cache, $(nproc) cores"
# On a shared machine the ratios move with what else runs: the load goes beside every figure.
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg)"

# Every command is warmed up first; then the runs go round the commands in turn, so that each ratio
# compares runs taken seconds apart, whatever the machine does over the whole series.
commands="sha256sum_line scan_sha256 scan_xxh128 scan_plain scan_reuse"
if [ -x "$floor" ]; then
  commands="$commands floor_sha256 floor_xxh128"
else
  echo "digest bench: no $floor; the hashing alone is not timed" >&2
fi
for command in $commands; do
  if [ "$command" = scan_reuse ]; then
    cp "$work/sha256.db" "$work/previous.db"  # the earlier scan: a hashed scan of the same tree
  fi
  warm_up "$command"
done
for ((run = 0; run < runs; run++)); do
  for command in $commands; do
    time_once "$command"
  done
done
r=$(median_of sha256sum_line)
t_sha256sum=${r% *} c_sha256sum=${r#* }
r=$(median_of scan_sha256)
t_sha256=${r% *} c_sha256=${r#* }
r=$(median_of scan_xxh128)
t_xxh128=${r% *} c_xxh128=${r#* }
r=$(median_of scan_plain)
t_plain=${r% *} c_plain=${r#* }
r=$(median_of scan_reuse)
t_reuse=${r% *} c_reuse=${r#* }

printf '%-44s %8s %12s\n' "command (median run)" "wall" "user+sys"
printf '%-44s %7ss %11ss\n' "find | xargs -P2 sha256sum" "$t_sha256sum" "$c_sha256sum" \
  "fsdb scan --hash sha256" "$t_sha256" "$c_sha256" "fsdb scan --hash xxh128" "$t_xxh128" "$c_xxh128" \
  "fsdb scan (no digests)" "$t_plain" "$c_plain" \
  "fsdb scan --hash sha256 --reuse (unchanged)" "$t_reuse" "$c_reuse"
echo "sha256 scan / sha256sum line:   $(ratio "$t_sha256" "$t_sha256sum")  (target <= 1.1)"
echo "sha256 scan / xxh128 scan:      $(ratio "$t_sha256" "$t_xxh128")  (target >= 3)"
echo "reusing scan / plain scan:      $(ratio "$t_reuse" "$t_plain")  (target <= 1.3)"
if [ -x "$floor" ]; then
  r=$(median_of floor_sha256)
  t_floor_sha256=${r% *} c_floor_sha256=${r#* }
  r=$(median_of floor_xxh128)
  t_floor_xxh128=${r% *} c_floor_xxh128=${r#* }
  printf '%-44s %7ss %11ss\n' "sha256 hashing alone (nothing recorded)" "$t_floor_sha256" "$c_floor_sha256" \
    "xxh128 hashing alone (nothing recorded)" "$t_floor_xxh128" "$c_floor_xxh128"
  best=$(awk -v w="$t_floor_xxh128" -v c="$c_floor_xxh128" -v p="$c_plain" -v n="$(nproc)" \
    'BEGIN { b = (c + p) / n; printf "%.3f", (w > b ? w : b) }')
  echo "fastest xxh128 scan here: ${best}s, so sha256 scan / xxh128 scan <= $(ratio "$t_sha256" "$best")"
fi
echo "hashed: sha256 $(rate "$bytes" "$t_sha256"), xxh128 $(rate "$bytes" "$t_xxh128"), sha256sum line $(rate "$bytes" "$t_sha256sum")"
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
