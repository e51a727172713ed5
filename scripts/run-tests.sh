#!/usr/bin/env bash
# Runs every test of both build trees and reports each platform's counts:
# the CTest tests, and the test cases inside the GoogleTest programs.
set -uo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
linux="$top/build/linux"
windows="$top/build/windows"
# shellcheck source=phases.sh
. "$top/scripts/phases.sh"
status=0
summary=()

# Sums an attribute over the GoogleTest XML reports of a folder.
sum_attribute() {  # folder, attribute
    local total=0 n
    for n in $(cat "$1"/*.xml 2>/dev/null | grep -oE "<testsuites [^>]*" | grep -oE " $2=\"[0-9]+\"" | grep -oE "[0-9]+"); do
        total=$((total + n))
    done
    echo "$total"
}

count_matches() {  # folder, pattern
    cat "$1"/*.xml 2>/dev/null | grep -oE "$2" | wc -l
}

run_platform() {  # name, build tree, ctest arguments...
    local name="$1" tree="$2"
    shift 2
    local results="$tree/test-results" log
    rm -rf "$results"
    mkdir -p "$results"
    log="$(mktemp)"
    # Windows programs take the folder as a Windows path (Z: is the root).
    local output="$results/"
    [ "$tree" = "$windows" ] && output="Z:${results//\//\\}\\"
    local start
    start=$(phase_now)
    GTEST_OUTPUT="xml:$output" ctest --test-dir "$tree" --output-on-failure --no-tests=error "$@" 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    phase_record "$name: the test programs, wall time" "$(phase_seconds "$start" "$(phase_now)")" "$rc"
    # Each program's own time, as CTest measured it.
    sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) \.+ *\**([A-Za-z][A-Za-z ]*[A-Za-z]) +([0-9.]+) sec$/\1\t\3\t\2/p' "$log" |
        while IFS=$'\t' read -r test seconds result; do
            phase_record "    $test" "$seconds" "$([ "$result" = Passed ] && echo 0 || echo 1)"
        done
    local ctest_line cases failures skipped single marked
    ctest_line="$(grep -E 'tests passed' "$log" | tail -1)"
    cases=$(sum_attribute "$results" tests)
    failures=$(( $(sum_attribute "$results" failures) + $(sum_attribute "$results" errors) ))
    skipped=$(count_matches "$results" 'result="skipped"')
    single=$(count_matches "$results" '<skipped message="[^"]*single-platform: ')
    marked=$(ctest --test-dir "$tree" -N -L single-platform 2>/dev/null | grep -oE 'Total Tests: [0-9]+' | grep -oE '[0-9]+')
    summary+=("$name")
    summary+=("    test cases: $((cases - failures - skipped)) passed, $failures failed, $skipped skipped")
    summary+=("    CTest: $ctest_line")
    summary+=("    marked single-platform: $((single + ${marked:-0}))")
    if [ -f "$results/installer_tests.xml" ]; then
        summary+=("    of which install.exe driven under Wine: $(grep -oE '<testsuites [^>]*' "$results/installer_tests.xml" | grep -oE ' tests="[0-9]+"' | grep -oE '[0-9]+') cases")
    fi
    rm -f "$log"
    return "$rc"
}

run_platform "Linux (Win32 stand-in)" "$linux" -j2 || status=1

# The Windows programs under Wine leave most of the processors idle
# (process starts, waits on the Wine server, servers that answer in their
# own time): the fuzzers (one processor, for a fixed time each) and the
# installer's picture (a Wine prefix and a display of their own) run beside
# them, their output kept for after.
fuzz_log="$(mktemp)" picture_log="$(mktemp)"
trap 'rm -f "$fuzz_log" "$picture_log"' EXIT
phase "fuzzing (beside the Windows tests)" \
    "$top/scripts/run-fuzz.sh" "${FUZZ_SECONDS:-60}" >"$fuzz_log" 2>&1 &
fuzzing=$!
phase "the installer's picture (beside the Windows tests)" \
    "$top/scripts/installer-screenshot.sh" >"$picture_log" 2>&1 &
picturing=$!

phase "the Wine prefix" "$top/scripts/wine-prefix.sh" "$windows/wineprefix"
export WINEPREFIX="$windows/wineprefix"
# One Wine server for every Windows test program, and the prefix's
# services started once, away from any test's output (a service a test's
# first process started would hold that test's output open): a Wine process
# then starts in a tenth of a second rather than three. The programs run
# three at a time (each has a simulated machine of its own): under Wine they
# wait more than they compute.
wineserver -p
WINEDEBUG=-all wine cmd /c exit </dev/null >/dev/null 2>&1
run_platform "Windows (MinGW, under Wine)" "$windows" -j3 || status=1
wineserver -k 2>/dev/null || true

echo
echo "== The installer's picture, under Xvfb =="
if wait $picturing; then
    cat "$picture_log"
    summary+=("Installer screenshot: build/artifacts/installer.png (error-box icon checked)")
else
    status=1
    cat "$picture_log"
    summary+=("Installer screenshot: FAILED (see above)")
fi

echo
echo "== Fuzzing the bitstream loader, the installer's command line and the machine description loader =="
if wait $fuzzing; then
    runs=$(grep -oE 'Done [0-9]+ runs in [0-9]+ second' "$fuzz_log" | sed 's/Done //; s/$/s/' | paste -sd ';' | sed 's/;/; /')
    summary+=("Fuzzing (bitstream loader; command line; machine description): $runs, nothing found")
else
    status=1
    cat "$fuzz_log"
    summary+=("Fuzzing: FOUND A FAULT (see above)")
fi
tail -3 "$fuzz_log"

echo
echo "== Test summary =="
printf '  %s\n' "${summary[@]}"
exit $status
