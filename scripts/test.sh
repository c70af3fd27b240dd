#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite twice: once normally (build/)
# and once under AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/). Then builds the
# Release configuration a packager builds (build-release/) and runs the tests of the threaded
# scan under ThreadSanitizer (build-tsan/). Last, builds vesk.exe and its tests for Windows and
# runs them under Wine (scripts/test-windows.sh). Warnings are errors in all of them.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh build
(cd build && ctest --output-on-failure -j"$(nproc)")
bash scripts/build.sh build-asan -DVESK_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j"$(nproc)")
bash scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DVESK_BUILD_TESTS=OFF \
    -DVESK_BUILD_BENCHMARKS=OFF
VESK_TARGETS="scan_recorder_test select_files_test dir_walk_test" bash scripts/build.sh build-tsan \
    -DVESK_THREAD_SANITIZER=ON -DVESK_BUILD_BENCHMARKS=OFF
for test in scan_recorder_test select_files_test dir_walk_test; do
    TSAN_OPTIONS=halt_on_error=1 build-tsan/tests/$test
done
bash scripts/test-windows.sh
