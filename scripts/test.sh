#!/usr/bin/env bash
# Sets up, builds and runs every test. Extra arguments go to ctest (for example -L tsan).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/build.sh"
build=${TIDEWELL_BUILD_DIR:-$here/build}
cd "$build"
ctest --output-on-failure -j "${TIDEWELL_TEST_JOBS:-$(nproc)}" "$@"
