#!/usr/bin/env bash
# BENCHMARK, not a test. `fsdb scan TREE` against `find TREE -printf '%i %s %A@ %T@ %C@ %p\n'` (the same
# status calls, no database), warm page cache, after one warm-up run of each, RUNS runs each alternating
# the two so that a change of load on a shared machine hits both alike. Prints both medians (wall time),
# the ratio (target: at most 1.25), the median CPU time (user + system) of each and the scan's peak
# resident memory (largest of its runs).
#
# Usage: bench/scan_vs_find.sh [TREE] [RUNS] [FSDB_BINARY]
#   defaults: /usr, 5, build/tools/fsdb (or $FSDB)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
tree="${1:-/usr}"
runs="${2:-5}"
fsdb="${3:-${FSDB:-$root/build/tools/fsdb}}"

if [ ! -x "$fsdb" ]; then
  echo "scan bench: no fsdb binary at $fsdb (build the fsdb target, or pass its path)" >&2
  exit 2
fi
if [ ! -d "$tree" ]; then
  echo "scan bench: $tree is not a folder" >&2
  exit 2
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/fsdb-scan-bench.XXXXXX")"
trap 'rm -rf "$work"' EXIT

# Runs `fsdb scan` ($1 = scan) or `find` ($1 = find) under /usr/bin/time and appends "wall cpu maxrss_kib"
# to the file $2. Each scan writes a fresh database; removing the old one costs milliseconds. find reports
# folders it cannot read on stderr and exits 1; its walk is still complete.
measure() {
  local ok=0
  if [ "$1" = scan ]; then
    rm -f "$work/scan.db"
    /usr/bin/time -f '%e %U %S %M' -o "$work/time.out" "$fsdb" scan "$tree" "$work/scan.db" \
      >/dev/null 2>"$work/err" || ok=$?
  else
    /usr/bin/time -f '%e %U %S %M' -o "$work/time.out" find "$tree" -printf '%i %s %A@ %T@ %C@ %p\n' \
      >/dev/null 2>"$work/err" || ok=0
  fi
  if [ "$ok" != 0 ]; then
    echo "scan bench: fsdb scan failed:" >&2
    cat "$work/err" >&2
    exit 1
  fi
  tail -1 "$work/time.out" | awk '{ printf "%s %.2f %s\n", $1, $2 + $3, $4 }' >>"$2"
}

median() { # column $1 of file $2
  cut -d' ' -f"$1" "$2" | sort -g |
    awk '{ t[NR] = $1 } END { if (NR % 2) print t[(NR + 1) / 2]; else printf "%.2f\n", (t[NR / 2] + t[NR / 2 + 1]) / 2 }'
}

entries=$(find "$tree" 2>/dev/null | wc -l)
echo "tree $tree: $entries entries; $runs runs each, alternating, warm cache; $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
measure find "$work/warm.txt"
measure scan "$work/warm.txt"
for ((run = 0; run < runs; run++)); do
  measure find "$work/find.txt"
  measure scan "$work/scan.txt"
done

t_find=$(median 1 "$work/find.txt")
t_scan=$(median 1 "$work/scan.txt")
c_find=$(median 2 "$work/find.txt")
c_scan=$(median 2 "$work/scan.txt")
peak=$(cut -d' ' -f3 "$work/scan.txt" | sort -g | tail -1)
printf '%-12s wall %7ss  cpu %7ss  (runs: %s)\n' \
  find "$t_find" "$c_find" "$(cut -d' ' -f1 "$work/find.txt" | tr '\n' ' ')" \
  "fsdb scan" "$t_scan" "$c_scan" "$(cut -d' ' -f1 "$work/scan.txt" | tr '\n' ' ')"
echo "fsdb scan / find (wall medians): $(awk -v a="$t_scan" -v b="$t_find" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')  (target <= 1.25)"
echo "fsdb scan peak resident memory: $(awk -v k="$peak" 'BEGIN { printf "%.1f MiB", k / 1024 }')"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
