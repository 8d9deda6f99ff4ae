#!/usr/bin/env bash
# Installs what is missing, builds with AddressSanitizer and UndefinedBehaviorSanitizer,
# and runs every test.
set -euo pipefail
cd "$(dirname "$0")"
scripts/setup.sh
scripts/build.sh build/test -DCMAKE_BUILD_TYPE=Debug -DMV_SANITIZE=ON -DMV_TESTS=ON
cd build/test
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --output-on-failure -j "$(nproc)" --timeout 900
