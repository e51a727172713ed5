#!/usr/bin/env bash
# `make demo`, the main job on the built-in simulated cards: a short tour of
# the veltra tool, first the Linux build, then the Windows build under Wine
# (started by vsim-run, or with --sim), the example FPGA design with its
# application on both, and install.exe -noui. Both platforms run on the
# default machine in the user's state folder, so what one command changes
# (the FPGA, the flash) the next one finds.
#
# It installs and builds only what it runs, and the Linux half first: Wine
# and MinGW install while the Linux build compiles and its tour runs, so
# that the first output comes early. It ends with the time each phase took.
set -euo pipefail
top="$(cd "$(dirname "$0")/.." && pwd)"
cd "$top"
export VELTRA_BUILD="${VELTRA_BUILD:-$top/build}"
export VELTRA_SETUP_STAMP="${VELTRA_SETUP_STAMP:-$VELTRA_BUILD/setup.stamp}"
export PHASES_FILE="$VELTRA_BUILD/demo-phases.tsv"
# shellcheck source=phases.sh
. "$top/scripts/phases.sh"
mkdir -p "$VELTRA_BUILD"
rm -f "$PHASES_FILE"
begun=$(phase_now)
work="$(mktemp -d)"
windows_setup_log="$VELTRA_BUILD/demo-setup-windows.log"
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

phase "package installation: the Linux build" scripts/setup.sh demo-linux
# Wine and MinGW install, the Windows tree is configured and the Wine
# prefix made, all beside the Linux build.
windows_ahead() {
    phase "package installation: Wine and MinGW (beside the Linux half)" scripts/setup.sh demo &&
        phase "configuring: Windows (beside the Linux half)" scripts/configure.sh windows &&
        phase "the Wine prefix (beside the Linux half)" \
            "$top/scripts/wine-prefix.sh" "$VELTRA_BUILD/windows/wineprefix"
}
windows_ahead >"$windows_setup_log" 2>&1 &
windows_setup=$!
phase "configuring: Linux" scripts/configure.sh linux
phase "building: Linux" cmake --build "$VELTRA_BUILD/linux" --target veltra_tool vector_add

linux_tour() {
    echo "== veltra on Linux, on the Win32 stand-in =="
    (cd "$work" && tour "$VELTRA_BUILD/linux/bin/veltra")
    echo
    echo "== An application and its FPGA design: the vector adder of examples/, on Linux =="
    (cd "$VELTRA_BUILD/linux/bin" &&
        step env VELTRA_SIM_MACHINE=vector_add.toml VELTRA_SIM_STATE=private ./vector_add)
}
phase "the tour on Linux" linux_tour

if ! wait $windows_setup; then
    cat "$windows_setup_log"
    exit 1
fi
cat "$windows_setup_log"
phase "building: Windows" cmake --build "$VELTRA_BUILD/windows" \
    --target veltra_tool vsim vsim_run vector_add installer_demo

windows_tour() {
    echo
    echo "== veltra.exe on Windows (under Wine), on vsim.dll =="
    export WINEPREFIX="$VELTRA_BUILD/windows/wineprefix"
    local bin="$VELTRA_BUILD/windows/bin"
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
}
phase "the tour on Windows" windows_tour

phase_record "make demo, all of it" "$(phase_seconds "$begun" "$(phase_now)")"
phase_table "Where the time of make demo went"
