#!/usr/bin/env bash
# Makes the Wine prefix of a build tree once: booted, with the null graphics
# driver so that windows work without a display.
set -euo pipefail
prefix="${1:?usage: wine-prefix.sh PREFIX}"
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
[ -f "$prefix/.veltra-ready" ] && exit 0
mkdir -p "$prefix"
wineboot -i >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
wineserver -w
touch "$prefix/.veltra-ready"
