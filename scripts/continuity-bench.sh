#!/usr/bin/env bash
# The continuity benchmark of the three helper paths on the stand-in, one table.
#   scripts/continuity-bench.sh [--seconds S] [--paths tap,source,monitor,source24] [--rates 48000,44100]
#                               [--drifts 0,300]
# Default: 60 s of noise per run, every path, 48000 and 44100 Hz, equal clocks and 300 ppm.
# The path "source24" (not in the default) is the hardware source from a 24-bit integer input,
# which it reads through an input queue.
# Builds the benchmark first (TIDEWELL_BUILD_DIR, default build/). Prints the machine's load
# beside the figures: a loaded machine misses cycles that an idle one does not.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TIDEWELL_BUILD_DIR:-$here/build}
cmake --build "$build" --target continuity_bench -j "${TIDEWELL_JOBS:-4}" >/dev/null
echo "load before: $(uptime)"
"$here/scripts/private-shm" "$build/bin/continuity_bench" "$@"
echo "load after:  $(uptime)"
