#!/usr/bin/env bash
# Builds the benchmarks and runs every one on generated data, then prints one table: each row's
# figure, what it was compared with, the ratio and the aim.
#   bench/run.sh [MEGABYTES, default 1024]
# MEGABYTES sizes the data: the results file for getLine and the index for the update by copy;
# the job-results benchmarks scale with it (10,000,000 lines and 670 MB of raw files at 1024).
set -euo pipefail
cd "$(dirname "$0")/.."
megabytes=${1:-1024}
lines=$((megabytes * 10000000 / 1024))
raw_mb=$((megabytes * 670 / 1024))
cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVORNICA_BUILD_BENCH=ON -DVORNICA_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench
data=$(mktemp -d /tmp/vornica-bench-XXXXXX)
trap 'rm -rf "$data"' EXIT
export VORNICA_BENCH_SUMMARY="$data/summary.tsv"
: >"$VORNICA_BENCH_SUMMARY"
b=build-bench/bench

step() {  # step DIRECTORY COMMAND...: runs one benchmark in a fresh directory of its own
  local dir="$data/$1"
  shift
  mkdir -p "$dir"
  "$@" || echo "bench/run.sh: $(basename "$1") failed (exit $?)" >&2
  rm -rf "$dir"
}

$b/make_results_file "$data/results" "$megabytes"
$b/bench_getline "$data/results"
rm -f "$data/results"
step handoff $b/bench_lock_handoff "$data/handoff"
step cache $b/bench_cache_open "$data/cache"
step update $b/bench_update_copy "$data/update" "$megabytes"
step scan $b/bench_cleanup_scan "$data/scan"
step reserve $b/bench_reserve "$data/reserve"
step table $b/bench_results_table "$data/table"
step store $b/bench_store_results "$data/store" "$lines"
step page $b/bench_get_page "$data/page" "$lines"
step generate $b/bench_generate "$data/generate" "$raw_mb"
$b/make_results_file "$data/sort-input" 200
$b/bench_sort "$data/sort-input"
step column $b/bench_sort --by-column 200000 "$data/column"
step seam $b/bench_syscall_seam "$data/seam"
step tool-ls $b/bench_vornica_ls "$data/tool-ls" build-bench/tools/vornica
step tool-page $b/bench_vornica_page "$data/tool-page" build-bench/tools/vornica

echo
{
  printf 'work\tfigure\tcompared with\tratio\taim\n'
  cat "$VORNICA_BENCH_SUMMARY"
} | column -t -s $'\t'
