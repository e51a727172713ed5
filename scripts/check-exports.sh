#!/usr/bin/env bash
# Checks that a library exports exactly the functions its public header
# declares: no more, no fewer, and nothing else (no data). Reads the defined
# dynamic symbols of a Linux shared library, of every kind, or the export
# table of a Windows DLL.
#   check-exports.sh HEADER PREFIX LIBRARY
set -euo pipefail
header="$1" prefix="$2" library="$3"

declared=$(grep -oE "${prefix}_CALL[[:space:]]+${prefix}_[A-Za-z0-9]+" "$header" |
    awk '{print $2}' | sort -u)
case "$library" in
*.dll)
    exported=$(x86_64-w64-mingw32-objdump -p "$library" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
        grep -E "^\s+\[" | grep -oE "\] [A-Za-z_][A-Za-z0-9_]*" | awk '{print $2}' | sort -u)
    ;;
*)
    exported=$(nm -D --defined-only "$library" | awk 'NF >= 3 {print $3}' | sort -u)
    ;;
esac

if [ "$declared" != "$exported" ]; then
    echo "exports of $(basename "$library") differ from $(basename "$header"):"
    diff <(echo "$declared") <(echo "$exported") | sed -n 's/^</  declared, not exported:/p; s/^>/  exported, not declared:/p'
    exit 1
fi
echo "$(basename "$library"): $(echo "$exported" | wc -l) exports, exactly those of $(basename "$header")"
