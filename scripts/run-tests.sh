#!/usr/bin/env bash
# Runs every test of both build trees and reports each platform's counts.
set -uo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
linux="$top/build/linux"
windows="$top/build/windows"
status=0

run_ctest() {  # name, build tree
    local log
    log="$(mktemp)"
    ctest --test-dir "$2" --output-on-failure --no-tests=error "${@:3}" 2>&1 | tee "$log"
    local rc=${PIPESTATUS[0]}
    summary+=("$1: $(grep -E 'tests passed' "$log" | tail -1)")
    rm -f "$log"
    return "$rc"
}

summary=()
run_ctest "Linux (Win32 stand-in)" "$linux" -j2 || status=1

"$top/scripts/wine-prefix.sh" "$windows/wineprefix"
export WINEPREFIX="$windows/wineprefix"
run_ctest "Windows (MinGW, under Wine)" "$windows" || status=1
wineserver -k 2>/dev/null || true

echo
echo "== Test summary =="
printf '  %s\n' "${summary[@]}"
exit $status
