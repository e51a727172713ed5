#!/usr/bin/env bash
# Fuzzes the bitstream loader for a bounded time (seconds, default 60), and
# the installer's command-line rules and the machine description loader for a
# third of it each, on a clang build with
# AddressSanitizer and UndefinedBehaviorSanitizer. They must find nothing:
# no crash, no leak, no read outside the input.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
tree="$top/build/fuzz"
seconds="${1:-60}"
if [ ! -f "$tree/build.ninja" ]; then
    cmake -S "$top" -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRA_WERROR=ON \
        -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DVELTRA_SANITIZE=address,undefined -DVELTRA_FUZZ=ON >/dev/null
fi
cmake --build "$tree" --target bitstream_fuzz bitstream_seeds command_line_fuzz machine_fuzz
mkdir -p "$tree/corpus" "$tree/fuzz-work"
"$tree/bin/bitstream_seeds" "$tree/corpus"
cd "$tree/fuzz-work"
"$tree/bin/bitstream_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 "$tree/corpus" 2>&1 | tail -20
mkdir -p "$tree/command-line-corpus"
printf 'i\0n\0s\0t\0a\0l\0l\0 \0-\0n\0o\0u\0i\0' >"$tree/command-line-corpus/seed"
"$tree/bin/command_line_fuzz" -max_total_time="$((seconds / 3))" -timeout=10 \
    -print_final_stats=1 "$tree/command-line-corpus" 2>&1 | tail -12
mkdir -p "$tree/machine-corpus"
cp "$top"/sim/machines/*.toml "$top"/examples/*.toml "$top"/fuzz/seeds/*.toml "$tree/machine-corpus/"
"$tree/bin/machine_fuzz" -max_total_time="$((seconds / 3))" -timeout=10 -rss_limit_mb=4096 \
    -print_final_stats=1 "$tree/machine-corpus" 2>&1 | tail -12
