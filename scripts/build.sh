#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default build). Set VORNICA_WERROR=ON for -Werror and
# VORNICA_SANITIZE=ON for AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
# A compiler cache, where one is installed, makes rebuilds in other work trees cheap.
launcher=()
if command -v ccache >/dev/null 2>&1; then launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache); fi
cmake -S . -B "$build_dir" -G Ninja "${launcher[@]}" \
  -DVORNICA_WERROR="${VORNICA_WERROR:-OFF}" \
  -DVORNICA_SANITIZE="${VORNICA_SANITIZE:-OFF}" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
