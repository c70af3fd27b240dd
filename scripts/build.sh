#!/usr/bin/env bash
# Configures and builds one build directory: build.sh <dir> [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
# The project's own builds treat warnings as errors.
if [ ! -f "$dir/CMakeCache.txt" ]; then
    cmake -S . -B "$dir" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON "$@" >/dev/null
fi
# VESK_TARGETS (space-separated) limits the build to those targets.
cmake --build "$dir" -j"$(nproc)" ${VESK_TARGETS:+--target $VESK_TARGETS}
