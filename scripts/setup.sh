#!/usr/bin/env bash
# Installs what fsdb needs to build and test on Debian 12, as root. Quick when everything is there.
set -euo pipefail

packages=(g++ cmake make pkg-config libsqlite3-dev sqlite3 libboost-dev libpugixml-dev libgtest-dev
          libgmock-dev libbenchmark-dev)
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
