#!/usr/bin/env bash
# Installs what a fresh Debian 12 machine lacks to build, test and demo VESK.
# Does nothing (quickly) when everything is present.
set -euo pipefail

packages=(cmake g++ make pkg-config libsqlite3-dev libpcre3-dev libgtest-dev libgmock-dev
          p7zip-full tar coreutils sqlite3 clang-format time procps util-linux)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    $SUDO apt-get update -qq </dev/null
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
fi
