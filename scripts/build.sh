#!/usr/bin/env bash
# Configures and builds into BUILD_DIR (default build). Set VORNICA_WERROR=ON for -Werror and
# VORNICA_SANITIZE=ON for AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${BUILD_DIR:-build}
cmake -S . -B "$build_dir" -G Ninja \
  -DVORNICA_WERROR="${VORNICA_WERROR:-OFF}" \
  -DVORNICA_SANITIZE="${VORNICA_SANITIZE:-OFF}" >/dev/null
cmake --build "$build_dir" -j "$(nproc)"
