#!/usr/bin/env bash
# The main job: what changed under ROOT (default /usr) since the last run.
#
#   scripts/run.sh [--json] [--hash sha256|xxh128|none] [--rehash] [ROOT]
#
# Installs what is missing (scripts/setup.sh), builds the tool in Release mode into build-release/ when it
# is missing or out of date (quietly; the log is shown only on failure), then scans ROOT into
# state/latest.db after keeping the previous scan as state/previous.db. The first run records the scan
# ("first scan recorded"); every later run prints what changed between the two scans, or that nothing did.
# --json passes through to the comparison: one JSON object per line on standard output, and this
# script's own messages go to standard error.
# Every scan records a content digest of each regular file (--hash, default sha256; none turns it off), so
# that an edit that keeps size and modification time is reported as a change of `content`. The previous
# scan is passed with --reuse: a file whose inode, size, mtime and ctime are unchanged keeps its earlier
# digest without being read, so only the first run reads everything. --rehash reads every file anyway
# (that trusts no change time; see docs/digests.md).
# Exit status: 0 no changes (or the first scan), 1 changes found, 2 an error.
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"

usage() {
  echo "usage: scripts/run.sh [--json] [--hash sha256|xxh128|none] [--rehash] [ROOT]" >&2
  exit 2
}
json=()
root=""
hash=sha256
rehash=()
while [ "$#" -gt 0 ]; do
  case "$1" in
    --json) json=(--json) ;;
    --hash)
      [ "$#" -ge 2 ] || usage
      case "$2" in sha256 | xxh128 | none) hash="$2" ;; *) echo "run.sh: unknown digest: $2" >&2; usage ;; esac
      shift
      ;;
    --rehash) rehash=(--rehash) ;;
    -h | --help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2; exit 0 ;;
    -*) echo "run.sh: unknown option $1" >&2; usage ;;
    *) [ -z "$root" ] || usage; root="$1" ;;
  esac
  shift
done
root="${root:-/usr}"
[ -d "$root" ] || { echo "run.sh: not a folder: $root" >&2; exit 2; }
root="$(cd "$root" && pwd -P)"

# Messages of this script: on standard output, or on standard error when standard output carries JSON.
say() {
  if [ "${#json[@]}" -eq 0 ]; then echo "$@"; else echo "$@" >&2; fi
}

bash "$repo/scripts/setup.sh" >&2

build="$repo/build-release"
log="$build/run-build.log"
mkdir -p "$build"
if ! { cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DFSDB_BUILD_TESTS=OFF \
         -DFSDB_BUILD_BENCH=OFF -DFSDB_BUILD_TOOLS=ON &&
       cmake --build "$build" --target fsdb_tool -j "$(nproc)"; } >"$log" 2>&1; then
  cat "$log" >&2
  echo "run.sh: the build failed (log: $log)" >&2
  exit 2
fi
fsdb="$build/tools/fsdb"

# A database file travels with the files SQLite may keep beside it (its write-ahead log, shared memory,
# rollback journal): a log left behind would be applied to whatever file next takes the name.
remove_db() {
  rm -f "$1" "$1-wal" "$1-shm" "$1-journal"
}
move_db() {
  remove_db "$2"
  local suffix
  for suffix in "" -wal -shm -journal; do
    if [ -e "$1$suffix" ]; then mv -f "$1$suffix" "$2$suffix"; fi
  done
}

state="$repo/state"
mkdir -p "$state"
latest="$state/latest.db"
previous="$state/previous.db"
# Scans of two different trees do not compare: a new ROOT starts afresh.
if [ -e "$latest" ] && [ "$(cat "$state/root" 2>/dev/null)" != "$root" ]; then
  say "ROOT changed from $(cat "$state/root" 2>/dev/null || echo unknown) to $root: starting afresh"
  remove_db "$latest"
  remove_db "$previous"
fi
had_previous=0
if [ -e "$latest" ]; then
  move_db "$latest" "$previous"
  had_previous=1
fi

# The scan's own progress and summary lines go to standard error, so standard output stays the report.
scan_options=(--hash "$hash")
if [ "$hash" != none ] && [ "$had_previous" = 1 ]; then
  scan_options+=(--reuse "$previous" "${rehash[@]}")
fi
if ! "$fsdb" scan "${scan_options[@]}" "$root" "$latest" >&2; then
  # Put the last good scan back, so that the next run compares against it.
  if [ "$had_previous" = 1 ]; then move_db "$previous" "$latest"; fi
  echo "run.sh: the scan of $root failed" >&2
  exit 2
fi

echo "$root" >"$state/root"
if [ "$had_previous" = 0 ]; then
  say "first scan recorded: $latest (run scripts/run.sh again to see what changed)"
  exit 0
fi

status=0
"$fsdb" compare "$previous" "$latest" "${json[@]}" || status=$?
case "$status" in
  0) say "no changes under $root since the previous scan" ;;
  1) ;;
  *) echo "run.sh: the comparison failed" >&2 ;;
esac
exit "$status"
