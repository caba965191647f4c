#!/usr/bin/env bash
# Sets up, builds and runs the main job: the example that walks what the library does.
# Only the library, the example, the page program it runs and the administration tool that looks
# at its instance are built (not the tests), quietly.
# Arguments go to the example (--help, --keep).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
VORNICA_QUIET_BUILD=1 scripts/build.sh vornica-example KRRetrieveResults vornica-tool
exec "${BUILD_DIR:-build}/tools/vornica-example" "$@"
