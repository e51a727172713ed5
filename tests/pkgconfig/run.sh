#!/bin/sh
# Installs the build tree into a scratch prefix and builds and runs a C
# application against each library through pkg-config.
set -eu
build="$1"
here="$(cd "$(dirname "$0")" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
for lib in veltra veltrad; do
    # shellcheck disable=SC2046
    cc -std=c99 -Wall -Wextra -Werror "$here/app.c" $(pkg-config --cflags --libs "$lib") \
        -o "$work/app_$lib"
    "$work/app_$lib"
done
