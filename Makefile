# A thin front to CMake. `make` builds build/komorebi; `make test` runs every
# suite; `make dist` makes the archives under dist/.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test test-asan test-ci windows test-windows dist bench fuzz deps clean

all: build

deps:
	@tools/install-deps

build/CMakeCache.txt:
	@tools/install-deps --check-only || tools/install-deps
	cmake --preset default

build: build/CMakeCache.txt
	cmake --build build -j $(JOBS)

run: build
	./build/komorebi --start

# Every suite. What the robustness and browser suites need (Python 3,
# Chromium, Firefox ESR, WebKitWebDriver with Xvfb, Node.js, npm) is installed first where root or sudo
# allows; a suite whose needs are missing reports itself skipped, and the last
# line names every skipped suite with the reason. Configured each time, so that a Python
# installed since the last run is found.
test:
	@if ! tools/install-deps --check-only --test 2>/dev/null && ! tools/install-deps --test; then \
	  tools/install-deps --check-only 2>/dev/null || \
	    { echo "make test: nothing can be built before those packages are installed"; exit 1; }; \
	  echo "make test: going on without them; the suites that need them will be skipped"; \
	fi
	cmake --preset default
	cmake --build build -j $(JOBS)
	@rm -f build/ctest-results.xml; status=0; \
	  ctest --test-dir build --output-on-failure -j $(JOBS) --output-junit $(CURDIR)/build/ctest-results.xml || status=$$?; \
	  tools/test-summary build/ctest-results.xml "make test"; exit $$status

test-ci:
	cmake --preset ci
	cmake --build build-ci -j $(JOBS)
	ctest --test-dir build-ci --output-on-failure -j $(JOBS)

test-asan:
	cmake --preset asan
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

windows:
	@tools/install-deps --check-only --windows 2>/dev/null || tools/install-deps --windows
	cmake --preset windows
	cmake --build build-windows -j $(JOBS)

# The Windows build with warnings as errors, its tests under wine and the
# window driven on a virtual display (screenshot: build-windows/komorebi-wine.png).
test-windows:
	@tools/install-deps --check-only --windows 2>/dev/null || tools/install-deps --windows
	cmake --preset windows -DKOMOREBI_WERROR=ON
	cmake --build build-windows -j $(JOBS)
	ctest --test-dir build-windows --output-on-failure

# The release archives, named with the version in window/options.h:
# dist/komorebi-VERSION-windows.zip and dist/komorebi-VERSION-linux-x86_64.tar.gz
# (see packaging/make-dist.sh). Builds the release Linux program and the
# Windows program first.
dist:
	@tools/install-deps --check-only --dist 2>/dev/null || tools/install-deps --dist
	cmake --preset release
	cmake --build build-release -j $(JOBS)
	[ -f build-windows/CMakeCache.txt ] || cmake --preset windows
	cmake --build build-windows -j $(JOBS) --target komorebi
	packaging/make-dist.sh build-release/komorebi build-windows/komorebi.exe

# Benchmarks on 127.0.0.1 (Komorebi beside nginx, durable posting, memory);
# writes bench/results.md.
bench: build
	@tools/install-deps --check-only --bench 2>/dev/null || tools/install-deps --bench
	bench/run.sh build/komorebi


# The fuzz targets (clang with libFuzzer, ASan and UBSan) for FUZZ_SECONDS in
# all, after replaying their seeds and regression inputs; see fuzz/run.sh.
FUZZ_SECONDS ?= 60
fuzz:
	@tools/install-deps --fuzz --check-only || tools/install-deps --fuzz
	FUZZ_BUILD=$(CURDIR)/build-fuzz JOBS=$(JOBS) fuzz/run.sh $(FUZZ_SECONDS)

clean:
	rm -rf build build-ci build-asan build-windows build-fuzz build-release dist
