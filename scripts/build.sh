#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default build): everything, or only the targets named
# (scripts/build.sh vornica-example). Set VORNICA_WERROR=ON for -Werror and VORNICA_SANITIZE=ON
# for AddressSanitizer and UndefinedBehaviorSanitizer. VORNICA_QUIET_BUILD=1 shows the progress
# on one line and the compiler's output only when the build fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
# A compiler cache, where one is installed, makes rebuilds in other work trees cheap.
launcher=()
if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$build_dir" -G Ninja "${launcher[@]}" \
  -DVORNICA_WERROR="${VORNICA_WERROR:-OFF}" \
  -DVORNICA_SANITIZE="${VORNICA_SANITIZE:-OFF}" \
  -DVORNICA_COVERAGE="${VORNICA_COVERAGE:-OFF}" >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
if [ "${VORNICA_QUIET_BUILD:-0}" != 1 ]; then
  exec cmake --build "$build_dir" -j "$(nproc)" "${targets[@]}"
fi
log="$build_dir/build.log"
status=0
# Ninja prints "[done/total] ..." per step: keep only the count, on one line.
cmake --build "$build_dir" -j "$(nproc)" "${targets[@]}" >"$log" 2>&1 &
build=$!
while kill -0 "$build" 2>/dev/null; do
  if [ -t 2 ]; then
    progress=$(grep -o '^\[[0-9]*/[0-9]*\]' "$log" | tail -n 1 || true)
    printf '\rbuilding %s %s' "${*:-everything}" "$progress" >&2
  fi
  sleep 1
done
wait "$build" || status=$?
if [ "$status" -ne 0 ]; then
  printf '\rbuild failed (%s):\n' "$log" >&2
  grep -v '^\[[0-9]*/[0-9]*\]' "$log" >&2 || true
  exit "$status"
fi
printf '\rbuilt %s%*s\n' "${*:-everything}" 20 '' >&2
