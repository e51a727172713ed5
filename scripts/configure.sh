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
    local looked="$tree/setup.seen"
    if [ -f "$tree/build.ninja" ] && [ -f "$looked" ] && { [ ! -f "$stamp" ] || [ "$looked" -nt "$stamp" ]; }; then
        return 0
    fi
    cmake -S "$top" -B "$tree" "${common[@]}" "$@" >/dev/null
    # When the tree last looked (a file of its own: touching one that the
    # build depends on would make Ninja configure it again).
    touch "$looked"
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
