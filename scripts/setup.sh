#!/usr/bin/env bash
# Installs what the build and the tests need (Debian packages) and nothing
# else. Idempotent, and quiet when everything is already there.
#   setup.sh        everything: both builds, every test, the docs
#   setup.sh demo   only what `make demo` builds and runs
#   setup.sh demo-linux  of that, only what the Linux half builds
#   setup.sh coverage  everything, and gcovr for `make coverage`
#   setup.sh valgrind  everything, and valgrind for `make test-valgrind`
#   setup.sh bench     everything, and Google Benchmark's source for the
#                      Windows benchmarks of `make bench`
set -euo pipefail

# Both platforms' builds of the libraries, the tool and the simulator, and
# Wine to run the Windows build. Packages are installed without what they
# merely recommend (Wine's recommends alone are a hundred packages: Mesa with
# its LLVM, GStreamer, CUPS, ...); what is needed of it is named: the wine
# command itself and, for the installer's picture under Xvfb, Wine's fonts
# and the X extensions its display driver uses.
quiet_packages=()
packages=(
    cmake ninja-build g++ pkg-config libgtest-dev googletest libbenchmark-dev
    libtomlplusplus-dev libcli11-dev nlohmann-json3-dev llvm-14
)
if [ "${1:-all}" != demo-linux ]; then
    packages+=(g++-mingw-w64-x86-64-posix wine wine64)
fi
if [ "${1:-all}" != demo ] && [ "${1:-all}" != demo-linux ]; then
    packages+=(clang libclang-rt-14-dev lld-14 xvfb python3 doxygen)
    packages+=(fonts-wine libxrender1 libxcursor1 libxi6 libxrandr2 libxcomposite1 libxinerama1
               libxfixes3 libxxf86vm1)
    # The Python package's tests, type check and offline install.
    packages+=(python3-pytest mypy python3-venv python3-numpy)
    # The exporter's tests against the real servers, whose own services are
    # held from starting (below).
    quiet_packages=(prometheus prometheus-alertmanager python3-prometheus-client)
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
if [ "${1:-all}" = bench ] && [ ! -f "$BENCHMARK_SOURCE/CMakeLists.txt" ]; then
    need_benchmark_source=1
    packages+=(curl)
fi

# The packages named that are not installed, a line each.
absent() {
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
            echo "$package"
    done
}
mapfile -t missing < <(absent "${packages[@]}")
mapfile -t quiet_missing < <(absent "${quiet_packages[@]}")
[ ${#missing[@]} -eq 0 ] && [ ${#quiet_missing[@]} -eq 0 ] && [ $need_benchmark_source -eq 0 ] &&
    exit 0

download=$(mktemp -d)
trap 'rm -rf "$download"' EXIT
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "setup: need root to install: ${missing[*]}" >&2; exit 1; }
    sudo=sudo
fi

# Installs packages, with one reading of the package lists for the whole
# setup, skipped when they were read within the hour (`make demo` then
# `make test` set up twice) unless the installation then fails.
lists_read=0
install_packages() {
    if [ $lists_read -eq 0 ] &&
        [ -z "$(find /var/lib/apt/lists -maxdepth 1 -name '*_Packages*' -mmin -60 2>/dev/null | head -1)" ]; then
        $sudo apt-get update -qq
        lists_read=1
    fi
    local attempt
    for attempt in 1 2; do
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@" \
            >/dev/null && return 0
        [ $lists_read -eq 0 ] || return 1
        $sudo apt-get update -qq
        lists_read=1
    done
}

everything=("${missing[@]}" "${quiet_missing[@]}")
if [ ${#everything[@]} -ne 0 ]; then
    echo "setup: installing ${everything[*]}"
    # The tests start Prometheus and Alertmanager themselves, on loopback
    # ports: the packages' own services (listening on every address) are
    # neither started now nor at boot. A policy-rc.d of our own holds the
    # start of every service while the packages install, unless the system
    # has one.
    policy=""
    if [ ! -e /usr/sbin/policy-rc.d ]; then
        policy=/usr/sbin/policy-rc.d
        printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
        $sudo chmod 755 "$policy"
    fi
    installed=0
    install_packages "${everything[@]}" || installed=$?
    [ -z "$policy" ] || $sudo rm -f "$policy"
    [ $installed -eq 0 ] || exit $installed
    if command -v systemctl >/dev/null; then
        for service in prometheus prometheus-alertmanager; do
            case " ${quiet_missing[*]} " in
                *" $service "*) $sudo systemctl disable --now "$service" >/dev/null 2>&1 || true ;;
            esac
        done
    fi
fi
if [ $need_benchmark_source -eq 1 ]; then
    echo "setup: fetching Google Benchmark's source into $BENCHMARK_SOURCE"
    curl -fsS --retry 3 -o "$download/source.tar.gz" "$BENCHMARK_ARCHIVE"
    echo "$BENCHMARK_SHA256  $download/source.tar.gz" | sha256sum -c --quiet -
    tar -xzf "$download/source.tar.gz" -C "$download"
    $sudo mkdir -p "$(dirname "$BENCHMARK_SOURCE")"
    $sudo rm -rf "$BENCHMARK_SOURCE.new"
    $sudo mv "$download/benchmark-1.7.1" "$BENCHMARK_SOURCE.new"
    $sudo mv -T "$BENCHMARK_SOURCE.new" "$BENCHMARK_SOURCE"
fi
# Something was installed: build trees configured before look again.
if [ -n "${VELTRA_SETUP_STAMP:-}" ]; then
    mkdir -p "$(dirname "$VELTRA_SETUP_STAMP")"
    touch "$VELTRA_SETUP_STAMP"
fi
