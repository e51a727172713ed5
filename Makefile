# The two commands of the quick start are `make demo` and `make test`; both
# install what is missing, build, and run.
BUILD    ?= build
LINUX    := $(BUILD)/linux
WINDOWS  := $(BUILD)/windows
ASAN     := $(BUILD)/linux-asan
TSAN     := $(BUILD)/linux-tsan
GENERATOR := -G Ninja
CONFIG   := -DCMAKE_BUILD_TYPE=RelWithDebInfo
# Our own builds treat warnings as errors; a consumer's plain build does not.
STRICT   := -DVELTRA_WERROR=ON
# scripts/setup.sh marks what it installs, and scripts/configure.sh has the
# trees look again for what came since they were configured.
export VELTRA_BUILD := $(CURDIR)/$(BUILD)
export VELTRA_SETUP_STAMP := $(VELTRA_BUILD)/setup.stamp

.PHONY: all setup build build-linux build-windows build-clang test test-asan test-tsan test-valgrind stress fuzz coverage demo bench package docs format clean

all: build

setup:
	@scripts/setup.sh

build-linux: setup
	@scripts/configure.sh linux
	@cmake --build $(LINUX)

build-windows: setup
	@scripts/configure.sh windows
	@cmake --build $(WINDOWS)

build: build-linux build-windows

# The Linux build with clang instead of g++ (both must stay warning-free).
build-clang: setup
	@cmake -S . -B $(BUILD)/linux-clang $(GENERATOR) $(CONFIG) $(STRICT) -DCMAKE_C_COMPILER=clang \
	    -DCMAKE_CXX_COMPILER=clang++ >/dev/null
	@cmake --build $(BUILD)/linux-clang

# Ends with the counts of each platform and the time each phase took.
test:
	@scripts/test.sh

# The demo installs and builds only what it runs (the libraries, the tool,
# the simulator and its launcher, the example design with its application,
# and the installer with its demo driver), the Linux half first; it ends
# with the time each phase took.
demo:
	@scripts/demo.sh

# The Linux tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan: setup
	@cmake -S . -B $(ASAN) $(GENERATOR) $(STRICT) -DCMAKE_BUILD_TYPE=Debug \
	    -DVELTRA_SANITIZE=address,undefined >/dev/null
	@cmake --build $(ASAN)
	@ctest --test-dir $(ASAN) --output-on-failure -j2

# The Linux tests with gcov counters, and the report of the lines and
# branches they reach: build/artifacts/coverage/index.html (HTML, per file)
# and coverage.txt (the summary per folder).
COVERAGE := $(BUILD)/linux-coverage
coverage:
	@scripts/setup.sh coverage
	@cmake -S . -B $(COVERAGE) $(GENERATOR) $(STRICT) -DCMAKE_BUILD_TYPE=Debug -DVELTRA_COVERAGE=ON >/dev/null
	@cmake --build $(COVERAGE)
	@find $(COVERAGE) -name '*.gcda' -delete
	@ctest --test-dir $(COVERAGE) --output-on-failure -j2 -E '^(api_reference|package|pkgconfig)$$'; \
	    status=$$?; scripts/coverage-report.sh $(COVERAGE) $(BUILD)/artifacts/coverage && exit $$status

# The stress tests of both platforms for longer: SECONDS per test (default
# 60); `make test` runs them for a few seconds each.
SECONDS ?= 60
stress: build
	@BUILD=$(BUILD) scripts/stress.sh $(SECONDS)

# Every fuzz target for FUZZ_RUNS executions (default ten million) or
# FUZZ_SECONDS (default an hour), whichever ends first.
FUZZ_RUNS ?= 10000000
FUZZ_SECONDS ?= 3600
fuzz: setup
	@scripts/run-fuzz.sh $(FUZZ_SECONDS) $(FUZZ_RUNS)

# The Linux test programs under valgrind memcheck with leak checking.
test-valgrind: build-linux
	@scripts/setup.sh valgrind
	@scripts/test-valgrind.sh $(LINUX)

# The Linux tests under ThreadSanitizer.
test-tsan: setup
	@cmake -S . -B $(TSAN) $(GENERATOR) $(STRICT) -DCMAKE_BUILD_TYPE=Debug -DVELTRA_SANITIZE=thread >/dev/null
	@cmake --build $(TSAN)
	@ctest --test-dir $(TSAN) --output-on-failure -j2

# The SDK archives: build/windows/packages/veltra-VERSION-windows-x64.zip and
# build/linux/packages/veltra-VERSION-linux-x86_64.tar.gz; and the Python
# package with the Linux libraries in it, beside them:
# build/linux/packages/veltra-VERSION-py3-none-linux_x86_64.whl.
package: build docs
	@cd $(WINDOWS) && cpack -G ZIP
	@cd $(LINUX) && cpack -G TGZ
	@VELTRA_WHEEL_LIBRARIES=$(CURDIR)/$(LINUX)/lib python3 -m pip wheel --no-deps \
	    --no-build-isolation --no-index --no-cache-dir --disable-pip-version-check --quiet \
	    -w $(LINUX)/packages ./python

# The API reference from the headers: build/linux/docs/html/index.html.
docs: setup
	@scripts/configure.sh linux windows
	@cmake --build $(LINUX) --target docs
	@cmake --build $(WINDOWS) --target docs

# The benchmarks of both platforms (Windows under Wine), then each ratio of a
# request to the platform's own primitive as the worst of RUNS processes, and
# the exporter scraped 10,000 times over HTTP (its time and memory).
RUNS ?= 10
bench:
	@scripts/setup.sh bench
	@scripts/configure.sh linux windows
	@cmake --build $(LINUX) --target all benchmarks
	@cmake --build $(WINDOWS) --target all benchmarks
	@for b in $(LINUX)/bin/bench_*; do $$b; done
	@scripts/wine-prefix.sh $(CURDIR)/$(WINDOWS)/wineprefix
	@export WINEPREFIX=$(CURDIR)/$(WINDOWS)/wineprefix; \
	    for b in $(WINDOWS)/bin/bench_*.exe; do scripts/wine-run.sh $$b; done
	@scripts/bench-ratios.py --runs $(RUNS) $(LINUX)/bin/bench_dma
	@WINEPREFIX=$(CURDIR)/$(WINDOWS)/wineprefix scripts/bench-ratios.py --runs $(RUNS) --windows \
	    $(WINDOWS)/bin/bench_dma.exe
	@scripts/exporter-soak.py $(LINUX)/bin/veltra
	@WINEPREFIX=$(CURDIR)/$(WINDOWS)/wineprefix scripts/exporter-soak.py --windows \
	    $(WINDOWS)/bin/veltra.exe

format:
	@git ls-files '*.c' '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
