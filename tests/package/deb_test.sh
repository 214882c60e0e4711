#!/usr/bin/env bash
# The Debian packages: `cpack -G DEB` makes fsdb and fsdb-dev; unpacked with dpkg-deb into a temporary
# folder, the tool there runs (it finds the unpacked library through its $ORIGIN run path), the packages
# hold what they should and declare their dependencies.
# Usage: deb_test.sh BUILD_DIR
set -euo pipefail
build="$1"
work="$(mktemp -d "${TMPDIR:-/tmp}/fsdb-deb.XXXXXX")"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || fail "cpack: $(cat "$work/cpack.log")"
runtime="$(find "$work/out" -maxdepth 1 -name 'fsdb_*.deb' -print -quit)"
development="$(find "$work/out" -maxdepth 1 -name 'fsdb-dev_*.deb' -print -quit)"
[ -n "$runtime" ] && [ -n "$development" ] || fail "packages missing: $(ls "$work/out")"

dpkg-deb -f "$runtime" Depends | grep -q "libsqlite3-0" || fail "fsdb does not depend on libsqlite3-0"
dpkg-deb -f "$development" Depends | grep -q "fsdb (= " || fail "fsdb-dev does not depend on fsdb"

dpkg-deb -x "$runtime" "$work/root"
for path in usr/bin/fsdb usr/share/man/man1/fsdb.1.gz; do
  [ -e "$work/root/$path" ] || fail "fsdb lacks /$path"
done
[ -n "$(find "$work/root/usr/lib" -name 'libfsdb.so.*' -print -quit)" ] || fail "fsdb lacks libfsdb.so.*"
[ -n "$(find "$work/root/usr/lib" -name fsdb_collation.so -print -quit)" ] || fail "fsdb lacks the extension"
[ -z "$(find "$work/root" -path '*/include/*' -print -quit)" ] || fail "headers belong to fsdb-dev"

dpkg-deb -x "$development" "$work/dev"
[ -e "$work/dev/usr/include/fsdb/ScanDatabase.h" ] || fail "fsdb-dev lacks the headers"
[ -n "$(find "$work/dev" -name fsdbConfig.cmake -print -quit)" ] || fail "fsdb-dev lacks the CMake package"
[ -n "$(find "$work/dev" -name fsdb.pc -print -quit)" ] || fail "fsdb-dev lacks fsdb.pc"

# The unpacked tool runs with the unpacked library and no LD_LIBRARY_PATH.
env -u LD_LIBRARY_PATH "$work/root/usr/bin/fsdb" --version >"$work/tool.out" 2>&1 ||
  fail "unpacked fsdb --version: $(cat "$work/tool.out")"
grep -qF "$(dpkg-deb -f "$runtime" Version)" "$work/tool.out" || fail "--version does not print the package version"
env -u LD_LIBRARY_PATH ldd "$work/root/usr/bin/fsdb" | grep "libfsdb" | grep -qF "$work/root/" ||
  fail "the unpacked tool does not load the unpacked library"
echo "deb test passed"
