#!/usr/bin/env bash
# Sets up, builds and runs Tidewell's main job on this machine.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
"$here/scripts/build.sh"
build=${TIDEWELL_BUILD_DIR:-$here/build}
echo "Tidewell is built in $build/bin:"
ls "$build/bin"
# The stand-in audio server with its default emulated devices (kept running; stop it with
# `audioctl stop`). It loads the TidewellHAL plug-in from the bundle the build installed.
export AUDIOSERVER_PLUGIN_PATH=${AUDIOSERVER_PLUGIN_PATH:-$build/plugins}
"$build/bin/audioctl" start
"$build/bin/audioctl" list
