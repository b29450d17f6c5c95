#!/usr/bin/env bash
# Sets up, builds and runs Tidewell's main job on this machine: the stand-in audio server
# with its emulated devices and the TidewellHAL plug-in, and the routing service on the
# user's configuration. Both keep running in the background; `scripts/run.sh stop` ends them.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TIDEWELL_BUILD_DIR:-$here/build}
bin=$build/bin
state=${XDG_STATE_HOME:-$HOME/.local/state}/Tidewell
export AUDIOSERVER_PLUGIN_PATH=${AUDIOSERVER_PLUGIN_PATH:-$build/plugins}

service_pids() { pgrep -f "^$bin/tidewell-service" || true; }

if [ "${1:-}" = "stop" ]; then
  for pid in $(service_pids); do kill -TERM "$pid"; done
  # The service stops its helpers before it exits.
  for _ in $(seq 50); do [ -z "$(service_pids)" ] && break; sleep 0.1; done
  [ -x "$bin/audioctl" ] && "$bin/audioctl" stop || true
  exit 0
fi

"$here/scripts/build.sh"
mkdir -p "$state"

# The audio server with its default devices; it loads the plug-in bundle the build installed.
"$bin/audioctl" start

# The routing service: it creates an empty configuration when there is none (the plug-in
# then shows its 2-channel pass-thru device), publishes the runtime regions and starts one
# helper per route it finds in the configuration.
if [ ! -x "$bin/tidewell-process-tap" ]; then
  echo "tidewell-service is not started: it needs all three helper programs, and tidewell-process-tap is not built yet."
elif [ -z "$(service_pids)" ]; then
  TIDEWELL_HELPER_DIR="$bin" TIDEWELL_SERVICE_POLL_SECONDS=1 \
    nohup "$bin/tidewell-service" >>"$state/service.log" 2>&1 </dev/null &
  sleep 2
fi

echo
echo "== Devices the audio server shows"
"$bin/audioctl" list

# Show the system carrying audio: play a tone into the pass-thru device's output and record
# its input, as any application would.
uid=$(grep -o 'app\.tidewell\.passthru\.main' <("$bin/audioctl" list) | head -n1 || true)
if [ -n "$uid" ]; then
  echo
  echo "== A 997 Hz tone at -12 dBFS played into $uid, recorded back from it"
  "$bin/audio-play" --device "$uid" --sine 997 --level -12 --duration 3 >/dev/null &
  player=$!
  sleep 1
  "$bin/audio-record" --device "$uid" --duration 1 --output "$state/passthru-check.wav"
  wait "$player" || true
fi

cat <<MSG

Tidewell is running: audioserverd with the plug-in, and tidewell-service when it could start
(log: $state/service.log).
  $bin/audioctl list                         the devices, virtual ones included
  $bin/audio-play --device UID --sine 997    play into a device
  $bin/audio-record --device UID --output x.wav --duration 2
                                             record a device and see its levels
Edit the configuration ($(printf '%s' "${XDG_DATA_HOME:-$HOME/.local/share}")/Tidewell/config.json); the service follows it
within a second. Stop everything with: scripts/run.sh stop
MSG
