#!/usr/bin/env bash
# Line and branch coverage of the library and the tool by the whole test suite: builds into
# build-cov with gcov instrumentation, runs the suite, and prints gcovr's summary (gcovr is a
# Debian package; installed here when missing). --no-run reports the counts of the last run.
set -euo pipefail
cd "$(dirname "$0")/.."
case "${1:-}" in
    "" | --no-run) ;;
    -h | --help) sed -n '2,4p' "$0" | sed 's/^# //'; exit 0 ;;
    *) echo "coverage: unknown argument '$1' (--no-run, --help)" >&2; exit 2 ;;
esac
if ! command -v gcovr >/dev/null 2>&1; then
  [ "$(id -u)" -eq 0 ] || { echo "coverage: gcovr is missing: apt-get install gcovr" >&2; exit 1; }
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq gcovr
fi
export BUILD_DIR=build-cov VORNICA_COVERAGE=ON
if [ "${1:-}" != "--no-run" ]; then
  scripts/build.sh
  find build-cov -name '*.gcda' -delete
  (cd build-cov && ctest -j 2 --timeout 600 >ctest.log 2>&1) || {
    tail -n 20 build-cov/ctest.log >&2; echo "coverage: the suite failed" >&2; exit 1; }
fi
gcovr --root . --object-directory build-cov \
  --filter 'Indexing/' --filter 'JobResults/' --filter 'Platform/' --filter 'tools/' \
  --exclude-unreachable-branches --exclude-throw-branches --print-summary -o build-cov/coverage.txt
