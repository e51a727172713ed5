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

# Google Benchmark for the Windows build: Debian ships it only as a Linux
# library, so its source comes from Debian's archive (checked against the
# digest Debian's source package gives) and is built with MinGW beside the
# benchmarks, as GoogleTest is.
BENCHMARK_SOURCE=/usr/local/src/google-benchmark-1.7.1
BENCHMARK_ARCHIVE=http://deb.debian.org/debian/pool/main/b/benchmark/benchmark_1.7.1.orig.tar.gz
BENCHMARK_SHA256=6430e4092653380d9dc4ccb45a1e2dc9259d581f4866dc0759713126056bc1d7
need_benchmark_source=0
if [ "${1:-all}" != demo ] && [ ! -f "$BENCHMARK_SOURCE/CMakeLists.txt" ]; then
    need_benchmark_source=1
    packages+=(curl)
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && [ $need_benchmark_source -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "setup: need root to install: ${missing[*]}" >&2; exit 1; }
    sudo=sudo
fi
if [ ${#missing[@]} -ne 0 ]; then
    echo "setup: installing ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
if [ $need_benchmark_source -eq 1 ]; then
    echo "setup: fetching Google Benchmark's source into $BENCHMARK_SOURCE"
    download=$(mktemp -d)
    trap 'rm -rf "$download"' EXIT
    curl -fsS --retry 3 -o "$download/source.tar.gz" "$BENCHMARK_ARCHIVE"
    echo "$BENCHMARK_SHA256  $download/source.tar.gz" | sha256sum -c --quiet -
    tar -xzf "$download/source.tar.gz" -C "$download"
    $sudo mkdir -p "$(dirname "$BENCHMARK_SOURCE")"
    $sudo rm -rf "$BENCHMARK_SOURCE.new"
    $sudo mv "$download/benchmark-1.7.1" "$BENCHMARK_SOURCE.new"
    $sudo mv -T "$BENCHMARK_SOURCE.new" "$BENCHMARK_SOURCE"
fi
