#!/bin/sh
# Runs a Windows program under Wine in the build tree's own prefix (set by
# WINEPREFIX; CTest sets it for every Windows test).
: "${WINEPREFIX:?WINEPREFIX must name the build tree's Wine prefix}"
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
exec wine "$@"
