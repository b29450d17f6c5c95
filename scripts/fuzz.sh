#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/) with clang, libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer in their own build folder, then runs each target for S seconds
# over a scratch copy of its seed corpus (fuzz/corpus/<target>/), so a run never grows the
# tree. Fails when any target crashes, hangs, leaks or draws a sanitizer report; the input
# that did it is kept under the build folder's artifacts/<target>/ and named in the output.
#
#   scripts/fuzz.sh [--seconds S] [--parallel N] [TARGET...]
#
#   --seconds S    how long each target runs (default 60)
#   --parallel N   targets run at once (default 1)
#   TARGET         names without the "fuzz-" prefix (default: every target)
#   TIDEWELL_FUZZ_BUILD_DIR  build folder (default: build-fuzz)
#   TIDEWELL_JOBS            parallel compile jobs (default: number of cores)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
seconds=60
parallel=1
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds=${2:?--seconds needs a number}; shift 2 ;;
    --seconds=*) seconds=${1#*=}; shift ;;
    --parallel) parallel=${2:?--parallel needs a number}; shift 2 ;;
    --parallel=*) parallel=${1#*=}; shift ;;
    -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
    -*) echo "fuzz: unknown option $1" >&2; exit 64 ;;
    *) targets+=("$1"); shift ;;
  esac
done
case "$seconds$parallel" in *[!0-9]*|'') echo "fuzz: --seconds and --parallel take whole numbers" >&2; exit 64 ;; esac
# libFuzzer takes 0 seconds for no limit at all.
if [ "$seconds" -lt 1 ] || [ "$parallel" -lt 1 ]; then
  echo "fuzz: --seconds and --parallel must be at least 1" >&2
  exit 64
fi

# The project's own packages, then Debian 12's clang and its compiler runtime, which holds
# libFuzzer and the sanitizer runtimes.
"$here/scripts/setup.sh"
fuzz_packages=(clang-14 libclang-rt-14-dev)
missing=()
for p in "${fuzz_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "fuzz: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}"
fi

build=${TIDEWELL_FUZZ_BUILD_DIR:-$here/build-fuzz}
jobs=${TIDEWELL_JOBS:-$(nproc)}
# Every library the targets link is instrumented for coverage (fuzzer-no-link); only the
# targets themselves link libFuzzer's main. Warnings stay warnings: clang knows other ones.
# shellcheck disable=SC2086
cmake -S "$here" -B "$build" \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link \
  -DTIDEWELL_SANITIZE=address,undefined -DTIDEWELL_FUZZ=ON \
  -DTIDEWELL_BUILD_TESTS=OFF -DTIDEWELL_BUILD_BENCH=OFF ${TIDEWELL_CMAKE_ARGS:-} >/dev/null
cmake --build "$build" --target fuzz-targets -j "$jobs"

if [ "${#targets[@]}" -eq 0 ]; then
  for d in "$here"/fuzz/corpus/*/; do targets+=("$(basename "$d")"); done
fi
for t in "${targets[@]}"; do
  if [ ! -x "$build/bin/fuzz-$t" ] || [ ! -d "$here/fuzz/corpus/$t" ]; then
    echo "fuzz: no target $t (built: $(cd "$build/bin" && ls fuzz-* | sed 's/^fuzz-//' | tr '\n' ' '))" >&2
    exit 64
  fi
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/tidewell-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
logs="$build/logs"
mkdir -p "$logs"

# One target: its corpus copied to the scratch folder, libFuzzer's findings kept.
run_one() {
  local t=$1 work="$scratch/$1" artifacts="$build/artifacts/$1"
  mkdir -p "$work/corpus" "$artifacts"
  cp -R "$here/fuzz/corpus/$t/." "$work/corpus/"
  local rc=0
  (cd "$work" && "$build/bin/fuzz-$t" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -detect_leaks=1 -print_final_stats=1 -artifact_prefix="$artifacts/" "$work/corpus") \
      >"$logs/$t.log" 2>&1 || rc=$?
  local execs cov ft
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$logs/$t.log" | tail -1)
  cov=$(grep -oE 'cov: [0-9]+' "$logs/$t.log" | tail -1 | cut -d' ' -f2 || true)
  ft=$(grep -oE 'ft: [0-9]+' "$logs/$t.log" | tail -1 | cut -d' ' -f2 || true)
  if [ "$rc" -ne 0 ] || grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: ' "$logs/$t.log"; then
    echo "FAIL $t: exit $rc, executions ${execs:-?}, cov ${cov:-?}, ft ${ft:-?}; log $logs/$t.log"
    grep -E 'ERROR:|runtime error:|SUMMARY:|Test unit written to' "$logs/$t.log" | head -5 | sed 's/^/     /' || true
    return 0
  fi
  echo "ok   $t: executions ${execs:-?}, cov ${cov:-?}, ft ${ft:-?}"
}

for t in "${targets[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$parallel" ]; do wait -n || true; done
  run_one "$t" >"$scratch/$t.result" 2>&1 &
done
wait
failed=0
for t in "${targets[@]}"; do
  cat "$scratch/$t.result"
  grep -q '^ok ' "$scratch/$t.result" || failed=1
done
if [ "$failed" -ne 0 ]; then
  echo "fuzz: a target failed; its input is under $build/artifacts/"
  exit 1
fi
echo "fuzz: ${#targets[@]} targets, ${seconds} s each, no findings"
