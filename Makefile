# A thin front to CMake. `make` builds build/komorebi; `make test` runs every suite.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test test-asan test-ci windows bench deps clean

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

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

test-ci:
	cmake --preset ci
	cmake --build build-ci -j $(JOBS)
	ctest --test-dir build-ci --output-on-failure -j $(JOBS)

test-asan:
	cmake --preset asan
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

windows:
	@tools/install-deps --windows
	cmake --preset windows
	cmake --build build-windows -j $(JOBS)

clean:
	rm -rf build build-ci build-asan build-windows
