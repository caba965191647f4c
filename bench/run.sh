#!/usr/bin/env bash
# Builds the benchmarks and runs them on generated data: bench/run.sh [MEGABYTES, default 1024]
set -euo pipefail
cd "$(dirname "$0")/.."
megabytes=${1:-1024}
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORNICA_BUILD_BENCH=ON -DVORNICA_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench
data=$(mktemp -d /tmp/vornica-bench-XXXXXX)
trap 'rm -rf "$data"' EXIT
build-bench/bench/make_results_file "$data/results" "$megabytes"
build-bench/bench/bench_getline "$data/results"
build-bench/bench/bench_lock_handoff "$data"
mkdir "$data/cache" && build-bench/bench/bench_cache_open "$data/cache"
mkdir "$data/update" && build-bench/bench/bench_update_copy "$data/update" "$megabytes"
rm -rf "$data/update"
scan=$(mktemp -d /tmp/vornica-bench-scan-XXXXXX)
build-bench/bench/bench_cleanup_scan "$scan"
rm -rf "$scan"
mkdir "$data/reserve" && build-bench/bench/bench_reserve "$data/reserve"
mkdir "$data/table" && build-bench/bench/bench_results_table "$data/table"
build-bench/bench/make_results_file "$data/sort-input" 200
build-bench/bench/bench_sort "$data/sort-input"
build-bench/bench/bench_sort --by-column 200000 "$data"
mkdir "$data/tool-ls" && build-bench/bench/bench_vornica_ls "$data/tool-ls" build-bench/tools/vornica
rm -rf "$data/tool-ls"
mkdir "$data/tool-page" && build-bench/bench/bench_vornica_page "$data/tool-page" build-bench/tools/vornica
