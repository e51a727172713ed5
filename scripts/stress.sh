#!/bin/sh
# Runs the stress tests of both platforms for SECONDS each (default 60), in
# the folders CTest runs them from: Linux first, then Windows under Wine.
# Each test prints the rounds it ran.
set -e
seconds="${1:-60}"
build="${BUILD:-build}"
export VELTRA_STRESS_SECONDS="$seconds" VELTRA_SIM_STATE=private
echo "== Linux: $seconds s per test"
(cd "$build/linux/tests" && "../bin/stress_tests")
echo "== Windows: $seconds s per test"
here="$(cd "$(dirname "$0")" && pwd)"
(cd "$build/windows/tests" &&
    WINEPREFIX="$(cd .. && pwd)/wineprefix" "$here/wine-run.sh" ../bin/stress_tests.exe)
