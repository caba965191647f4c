#!/usr/bin/env bash
# Builds the fuzz targets when needed (clang, build-fuzz/) and runs each for SECONDS, one after
# the other: fuzz/run.sh SECONDS [TARGET...]. Prints one line per target; exits 1 when any
# target found a crash, a leak, a time-out or a broken invariant (the reproducer is kept in
# build-fuzz/findings/, the whole output in build-fuzz/logs/).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:?usage: fuzz/run.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(state_file settings job_token return_data job_id_file reserve_file line_map page_request)
build_dir=${FUZZ_BUILD_DIR:-build-fuzz}

scripts/setup.sh --fuzz
mkdir -p "$build_dir/logs" "$build_dir/findings"
if ! { CC=clang CXX=clang++ cmake -S . -B "$build_dir" -G Ninja -DVORNICA_BUILD_FUZZ=ON -DVORNICA_BUILD_TESTS=OFF \
         -DVORNICA_WERROR="${VORNICA_WERROR:-OFF}" &&
       cmake --build "$build_dir" -j "$(nproc)"; } >"$build_dir/logs/build.log" 2>&1; then
  tail -n 40 "$build_dir/logs/build.log" >&2
  echo "fuzz: build failed (see $build_dir/logs/build.log)" >&2
  exit 2
fi

for target in "${targets[@]}"; do
  [ -x "$build_dir/fuzz/fuzz_$target" ] || { echo "fuzz: no target $target" >&2; exit 2; }
done

status=0
for target in "${targets[@]}"; do
  # New inputs go to the first corpus directory; the seeds in fuzz/corpus stay as committed.
  work_corpus=$build_dir/corpus/$target
  log=$build_dir/logs/$target.log
  mkdir -p "$work_corpus"
  started=$SECONDS
  if "$build_dir/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=60 -print_final_stats=1 \
       -artifact_prefix="$build_dir/findings/$target-" "$work_corpus" "fuzz/corpus/$target" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    printf '%-12s ok     %5d s %10s runs %7s exec/s\n' "$target" $((SECONDS - started)) "${runs:-?}" "${rate:-?}"
  else
    reproducer=$(sed -n 's/.*Test unit written to //p' "$log" | tail -n 1)
    kind=$(grep -m 1 -o 'ERROR: [A-Za-z]*Sanitizer: [a-z-]*\|ERROR: libFuzzer: [a-z-]*' "$log" || echo "exit status")
    printf '%-12s FOUND  %5d s  %s; reproducer %s; log %s\n' "$target" $((SECONDS - started)) "$kind" \
      "${reproducer:-none}" "$log"
    status=1
  fi
done
exit $status
