#!/usr/bin/env bash
# Writes the coverage report of a tree built with VELTRA_COVERAGE after its
# tests ran: OUT/index.html (per file, line by line) and OUT/coverage.txt,
# the lines and branches reached in each part of the package: the two
# libraries (api/), the installer's rules (driver/setup/setup; on Linux its
# headers), the Win32 stand-in (compat/) and the simulated driver (sim/).
# Tests, tools and third-party headers are left out.
#   coverage-report.sh TREE OUT
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
tree="$1"
out="$2"
mkdir -p "$out"
common=(--root "$top" --object-directory "$tree" --gcov-ignore-parse-errors
    --exclude-unreachable-branches --exclude-throw-branches)
gcovr "${common[@]}" --filter "$top/api/" --filter "$top/compat/" --filter "$top/sim/" \
    --filter "$top/driver/setup/setup/" --html-details "$out/index.html" >/dev/null
# Each part's line-by-line text report goes to a scratch file (gcovr replaces
# the file it writes, so it must never be given a device such as /dev/null).
scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
{
    for part in api compat sim driver/setup/setup; do
        gcovr "${common[@]}" --filter "$top/$part" --print-summary --txt "$scratch/part.txt" |
            sed -n "s#^\(lines\|branches\): #$part \1: #p"
    done
} | tee "$out/coverage.txt"
