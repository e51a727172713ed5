#!/usr/bin/env bash
# Takes the installer's picture under Xvfb, in a Wine virtual desktop with
# the normal display driver (a prefix of its own: the tests' prefix has the
# null driver), and saves it as build/artifacts/installer.png. It also checks
# that an error box shows the system's error icon.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
windows="$top/build/windows"
artifacts="$top/build/artifacts"
prefix="$windows/wineprefix-display"
mkdir -p "$artifacts"

display=":$((90 + RANDOM % 100))"
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true' EXIT
sleep 1

export WINEPREFIX="$prefix" WINEDEBUG=-all DISPLAY="$display"
if [ ! -f "$prefix/.veltra-ready" ]; then
    mkdir -p "$prefix"
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >/dev/null 2>&1
    wineserver -w
    # The title bar's buttons are drawn with Wine's Marlett font, which this
    # Wine build does not find in its own data folder.
    for font in /usr/share/wine/fonts/marlett.ttf; do
        [ -f "$font" ] && cp "$font" "$prefix/drive_c/windows/Fonts/"
    done
    touch "$prefix/.veltra-ready"
fi
export WINEDLLOVERRIDES="mscoree,mshtml=;difxapi=n"
output="Z:${artifacts//\//\\}\\installer.png"
cd "$windows/bin"
rm -f "$artifacts/installer.png"
log="$(timeout 300 wine explorer /desktop=installer,800x600 installer_screenshot.exe "$output" 2>&1)"
echo "$log"
wineserver -w
# The virtual desktop does not pass the program's exit code on: read its report.
! grep -q "NOT" <<<"$log" && [ -s "$artifacts/installer.png" ]
