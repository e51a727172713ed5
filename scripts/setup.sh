#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages) and nothing
# else. Idempotent, and quiet when everything is already there.
#   setup.sh        everything: both builds, every test, the docs
#   setup.sh demo   only what `make demo` builds and runs
#   setup.sh coverage  everything, and gcovr for `make coverage`
#   setup.sh valgrind  everything, and valgrind for `make test-valgrind`
set -euo pipefail

# Both platforms' builds of the libraries, the tool and the simulator.
packages=(
    cmake ninja-build g++ pkg-config libgtest-dev googletest libbenchmark-dev
    libtomlplusplus-dev libcli11-dev nlohmann-json3-dev llvm-14
    g++-mingw-w64-x86-64-posix wine64
)
if [ "${1:-all}" != demo ]; then
    packages+=(clang libclang-rt-14-dev lld-14 xvfb python3 doxygen)
    # The Python package's tests, type check and offline install.
    packages+=(python3-pytest mypy python3-venv python3-numpy)
fi
if [ "${1:-all}" = coverage ]; then
    packages+=(gcovr)
fi
if [ "${1:-all}" = valgrind ]; then
    packages+=(valgrind)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "setup: need root to install: ${missing[*]}" >&2; exit 1; }
    sudo=sudo
fi
echo "setup: installing ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
