#!/usr/bin/env bash
# Fuzzes the bitstream loader, the installer's command-line rules and the
# machine description loader on a clang build with AddressSanitizer and
# UndefinedBehaviorSanitizer (build/fuzz). They must find nothing: no crash,
# no leak, no read outside the input.
#
#   scripts/run-fuzz.sh [SECONDS]        the bitstream loader for SECONDS
#                                        (default 60), the others a third each
#   scripts/run-fuzz.sh SECONDS RUNS     every target for RUNS executions or
#                                        SECONDS, whichever ends first
#   scripts/run-fuzz.sh build            only build them
#
# Each target starts from its seeds in the repository (fuzz/seeds, the
# example machines, and the bitstream shapes that bitstream_seeds writes) and
# keeps what it finds in build/fuzz/corpus-NAME for the next run.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
tree="$top/build/fuzz"
seconds="${1:-60}"
runs="${2:-}"
if [ ! -f "$tree/build.ninja" ]; then
    cmake -S "$top" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRA_WERROR=ON \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DVELTRA_SANITIZE=address,undefined -DVELTRA_FUZZ=ON >/dev/null
fi
cmake --build "$tree" --target bitstream_fuzz bitstream_seeds command_line_fuzz machine_fuzz
[ "$seconds" != build ] || exit 0

mkdir -p "$tree/corpus-bitstream" "$tree/corpus-command-line" "$tree/corpus-machine" "$tree/fuzz-work"
"$tree/bin/bitstream_seeds" "$tree/corpus-bitstream"
cp "$top"/fuzz/seeds/command-line/* "$tree/corpus-command-line/"
cp "$top"/sim/machines/*.toml "$top"/examples/*.toml "$top"/fuzz/seeds/machine/*.toml \
    "$tree/corpus-machine/"

fuzz() {  # target, corpus, seconds
    local limit=()
    [ -n "$runs" ] && limit=(-runs="$runs")
    echo "== $1: ${runs:+$runs executions or }$3 s"
    (cd "$tree/fuzz-work" &&
        "$tree/bin/$1" -max_total_time="$3" "${limit[@]}" -timeout=10 -rss_limit_mb=4096 \
            -print_final_stats=1 "$tree/$2" 2>&1 | tail -12)
}

# With a number of runs every target gets the whole time; without, the
# others a third of the bitstream loader's.
others="$seconds"
[ -n "$runs" ] || others="$((seconds / 3))"
fuzz bitstream_fuzz corpus-bitstream "$seconds"
fuzz command_line_fuzz corpus-command-line "$others"
fuzz machine_fuzz corpus-machine "$others"
