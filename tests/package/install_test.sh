#!/usr/bin/env bash
# The installed package as a consumer uses it: `cmake --install` into a temporary prefix, then the example
# program built against it twice (the CMake package, then pkg-config) and run on a tree that changes.
# Also: the installed tool runs without LD_LIBRARY_PATH, the installed manual page renders without
# warnings, and the installed extension lets the sqlite3 shell read what the example recorded.
# Usage: install_test.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build="$1"
source="$2"
work="$(mktemp -d "${TMPDIR:-/tmp}/fsdb-install.XXXXXX")"
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

prefix="$work/prefix"
cmake --install "$build" --prefix "$prefix" >/dev/null
libdir="$(dirname "$(find "$prefix" -name 'libfsdb.so.*.*.*' -print -quit)")"
[ -d "$libdir" ] || fail "libfsdb.so.X.Y.Z not installed"
for file in "$prefix/include/fsdb/ScanDatabase.h" "$prefix/include/fsdb/CompareDatabases.h" \
            "$libdir/libfsdb.so" "$libdir/fsdb/fsdb_collation.so" "$libdir/cmake/fsdb/fsdbConfig.cmake" \
            "$libdir/pkgconfig/fsdb.pc" "$prefix/share/man/man1/fsdb.1.gz" "$prefix/bin/fsdb"; do
  [ -e "$file" ] || fail "not installed: ${file#"$prefix"/}"
done
# The soname chain: libfsdb.so -> libfsdb.so.MAJOR -> libfsdb.so.MAJOR.MINOR.PATCH, the one file.
soname="$(objdump -p "$libdir/libfsdb.so" | awk '/SONAME/ {print $2}')"
[ -L "$libdir/libfsdb.so" ] && [ -L "$libdir/$soname" ] && [ -f "$(readlink -f "$libdir/libfsdb.so")" ] ||
  fail "soname links wrong: $(ls -l "$libdir"/libfsdb.so*)"

# The installed tool finds the installed library by itself.
env -u LD_LIBRARY_PATH "$prefix/bin/fsdb" --version >"$work/tool.out" 2>&1 ||
  fail "installed fsdb --version: $(cat "$work/tool.out")"
version="$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --modversion fsdb)"
grep -qF "$version" "$work/tool.out" || fail "--version does not print $version: $(cat "$work/tool.out")"

# The manual page renders, without a warning from groff.
MANWIDTH=80 man -l "$prefix/share/man/man1/fsdb.1.gz" >"$work/man.out" 2>"$work/man.err" || fail "man -l failed"
[ ! -s "$work/man.err" ] || fail "man -l warned: $(cat "$work/man.err")"
grep -q "fsdb compare" "$work/man.out" || fail "the manual page lacks the compare command"
zcat "$prefix/share/man/man1/fsdb.1.gz" | groff -ww -man -z 2>"$work/groff.err"
[ ! -s "$work/groff.err" ] || fail "groff warned: $(cat "$work/groff.err")"

# The example, built once through find_package(fsdb) and once through pkg-config.
cmake -S "$source/examples" -B "$work/example-cmake" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_BUILD_TYPE=Release >"$work/cmake.log" 2>&1 || fail "example configure: $(cat "$work/cmake.log")"
cmake --build "$work/example-cmake" >"$work/build.log" 2>&1 || fail "example build: $(cat "$work/build.log")"
# shellcheck disable=SC2046 # pkg-config's words are separate arguments
g++ -std=c++17 -o "$work/example-pkgconfig" "$source/examples/scan_and_compare.cpp" \
  $(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs fsdb) || fail "pkg-config build"

# Runs an example; checks its exit status and its whole output (the given lines, in order).
expect() {
  local status="$1" program="$2" tree="$3" database="$4"
  shift 4
  local actual=0
  LD_LIBRARY_PATH="$libdir" "$program" "$tree" "$database" >"$work/out" 2>"$work/err" || actual=$?
  [ "$actual" = "$status" ] || fail "$program: exit status $actual, expected $status: $(cat "$work/err")"
  printf '%s\n' "$@" | diff -u - "$work/out" || fail "$program: unexpected output"
}

for program in "$work/example-cmake/scan_and_compare" "$work/example-pkgconfig"; do
  tree="$work/tree-$(basename "$program")"
  database="$work/$(basename "$program").db"
  mkdir -p "$tree/docs/old" "$tree/src"
  echo one >"$tree/docs/a.txt"
  echo two >"$tree/docs/old/b.txt"
  echo three >"$tree/src/main.c"
  expect 0 "$program" "$tree" "$database" "first scan recorded in $database"
  expect 0 "$program" "$tree" "$database" "0 difference(s)"
  rm -r "$tree/docs/old"
  echo longer >>"$tree/src/main.c"
  mkdir "$tree/new"
  echo four >"$tree/new/c.txt"
  expect 1 "$program" "$tree" "$database" "- $tree/docs/old" "- $tree/docs/old/b.txt" \
    "+ $tree/new" "+ $tree/new/c.txt" "~ $tree/src/main.c" "5 difference(s)"
done

# The installed extension lets the stock shell read the example's database, in the library's order.
sqlite3 "file:$database?mode=ro" -cmd ".load $libdir/fsdb/fsdb_collation" \
  "SELECT FullyQualifiedPath FROM FilesystemView" >"$work/view" 2>&1 || fail "sqlite3: $(cat "$work/view")"
grep -A3 -x "$tree/" "$work/view" | diff -u - <(printf '%s\n' "$tree/" "$tree/docs/" "$tree/docs/a.txt" \
  "$tree/new/") || fail "sqlite3 with the installed extension: unexpected rows"
echo "install test passed"
