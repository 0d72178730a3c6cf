# The two commands a new user needs: `make demo` and `make check`.
# `make fuzz` builds the fuzz targets with clang and runs each for
# FUZZ_SECONDS (default 60).
MAKEFLAGS += --no-print-directory
JOBS   ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_BUILD_TYPE=RelWithDebInfo
FUZZ_SECONDS ?= 60
FUZZ_CHECK_SECONDS ?= 20
FUZZ_CHECK_TARGETS ?= info_request

.PHONY: all deps configure build build-asan build-tsan configure-fuzz build-fuzz check-fuzz check check-plain check-asan check-tsan demo bench fuzz clean

all: build

deps:
	@scripts/install-deps

# What `make demo` runs, and nothing else: a new user waits for these only.
DEMO_TARGETS ?= ferry fake_local_server fake_node record_reader info_ask

configure: deps
	cmake -S . -B build $(CMAKE_FLAGS) -DFERRY_SANITIZE= >/dev/null

build: configure
	cmake --build build -j $(JOBS)

build-asan: deps
	cmake -S . -B build-asan $(CMAKE_FLAGS) -DFERRY_SANITIZE=address,undefined >/dev/null
	cmake --build build-asan -j $(JOBS)

build-tsan: deps
	cmake -S . -B build-tsan $(CMAKE_FLAGS) -DFERRY_SANITIZE=thread >/dev/null
	cmake --build build-tsan -j $(JOBS)

check-plain: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

check-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

check-tsan: build-tsan
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -L threads

check: check-plain check-tsan check-asan check-fuzz

demo: configure
	cmake --build build -j $(JOBS) --target $(DEMO_TARGETS)
	@scripts/demo

bench: build
	@scripts/bench

# Its own build folder: every library instrumented for libFuzzer, only the
# fuzz targets built.
configure-fuzz:
	@scripts/install-deps fuzz
	cmake -S . -B build-fuzz $(CMAKE_FLAGS) -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
	  -DFERRY_SANITIZE=address,undefined -DFERRY_FUZZ=ON >/dev/null

build-fuzz: configure-fuzz
	cmake --build build-fuzz -j $(JOBS) --target fuzz_targets

# Every check also fuzzes the parsers that face the network for a short,
# bounded time; `make fuzz` runs every target for longer.
check-fuzz: configure-fuzz
	cmake --build build-fuzz -j $(JOBS) --target $(addsuffix _fuzz,$(FUZZ_CHECK_TARGETS))
	@FUZZ_SECONDS=$(FUZZ_CHECK_SECONDS) FUZZ_ONLY="$(FUZZ_CHECK_TARGETS)" fuzz/run-fuzz build-fuzz

fuzz: build-fuzz
	@FUZZ_SECONDS=$(FUZZ_SECONDS) fuzz/run-fuzz build-fuzz

clean:
	rm -rf build build-asan build-tsan build-fuzz
