# Thin wrapper over CMake.  `make` builds the program and the shim objects;
# `make check` builds everything with warnings as errors and runs every test,
# again under AddressSanitizer and UndefinedBehaviorSanitizer, and runs each
# fuzz target briefly.
PREFIX ?= /usr/local
DESTDIR ?=
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 20

BUILD := build
ASAN_BUILD := build-asan
FUZZ_BUILD := build-fuzz
# The benchmark's optimized build stays apart, so that it never changes the
# build type or the warning settings cached for `make check`.
BENCH_BUILD := build-bench

.PHONY: all deps check-deps bench-deps configure test asan fuzz check bench install clean

all: deps
	cmake -S . -B $(BUILD) -DTUVO_WERROR=OFF
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@scripts/install-deps build || echo "make: some build dependencies are missing; building what can be built"

check-deps:
	scripts/install-deps check

bench-deps:
	scripts/install-deps bench

check: check-deps
	cmake -S . -B $(BUILD) -DTUVO_WERROR=ON
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) asan fuzz

asan: check-deps
	cmake -S . -B $(ASAN_BUILD) -DTUVO_WERROR=ON -DTUVO_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

fuzz: check-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DTUVO_FUZZ=ON -DTUVO_TESTS=OFF -DTUVO_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(FUZZ_BUILD) -j $(JOBS)
	scripts/run-fuzzers $(FUZZ_BUILD)/fuzz $(FUZZ_SECONDS)

bench: bench-deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release -DTUVO_WERROR=OFF -DTUVO_TESTS=OFF
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	scripts/run-bench $(BENCH_BUILD)

install: all
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(BENCH_BUILD)
