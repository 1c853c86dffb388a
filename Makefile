# Thin wrapper: install dependencies, configure, build, run. The build logic
# lives in CMake.
BUILD      ?= build
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=
CTEST_ARGS ?=

.PHONY: all deps configure build test demo bench bench-net sanitize sanitize-address sanitize-thread fuzz mutate install uninstall clean

all: build

deps:
	scripts/install-deps

configure:
	cmake -S . -B $(BUILD) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Installs what is missing, builds, runs every test through CTest.
test: deps build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

# The main job: a whole session on this machine.
demo: deps build
	$(BUILD)/bin/kosession-demo

# End-to-end figures of the whole session system (BENCH_ARGS, e.g. --quick or
# --scenario relay --json bench.json); see kosession-bench --help.
BENCH_ARGS ?=
bench: deps build
	scripts/install-deps --bench
	$(BUILD)/bin/kosession-bench $(BENCH_ARGS)

# The link's transfer rate with and without the cipher.
bench-net: deps build
	$(BUILD)/bin/kosession-netbench

# AddressSanitizer with UndefinedBehaviorSanitizer on every test, then
# ThreadSanitizer on the tests that run threads, with the lock order checked.
sanitize: sanitize-address sanitize-thread

sanitize-address: deps
	$(MAKE) build BUILD=build-asan CMAKE_ARGS="-DKOSESSION_SANITIZE=address,undefined -DKOSESSION_BUILD_BENCH=OFF"
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS) -LE slow $(CTEST_ARGS)

sanitize-thread: deps
	$(MAKE) build BUILD=build-tsan CMAKE_ARGS="-DKOSESSION_SANITIZE=thread -DKOSESSION_CHECK_LOCK_ORDER=ON -DKOSESSION_BUILD_BENCH=OFF"
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
		ctest --output-on-failure -j $(JOBS) -L threaded -LE slow $(CTEST_ARGS)

# libFuzzer (clang) with AddressSanitizer and UndefinedBehaviorSanitizer:
# every fuzz target for FUZZ_SECONDS, one after another, from its seeds.
FUZZ_SECONDS ?= 30
fuzz: deps
	$(MAKE) configure BUILD=build-fuzz-clang CMAKE_ARGS="-DCMAKE_CXX_COMPILER=clang++ -DKOSESSION_FUZZ=ON \
		-DKOSESSION_SANITIZE=fuzzer-no-link,address,undefined -DKOSESSION_BUILD_BENCH=OFF -DKOSESSION_BUILD_TOOLS=OFF"
	cmake --build build-fuzz-clang -j $(JOBS) --target kosession-fuzzers
	tests/fuzz/run-fuzzers build-fuzz-clang $(FUZZ_SECONDS)

# Plants known faults one at a time in a copy of the tree and reports which
# ones the fast tests catch (MUTATE_ARGS, e.g. --only cipher --keep-build
# build-mutate); see scripts/mutate --help. Not part of CI.
MUTATE_ARGS ?=
mutate:
	scripts/mutate --jobs $(JOBS) $(MUTATE_ARGS)

install: build
	cmake --install $(BUILD) --prefix $(or $(PREFIX),/usr/local)

# Removes what the last install from $(BUILD) wrote ($(BUILD)/install_manifest.txt).
uninstall:
	cmake -DMANIFEST=$(BUILD)/install_manifest.txt -P cmake/koUninstall.cmake

clean:
	rm -rf build build-asan build-tsan
