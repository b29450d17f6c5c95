#!/usr/bin/env bash
# Sets up, builds and runs Tidewell's main job on this machine, the way an installed Tidewell
# runs: the stand-in audio server with its emulated devices and the TidewellHAL plug-in, and
# the routing service installed as the user's launch agent (run and kept alive by the
# launchctl stand-in) on the user's configuration (a demonstration one on a first run). They
# keep running in the background, and the Tidewell window opens (on a machine without a
# display, the window is rendered into a PNG instead). `scripts/run.sh stop` ends them all.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${TIDEWELL_BUILD_DIR:-$here/build}
bin=$build/bin
state=${XDG_STATE_HOME:-$HOME/.local/state}/Tidewell
data=${XDG_DATA_HOME:-$HOME/.local/share}/Tidewell
# The plug-in folder the audio server loads and the window checks: the build installs the
# bundle there, the same bundle the application carries in share/tidewell.
export AUDIOSERVER_PLUGIN_PATH=${AUDIOSERVER_PLUGIN_PATH:-$build/plugins}

# The service's launch agent, as the application installs it.
agent=gui/$(id -u)/app.tidewell.service
launchctl=${TIDEWELL_LAUNCHCTL:-$bin/launchctl}
export TIDEWELL_LAUNCHCTL=$launchctl
agent_running() { "$launchctl" print "$agent" 2>/dev/null | grep -q 'state = running'; }
# The service's process while launchd runs it.
service_pid() {
  { "$launchctl" print "$agent" 2>/dev/null || true; } | sed -n 's/^[[:space:]]*pid = \([0-9]*\)$/\1/p' | head -n1
}
# This script signals only processes it started itself, by the ids it recorded, and only while
# the recorded id is still that program of this user's: never by name or pattern, so not even
# as root does it reach another user's processes, or another copy of the system.
app_pidfile=$state/tidewell-app.pid
player_pidfile=$state/example-player.pid
# The process recorded in the file, while it still runs `program` as this user.
recorded() {
  local file=$1 program=$2 pid
  pid=$(cat "$file" 2>/dev/null) || return 0
  case $pid in '' | *[!0-9]*) return 0 ;; esac
  [ "$(readlink "/proc/$pid/exe" 2>/dev/null)" = "$program" ] || return 0
  [ "$(stat -c %u "/proc/$pid" 2>/dev/null)" = "$(id -u)" ] && echo "$pid"
  return 0
}
# The application this script opened, and the example player it started, while they run.
app_pid() { recorded "$app_pidfile" "$bin/Tidewell"; }
player_pid() { recorded "$player_pidfile" "$bin/audio-play"; }
# Ended: no such process, or one that only waits to be reaped.
gone() { [ ! -e "/proc/$1" ] || [ "$(sed 's/^.*) //' "/proc/$1/stat" 2>/dev/null | cut -c1)" = Z ]; }

if [ "${1:-}" = "stop" ]; then
  # The application saves a pending edit when it ends on SIGTERM.
  pid=$(app_pid)
  if [ -n "$pid" ]; then
    kill -TERM "$pid"
    for _ in $(seq 50); do [ -z "$(app_pid)" ] && break; sleep 0.1; done
  fi
  rm -f "$app_pidfile"
  # Unloading the agent stops the service, which stops its helpers before it exits; the agent
  # stays installed, so the window finds it stopped rather than missing.
  if [ -x "$launchctl" ]; then
    service=$(service_pid)
    "$launchctl" bootout "$agent" 2>/dev/null || true
    if [ -n "$service" ]; then
      for _ in $(seq 100); do gone "$service" && break; sleep 0.1; done
    fi
  fi
  pid=$(player_pid)
  if [ -n "$pid" ]; then
    kill -TERM "$pid"
    for _ in $(seq 50); do gone "$pid" && break; sleep 0.1; done
  fi
  rm -f "$player_pidfile"
  [ -x "$bin/audioctl" ] && "$bin/audioctl" stop || true
  exit 0
fi

# Only what runs; scripts/test.sh builds the tests and benchmarks.
"$here/scripts/build.sh" tidewell-system
mkdir -p "$state"

# The audio server with its default devices; it loads the plug-in bundle the build installed.
"$bin/audioctl" start

# The example application the demonstration captures: a 997 Hz tone played to the built-in
# output by a process whose bundle id is org.example.player.
if [ -z "$(player_pid)" ]; then
  nohup "$bin/audio-play" --bundle-id org.example.player --sine 997 --level -12 --duration 86400 \
    >/dev/null 2>&1 </dev/null &
  echo $! >"$player_pidfile"
  for _ in $(seq 50); do [ -n "$(player_pid)" ] && break; sleep 0.1; done
fi

# A first run gets a demonstration configuration: one virtual device, "Tidewell Demo", that
# carries the microphone on its left channel and an example application on its right, and a
# monitor that plays it to the built-in output. An existing configuration is never touched.
config=${TIDEWELL_CONFIG_PATH:-${XDG_DATA_HOME:-$HOME/.local/share}/Tidewell/config.json}
if [ ! -e "$config" ]; then
  mkdir -p "$(dirname "$config")"
  # The source names the player's process as a source added in the window does; the window
  # shows an application source without one as not running, and follows the application to
  # a new process only from a known one.
  pid=$(player_pid)
  sed "s/\"bundleIdentifier\": \"org.example.player\"/&${pid:+, \"pid\": $pid}/" \
    "$here/scripts/demo-config.json" >"$config"
  echo "Wrote a demonstration configuration to $config"
fi

# The routing service, installed as the window's setup installs it: its executables copied
# into the user's data folder, its agent definition written and loaded, the agent started.
# It publishes the runtime regions (the plug-in then shows the devices) and starts one helper
# per route it finds in the configuration. A running agent is installed again only when the
# build has changed one of its executables.
installed_current() {
  local name
  for name in tidewell-service tidewell-monitor tidewell-hardware-source tidewell-process-tap; do
    cmp -s "$bin/$name" "$data/bin/$name" || return 1
  done
}
if ! agent_running || ! installed_current; then
  QT_QPA_PLATFORM=offscreen "$bin/Tidewell" --install-service
fi
# The devices appear within a second of the service's first pass; helpers that were quicker
# than the plug-in are started again 2 s later.
for _ in $(seq 100); do agent_running && break; sleep 0.1; done
sleep 4

echo
echo "== Devices the audio server shows"
"$bin/audioctl" list

# Show the system carrying audio, as any application would see it.
uid=$(grep -o 'app\.tidewell\.passthru\.main' <("$bin/audioctl" list) | head -n1 || true)
if [ -n "$uid" ]; then
  echo
  echo "== A 997 Hz tone at -12 dBFS played into $uid, recorded back from it"
  "$bin/audio-play" --device "$uid" --sine 997 --level -12 --duration 3 >/dev/null &
  player=$!
  sleep 1
  "$bin/audio-record" --device "$uid" --output "$state/passthru-check.wav" --duration 1
  wait "$player" || true
fi
demo=app.tidewell.devices.demo-device
if "$bin/audioctl" list | grep -q "$demo"; then
  echo
  echo "== Recorded from \"Tidewell Demo\" ($demo): the microphone's test tone on the left,"
  echo "   the example player's 997 Hz captured through a process tap on the right"
  "$bin/audio-record" --device "$demo" --output "$state/demo-check.wav" --duration 1
fi

cat <<MSG

Tidewell is running: audioserverd with the plug-in, tidewell-service (the launch agent
$agent) and its helpers (logs: $state/audioagent.*.log), and the example player.
  $bin/Tidewell                              the window again, from any shell (a second start
                                             brings the open window forward)
  $bin/audioctl list                         the devices, virtual ones included
  $bin/audio-play --device UID --sine 997    play into a device
  $bin/audio-record --device UID --output x.wav --duration 2
                                             record a device and see its levels
  $bin/audioctl capture BuiltInOutputDevice out.wav --seconds 2
                                             what the monitors play to the built-in output
Edit the configuration ($config); the service follows it
within a second. Stop everything with: scripts/run.sh stop
MSG

# The application, on the running system.
if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  if [ -z "$(app_pid)" ]; then
    nohup "$bin/Tidewell" >>"$state/app.log" 2>&1 </dev/null &
    echo $! >"$app_pidfile"
  fi
  echo
  echo "The Tidewell window is open (log: $state/app.log)."
else
  shot=$state/tidewell-window.png
  echo
  echo "== No display: the Tidewell window, rendered offscreen against the running system"
  QT_QPA_PLATFORM=offscreen "$bin/Tidewell" --screenshot "$shot" 2>>"$state/app.log"
fi
