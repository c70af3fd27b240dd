#!/bin/sh
# Builds and runs the run_with_io benchmark, then times the cat comparison once more with the
# shell's own `time` as an independent check.
# Usage: bench/run_with_io.sh [build-dir] [megabytes] [repetitions]
set -e
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-bench}
megabytes=${2:-100}
repetitions=${3:-5}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target run_with_io_bench -j2 >/dev/null
"$build/bench/run_with_io_bench" "$megabytes" "$repetitions"
line='photos/2024/holiday/IMG_000123.jpg  0123456789abcdef01234567'
echo "shell time of: yes | head -c ${megabytes}000000 | cat > /dev/null"
time sh -c "yes '$line' | head -c ${megabytes}000000 | cat > /dev/null"
