#!/usr/bin/env bash
# Sets up the machine (missing Debian packages only) and builds everything, or only the
# targets named as arguments (scripts/run.sh builds tidewell-system).
#   TIDEWELL_BUILD_DIR   build folder (default: build)
#   TIDEWELL_CMAKE_ARGS  extra arguments for cmake's configure step
#   TIDEWELL_JOBS        parallel compile jobs (default: number of cores)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/setup.sh"
build=${TIDEWELL_BUILD_DIR:-$here/build}
jobs=${TIDEWELL_JOBS:-$(nproc)}
# shellcheck disable=SC2086
cmake -S "$here" -B "$build" -DTIDEWELL_WERROR=ON ${TIDEWELL_CMAKE_ARGS:-} >/dev/null
targets=()
for t in "$@"; do targets+=(--target "$t"); done
cmake --build "$build" -j "$jobs" "${targets[@]}"
