#!/usr/bin/env bash
# Sets up, builds and runs Tidewell's main job on this machine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/build.sh"
build=${TIDEWELL_BUILD_DIR:-$here/build}
echo "Tidewell is built in $build/bin:"
ls "$build/bin"
# The stand-in audio server with its default emulated devices (kept running; stop it with
# `audioctl stop`).
"$build/bin/audioctl" start
"$build/bin/audioctl" list
