#!/usr/bin/env bash
# The main job on the built-in simulated cards: a short tour of the veltra
# tool, first the Linux build, then the Windows build under Wine (started by
# vsim-run, or with --sim). Both run on the default machine in the user's
# state folder, so what one command changes (the FPGA, the flash) the next
# one finds.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Prints a command as a user would type it, then runs it.
step() {
    echo
    echo "\$ $*"
    "$@"
}

# A few lines of what the exporter serves Prometheus for card 0.
metrics() {
    local pattern='^veltra_(card_up|fpga_configured|sensor_value)[{]'
    echo
    echo "\$ $* metrics -c 0 | grep -E '$pattern'"
    "$@" metrics -c 0 | grep -E "$pattern"
}

tour() {
    local veltra=("$@")
    step "${veltra[@]}" list
    step "${veltra[@]}" info -c 0
    step "${veltra[@]}" sim bitstream design.bit --part 7vx690tffg1157 --size 4M
    step "${veltra[@]}" program -c 0 design.bit
    step "${veltra[@]}" program -c 1 design.bit || echo "(refused, as it should be: exit code $?)"
    step "${veltra[@]}" flash write -c 0 --offset 0x400000 --file design.bit --yes
    step "${veltra[@]}" flash verify -c 0 --offset 0x400000 --file design.bit
    step "${veltra[@]}" sensors
    metrics "${veltra[@]}"
    step "${veltra[@]}" status -c 0 --clear
    step "${veltra[@]}" validate
}

echo "== veltra on Linux, on the Win32 stand-in =="
(cd "$work" && tour "$top/build/linux/bin/veltra")

echo
echo "== An application and its FPGA design: the vector adder of examples/, on Linux =="
(cd "$top/build/linux/bin" &&
    step env VELTRA_SIM_MACHINE=vector_add.toml VELTRA_SIM_STATE=private ./vector_add)

echo
echo "== veltra.exe on Windows (under Wine), on vsim.dll =="
"$top/scripts/wine-prefix.sh" "$top/build/windows/wineprefix"
export WINEPREFIX="$top/build/windows/wineprefix"
bin="$top/build/windows/bin"
cp "$bin"/{veltra,kesta,vsim}.dll "$bin"/{veltra,vsim-run}.exe "$work/"
(cd "$work" && step "$top/scripts/wine-run.sh" vsim-run.exe veltra.exe list &&
    tour "$top/scripts/wine-run.sh" veltra.exe --sim)

echo
echo "== The vector adder on Windows (under Wine) =="
(cd "$bin" && step env VELTRA_SIM_STATE=private "$top/scripts/wine-run.sh" vsim-run.exe \
    --machine vector_add.toml vector_add.exe)

echo
echo "== install.exe -noui under Wine, on the stand-in difxapi.dll =="
(cd "$bin" &&
    WINEDLLOVERRIDES="mscoree,mshtml=;difxapi=n" "$top/scripts/wine-run.sh" installer_demo.exe)
wineserver -k 2>/dev/null || true
