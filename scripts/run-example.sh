#!/usr/bin/env bash
# Sets up, builds and runs the main job: the example that walks what the library does.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
exec "${BUILD_DIR:-build}/tools/vornica-example" "$@"
