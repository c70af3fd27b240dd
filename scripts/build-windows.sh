#!/usr/bin/env bash
# Builds build-win/vesk.exe (and the tests) for 64-bit Windows with MinGW-w64, on Debian 12.
# Installs what is missing (the cross compiler, Wine, deb-src entries), cross-builds the
# dependencies from Debian's sources once into build-win/deps, then builds with the toolchain
# file cmake/mingw-w64-x86_64.cmake. Extra arguments go to the first cmake configure.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=build-win

packages=(g++-mingw-w64-x86-64-posix mingw-w64-tools wine64 tcl cmake make pkg-config
          libgtest-dev libgmock-dev dpkg-dev)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
sources=/etc/apt/sources.list.d/debian-src.sources
need_sources=0
if [ ! -f "$sources" ] && ! grep -rqs '^\(deb-src\|Types: deb-src\)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    need_sources=1
fi
if ((${#missing[@]})) || ((need_sources)); then
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO="sudo"
    export DEBIAN_FRONTEND=noninteractive
    if ((need_sources)); then
        # Source entries made from the existing binary entries, so no address is written here.
        sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
            $SUDO tee "$sources" >/dev/null
    fi
    $SUDO apt-get update -qq </dev/null
    ((${#missing[@]} == 0)) || { echo "Installing: ${missing[*]}"
        $SUDO apt-get -o DPkg::Lock::Timeout=300 install -y -qq --no-install-recommends \
            "${missing[@]}" </dev/null; }
fi

# VESK_WIN_DEPS may name a prefix built before (e.g. by another checkout).
prefix=${VESK_WIN_DEPS:-$root/$dir/deps}
if [ ! -f "$prefix/.complete" ]; then
    echo "Cross-building SQLite, PCRE and GoogleTest into $prefix"
    bash scripts/windows-deps.sh "$prefix" "$root/$dir/deps-src"
    touch "$prefix/.complete"
fi

# Every Wine run of the build (the SQL masking tool) uses the build's own prefix.
export WINEPREFIX=$root/$dir/wineprefix WINEDEBUG=-all
if [ ! -f "$dir/Makefile" ]; then  # also after a configure that failed
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DVESK_WIN_PREFIX="$prefix" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DVESK_BUILD_BENCHMARKS=OFF "$@" >/dev/null
fi
cmake --build "$dir" -j"$(nproc)" ${VESK_TARGETS:+--target $VESK_TARGETS}
