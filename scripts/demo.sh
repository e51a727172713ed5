#!/usr/bin/env bash
# The main job on the built-in simulated cards: the Linux build, then the
# Windows build under Wine, started by vsim-run with the simulated driver
# attached. Both run on the default machine in the user's state folder, so
# what one run changes (the flash, the FPGA) the next one finds.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
echo "== veltra demo: Linux, on the Win32 stand-in =="
(cd "$top/build/linux" && bin/veltra demo)
echo
echo "== veltra demo: Windows (vsim-run veltra.exe under Wine), on vsim.dll =="
"$top/scripts/wine-prefix.sh" "$top/build/windows/wineprefix"
export WINEPREFIX="$top/build/windows/wineprefix"
(cd "$top/build/windows/bin" && "$top/scripts/wine-run.sh" vsim-run.exe veltra.exe demo)
echo
echo "== install.exe -noui under Wine, on the stand-in difxapi.dll =="
(cd "$top/build/windows/bin" &&
    WINEDLLOVERRIDES="mscoree,mshtml=;difxapi=n" "$top/scripts/wine-run.sh" installer_demo.exe)
wineserver -k 2>/dev/null || true
