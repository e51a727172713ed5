#!/usr/bin/env bash
# Configures the build trees of `make`: build/linux (native) and
# build/windows (MinGW-w64), each once, and again whenever scripts/setup.sh
# has installed something since (build/setup.stamp is newer than the tree's
# cache): a tree configured before Doxygen came looked for it then, and
# must look again, or `make demo` then `make test` would run fewer tests
# than `make test` alone.
#   configure.sh [linux] [windows]      (default: both)
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
build="${VELTRA_BUILD:-$top/build}"
stamp="$build/setup.stamp"
common=(-G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRA_WERROR=ON)

configure() {  # tree, extra arguments...
    local tree="$1"
    shift
    if [ -f "$tree/build.ninja" ] && { [ ! -f "$stamp" ] || [ "$tree/CMakeCache.txt" -nt "$stamp" ]; }; then
        return 0
    fi
    cmake -S "$top" -B "$tree" "${common[@]}" "$@" >/dev/null
    # The cache is rewritten only when a value changes: its time says when
    # the tree last looked.
    touch "$tree/CMakeCache.txt"
}

platforms=("$@")
[ ${#platforms[@]} -ne 0 ] || platforms=(linux windows)
for platform in "${platforms[@]}"; do
    case "$platform" in
        linux) configure "$build/linux" ;;
        windows) configure "$build/windows" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" ;;
        *) echo "configure.sh: no platform $platform" >&2; exit 2 ;;
    esac
done
