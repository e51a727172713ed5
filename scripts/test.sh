#!/usr/bin/env bash
# `make test`: installs what is missing, configures and builds both
# platforms, runs every test, and ends with the counts of each platform and
# the time each phase took.
set -uo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
export VELTRA_BUILD="$top/build"
export VELTRA_SETUP_STAMP="$VELTRA_BUILD/setup.stamp"
# shellcheck source=phases.sh
. "$top/scripts/phases.sh"
rm -f "$PHASES_FILE"
begun=$(phase_now)

finish() {  # exit code
    phase_record "make test, all of it" "$(phase_seconds "$begun" "$(phase_now)")" "$1"
    phase_table "Where the time of make test went"
    exit "$1"
}

# The few packages the Linux build needs come first; the rest (Wine, MinGW,
# the servers and tools of the tests) install beside the Linux build.
phase "package installation: the Linux build" scripts/setup.sh demo-linux || finish 1
setup_log="$(mktemp)"
trap 'rm -f "$setup_log"' EXIT
phase "package installation: the rest (beside the Linux build)" \
    scripts/setup.sh >"$setup_log" 2>&1 &
setup=$!
phase "configuring: Linux" scripts/configure.sh linux || finish 1
phase "building: Linux" cmake --build build/linux || finish 1
wait $setup
setup_status=$?
cat "$setup_log"
[ $setup_status -eq 0 ] || finish 1
# The Linux tree looks again if the setup installed something since it was
# configured (Doxygen, say), and builds what that adds.
phase "configuring: Windows (Linux again if need be)" \
    scripts/configure.sh linux windows || finish 1
phase "building: Linux, what the setup added" cmake --build build/linux || finish 1
phase "building: Windows" cmake --build build/windows || finish 1
phase "building: the fuzz targets (clang, sanitizers)" scripts/run-fuzz.sh build >/dev/null || finish 1
status=0
scripts/run-tests.sh || status=1
finish $status
