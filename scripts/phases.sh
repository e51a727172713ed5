#!/usr/bin/env bash
# How long each phase of a run takes: sourced by the scripts that make up
# `make test` and `make demo`. Each phase is a line of PHASES_FILE (name,
# seconds, exit code), and phase_table prints them at the end, so that the
# next person sees where the minutes go.
#
#   phase NAME COMMAND...   runs COMMAND, records its time, returns its code
#   phase_record NAME SECONDS [CODE]
#   phase_table [TITLE]

PHASES_FILE="${PHASES_FILE:-${VELTRA_BUILD:-build}/phases.tsv}"
export PHASES_FILE

phase_now() {
    date +%s%N
}

phase_record() {  # name, seconds, code
    mkdir -p "$(dirname "$PHASES_FILE")"
    printf '%s\t%s\t%s\n' "$1" "$2" "${3:-0}" >>"$PHASES_FILE"
}

phase() {  # name, command...
    local name="$1" start code
    shift
    start=$(phase_now)
    "$@"
    code=$?
    phase_record "$name" "$(phase_seconds "$start" "$(phase_now)")" "$code"
    return $code
}

phase_seconds() {  # start, end (nanoseconds)
    awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", (b - a) / 1e9 }'
}

phase_table() {  # title
    [ -f "$PHASES_FILE" ] || return 0
    echo
    echo "== ${1:-Where the time went} =="
    awk -F'\t' '{
            printf "  %-58s %8.1f s%s\n", $1, $2, ($3 == 0 ? "" : "  (failed: " $3 ")")
        }' "$PHASES_FILE"
}
