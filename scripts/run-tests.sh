#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite (one process per test, two at a time).
# --sanitize builds into build-asan with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = "--sanitize" ]; then
  export VORNICA_SANITIZE=ON BUILD_DIR=${BUILD_DIR:-build-asan}
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
fi
scripts/setup.sh
scripts/build.sh
cd "${BUILD_DIR:-build}"
ctest -j 2 --output-on-failure --timeout 300
