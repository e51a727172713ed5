#!/usr/bin/env bash
# The main job on the built-in simulated cards: the Linux build, then the
# Windows build under Wine with the simulated driver attached.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
echo "== veltra demo: Linux, on the Win32 stand-in =="
(cd "$top/build/linux" && bin/veltra demo)
echo
echo "== veltra demo: Windows (veltra.exe under Wine), on vsim.dll =="
"$top/scripts/wine-prefix.sh" "$top/build/windows/wineprefix"
export WINEPREFIX="$top/build/windows/wineprefix"
(cd "$top/build/windows/bin" && "$top/scripts/wine-run.sh" veltra.exe --simulator demo)
echo
echo "== install.exe -noui under Wine, on the stand-in difxapi.dll =="
(cd "$top/build/windows/bin" &&
    WINEDLLOVERRIDES="mscoree,mshtml=;difxapi=n" "$top/scripts/wine-run.sh" installer_demo.exe)
wineserver -k 2>/dev/null || true
