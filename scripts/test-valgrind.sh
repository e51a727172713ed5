#!/usr/bin/env bash
# Runs every test program of the Linux build under valgrind memcheck with
# leak checking, each as CTest runs it (its folder, its environment): any
# memory error or leak fails it. The programs a test starts (the tool, the
# peer) run without valgrind; scripts are left out. Stress tests run for a
# second each.
set -uo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
tree="${1:-$top/build/linux}"
logs="$tree/valgrind"
rm -rf "$logs"
mkdir -p "$logs"
export VELTRA_STRESS_SECONDS="${VELTRA_STRESS_SECONDS:-1}"

ctest --test-dir "$tree" --show-only=json-v1 | python3 -c '
import json, sys
for test in json.load(sys.stdin)["tests"]:
    command = test.get("command") or []
    if not command or not command[0].startswith(sys.argv[1]):
        continue
    properties = {p["name"]: p["value"] for p in test.get("properties", [])}
    environment = properties.get("ENVIRONMENT", [])
    folder = properties.get("WORKING_DIRECTORY", "")
    print("\t".join([test["name"], folder, " ".join(environment), " ".join(command)]))
' "$tree/bin/" >"$logs/tests.txt"

status=0
while IFS=$'\t' read -r name folder environment command; do
    [ -n "$folder" ] || folder="$tree/tests"
    start=$(date +%s)
    (cd "$folder" && env $environment valgrind --quiet --error-exitcode=97 --leak-check=full \
        --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite,indirect \
        --log-file="$logs/$name.log" $command >"$logs/$name.out" 2>&1)
    rc=$?
    if [ $rc -eq 0 ]; then
        echo "valgrind: $name: clean ($(( $(date +%s) - start )) s)"
    else
        status=1
        echo "valgrind: $name: FAILED (exit $rc)"
        cat "$logs/$name.log"
        tail -20 "$logs/$name.out"
    fi
done <"$logs/tests.txt"
exit $status
