#!/usr/bin/env bash
# The cache directory torture test as a benchmark: operations a second with 1, 2, 4 and 8
# processes, no kills, SECONDS each (default 15): bench/torture.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-15}
scripts/build.sh >/dev/null
for procs in 1 2 4 8; do
  echo "== $procs process(es)"
  VORNICA_TORTURE_SECONDS=$seconds VORNICA_TORTURE_PROCS=$procs VORNICA_TORTURE_KILLS=0 \
    build/tests/vornica_tests --gtest_filter='CacheDirTorture.*' | grep -E "operations a second|torture:|FAILED|VIOLATION" || true
done
