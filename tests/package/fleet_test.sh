#!/usr/bin/env bash
# The fleet example of docs/fleet.md, as written there: each machine appends `fsdb compare --json` lines to
# a log file that a log shipper tails; every line must stand alone as a JSON object. A central reader
# opens the database files read-only with the sqlite3 shell and the fsdb_collation extension, attaching
# a second machine's file, and leaves both files as they were.
# Usage: fleet_test.sh FSDB_TOOL COLLATION_EXTENSION FLEET_LOG_CHECK
set -euo pipefail
fsdb="$1"
extension="$2"
check="$3"
work="$(mktemp -d "${TMPDIR:-/tmp}/fsdb-fleet.XXXXXX")"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# Two machines, each with its own tree recorded as /etc and its own databases. On host-a a file is added,
# one deleted and one grows between the scans; on host-b nothing changes.
for host in host-a host-b; do
  mkdir -p "$work/$host/etc/app"
  echo "port=1" >"$work/$host/etc/app/app.conf"
  echo "old" >"$work/$host/etc/app/legacy.conf"
  "$fsdb" scan "$work/$host/etc" "$work/$host/previous.db" --as /etc --quiet
done
rm "$work/host-a/etc/app/legacy.conf"
echo "port=2" >>"$work/host-a/etc/app/app.conf"
echo "new" >"$work/host-a/etc/app/extra.conf"

log="$work/fleet.jsonl"
for host in host-a host-b; do
  "$fsdb" scan "$work/$host/etc" "$work/$host/latest.db" --as /etc --quiet
  status=0
  "$fsdb" compare "$work/$host/previous.db" "$work/$host/latest.db" --json >>"$log" || status=$?
  expected=$([ "$host" = host-a ] && echo 1 || echo 0)
  [ "$status" = "$expected" ] || fail "$host: compare exited $status, expected $expected"
done

"$check" "$log" >"$work/entries" || fail "the log is not one JSON object per line: $(cat "$log")"
# host-a's changes, in path order, then one summary per comparison (host-b's has nothing before it).
printf '%s\n' "changed folder /etc/app/" "changed file /etc/app/app.conf" "added file /etc/app/extra.conf" \
  "deleted file /etc/app/legacy.conf" summary summary | diff -u - "$work/entries" ||
  fail "unexpected entries in the log"

# The central reader of docs/fleet.md: read-only, the extension loaded, a second machine's file attached;
# what host-a's /etc has and host-b's lacks, and the other way round.
before="$(cat "$work"/host-*/latest.db | md5sum)"
for pair in "host-a host-b /etc/app/extra.conf" "host-b host-a /etc/app/legacy.conf"; do
  read -r first second expected <<<"$pair"
  sqlite3 "file:$work/$first/latest.db?mode=ro" -cmd ".load $extension" \
    "ATTACH 'file:$work/$second/latest.db?mode=ro' AS other;
     SELECT FullyQualifiedPath FROM FilesystemView WHERE FullyQualifiedPath LIKE '/etc/%'
     EXCEPT SELECT FullyQualifiedPath FROM other.FilesystemView;" >"$work/rows" 2>&1 ||
    fail "sqlite3 read-only with the extension: $(cat "$work/rows")"
  [ "$(cat "$work/rows")" = "$expected" ] || fail "$first except $second: $(cat "$work/rows")"
done
if sqlite3 "file:$work/host-a/latest.db?mode=ro" -cmd ".load $extension" "DELETE FROM Files" 2>/dev/null; then
  fail "a read-only connection could write"
fi
[ "$(cat "$work"/host-*/latest.db | md5sum)" = "$before" ] || fail "reading changed a database file"
echo "fleet test passed"
