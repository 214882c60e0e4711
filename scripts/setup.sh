#!/usr/bin/env bash
# Installs what fsdb needs to build and test on Debian 12, as root. Quick when everything is there.
set -euo pipefail

# Build and test: compilers, SQLite, Boost, pugixml, GoogleTest/Benchmark. The tool: CLI11 and
# nlohmann-json; digests: OpenSSL and xxHash (xxhsum checks them). Fuzzing: clang with its runtimes.
# Packaging and the manual page: dpkg-dev, man-db. Tests that drop privileges or pin files: util-linux
# (setpriv) and e2fsprogs (chattr).
packages=(g++ cmake make pkg-config libsqlite3-dev sqlite3 libboost-dev libpugixml-dev libgtest-dev
          libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev libssl-dev libxxhash-dev xxhash
          clang libclang-rt-14-dev dpkg-dev man-db util-linux e2fsprogs file)
missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if [ "${#missing[@]}" -eq 0 ]; then
  exit 0
fi
echo "setup: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
