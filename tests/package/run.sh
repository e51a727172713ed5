#!/usr/bin/env bash
# The package as an application developer gets it: the archive of
# `make package` unpacked into a scratch folder (and compared with what
# `cmake --install` gives), the
# examples built against it alone with CMake and with pkg-config (C99,
# -pedantic), and run on the simulated machine (on Windows under Wine,
# through vsim-run). On Windows a program is also linked against the
# Microsoft-style import libraries with lld-link.
#
#   run.sh linux|windows BUILD_DIR SOURCE_DIR
set -euo pipefail
platform="$1"
build="$(cd "$2" && pwd)"
source="$(cd "$3" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
examples=(list_cards configure_fpga registers dma_notify flash_update vector_add)
export VELTRA_SIM_STATE="$work/state"

fail() {
    echo "package test: $*" >&2
    exit 1
}

# Runs an example (or the tool) on the simulated machine: `run NAME ARGS...`.
# Sets $out to what it printed (both streams) and $code to its exit code.
run() {
    local name="$1"
    shift
    set +e
    if [ "$platform" = windows ]; then
        out="$(cd "$work/bin" && "$source/scripts/wine-run.sh" vsim-run.exe "$name.exe" "$@" 2>&1 | tr -d '\r')"
    else
        out="$("$work/bin/$name" "$@" 2>&1)"
    fi
    code=$?
    set -e
}

expect() {
    local want="$1" name="$2"
    shift 2
    run "$name" "$@"
    [ "$code" = "$want" ] || fail "$name $* exited with $code, not $want: $out"
}

# The archive: its file list is what `cmake --install` gives, and it holds
# what a developer needs.
if [ "$platform" = windows ]; then
    generator=ZIP
    suffix=windows-x64.zip
    needed=(include/veltra.h include/kesta.h lib/libveltra.dll.a lib/libveltrad.dll.a lib/libkesta.dll.a
        lib/libkestad.dll.a lib/veltra.lib lib/veltrad.lib lib/kesta.lib lib/kestad.lib
        bin/veltra.dll bin/veltrad.dll bin/kesta.dll bin/kestad.dll bin/veltra.exe bin/install.exe
        bin/vsim.dll bin/vsim-run.exe)
else
    generator=TGZ
    suffix=linux-x86_64.tar.gz
    needed=(include/veltra.h include/kesta.h include/w32compat/windows.h lib/libveltra.so
        lib/libveltrad.so lib/libkesta.so lib/libkestad.so lib/libw32compat.so lib/libvsim.so
        bin/veltra)
fi
needed+=(lib/cmake/veltra/veltraConfig.cmake lib/cmake/veltra/veltraConfigVersion.cmake
    lib/pkgconfig/veltra.pc lib/pkgconfig/kestad.pc share/doc/veltra/README.md
    share/veltra/machines/example.toml examples/CMakeLists.txt examples/dma_notify.c
    include/vsim_model.h examples/vector_add_model.c examples/vector_add.toml)
rm -f "$build"/packages/veltra-*-"$suffix"
(cd "$build" && cpack -G "$generator" >/dev/null) || fail "cpack failed"
archive="$(ls "$build"/packages/veltra-*-"$suffix")"
(cd "$work" && cmake -E tar xf "$archive")
prefix="$(ls -d "$work"/veltra-*-"${suffix%%.*}")"
cmake --install "$build" --prefix "$work/installed" >/dev/null
diff <(cd "$prefix" && find . -type f -o -type l | sort) \
    <(cd "$work/installed" && find . -type f -o -type l | sort) ||
    fail "the archive and cmake --install differ"
for file in "${needed[@]}"; do
    [ -e "$prefix/$file" ] || fail "the archive lacks $file"
done

if [ "$platform" = windows ]; then
    # A cross build finds packages under its system root only; the package's
    # folder is named directly.
    toolchain=(-DCMAKE_TOOLCHAIN_FILE="$source/cmake/mingw-w64-x86_64.cmake"
        -Dveltra_DIR="$prefix/lib/cmake/veltra")
    cc=x86_64-w64-mingw32-gcc-posix
    exe=.exe
else
    toolchain=(-DCMAKE_PREFIX_PATH="$prefix")
    cc=cc
    exe=
fi

# CMake: the examples' own project, nothing but the package.
cmake -S "$prefix/examples" -B "$work/cmake" -G Ninja "${toolchain[@]}" \
    -DCMAKE_C_FLAGS="-Wall -Wextra -Werror -pedantic" >/dev/null ||
    fail "the examples do not configure against the package"
cmake --build "$work/cmake" >/dev/null || fail "the examples do not build with CMake"

# pkg-config: the same sources by hand, into the folder they run from.
mkdir -p "$work/bin"
for example in "${examples[@]}"; do
    # shellcheck disable=SC2046
    "$cc" -std=c99 -pedantic -Wall -Wextra -Werror "$prefix/examples/$example.c" \
        $(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --cflags --libs veltra) \
        -o "$work/bin/$example$exe" || fail "$example does not build with pkg-config"
done
if [ "$platform" = windows ]; then
    cp "$prefix"/bin/*.dll "$prefix"/bin/*.exe "$work/bin/"
else
    ln -s "$prefix/bin/veltra" "$work/bin/veltra"
fi

run veltra sim bitstream design.bit --part 7vx690tffg1157 --size 256K
[ "$code" = 0 ] || fail "veltra sim bitstream: $out"
cp "$work/cmake/list_cards$exe" "$work/bin/list_cards_cmake$exe"
expect 0 list_cards_cmake
expect 0 list_cards
grep -q "^card 1$" <<<"$out" && grep -q "FPGA 0: 7vx690tffg1157" <<<"$out" &&
    grep -q "^2 card(s)$" <<<"$out" || fail "list_cards printed: $out"
expect 1 configure_fpga 1 design.bit
grep -q "design.bit is built for 7vx690tffg1157; FPGA 0 of card 1 is a ku115flvb2104" <<<"$out" ||
    fail "configure_fpga printed: $out"
expect 0 configure_fpga 0 design.bit
expect 0 registers 0
expect 0 dma_notify 0
grep -q "notification 42: VELTRA_SUCCESS" <<<"$out" || fail "dma_notify printed: $out"
expect 1 flash_update 0 design.bit 0x1000
expect 0 flash_update 0 design.bit 0x40000
# Another process sees what the example wrote.
expect 0 veltra flash verify -c 0 --offset 0x40000 --file design.bit
# The example design: the model that the examples' CMake project built, on
# the machine that names it, beside the application.
cp "$work/cmake/vector_add_model"* "$work/cmake/vector_add.toml" "$work/bin/"
if [ "$platform" = windows ]; then
    VELTRA_SIM_MACHINE=vector_add.toml expect 0 vector_add  # from the folder it runs in
else
    VELTRA_SIM_MACHINE="$work/bin/vector_add.toml" expect 0 vector_add
fi
grep -q "a mapping of the registers: C = A + B, RESULT 0x43270000: right" <<<"$out" ||
    fail "vector_add printed: $out"

if [ "$platform" = windows ]; then
    # The Microsoft linker's import libraries: a program compiled for the
    # MSVC ABI by clang and linked by lld-link, with no C run-time at all.
    cat >"$work/msvc.c" <<'EOF'
__declspec(dllimport) unsigned __stdcall VELTRA_Open(unsigned index, void** card);
__declspec(dllimport) unsigned __stdcall VELTRA_Close(void* card);
__declspec(dllimport) unsigned __stdcall KESTA_Open(unsigned index, int readOnly, unsigned flags,
                                                    void** card);
__declspec(dllimport) unsigned __stdcall KESTA_Close(void* card);
__declspec(dllimport) void __stdcall ExitProcess(unsigned code);
void entry(void) {
    void *card = 0, *bridge = 0;
    unsigned status = VELTRA_Open(1, &card) | KESTA_Open(1, 0, 0, &bridge);
    if (status == 0)
        status = VELTRA_Close(card) | KESTA_Close(bridge);
    ExitProcess(status == 0 ? 0 : 3);
}
EOF
    printf 'EXPORTS\n    ExitProcess\n' >"$work/kernel32.def"
    llvm-dlltool -m i386:x86-64 -d "$work/kernel32.def" -D kernel32.dll -l "$work/kernel32.lib"
    clang --target=x86_64-pc-windows-msvc -O1 -c "$work/msvc.c" -o "$work/msvc.obj" ||
        fail "clang cannot compile for the MSVC ABI"
    lld-link /nologo /entry:entry /subsystem:console /nodefaultlib "$work/msvc.obj" \
        "$prefix/lib/veltra.lib" "$prefix/lib/kesta.lib" "$work/kernel32.lib" /out:"$work/bin/msvc_linked.exe" ||
        fail "lld-link cannot link against veltra.lib and kesta.lib"
    expect 0 msvc_linked
fi
echo "package test ($platform): the archive, CMake and pkg-config builds of ${#examples[@]} examples, run: ok"
