# Thin front end over CMake: `make demo` builds and runs the main job on the
# bundled sample, `make test` builds and runs every test (normal and
# sanitizer builds).
BUILD ?= build
ASAN_BUILD ?= build-asan
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all setup build demo test test-normal test-asan bench fuzz fuzz-smoke fuzz-long clean

all: build

setup:
	@scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	@scripts/demo.sh $(BUILD)

test-normal: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: setup
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DROMSMITH_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS)

test: test-normal test-asan

bench: build
	@bench/run.sh $(BUILD)

# Every harness for FUZZ_SECS seconds (default 60) on its seed corpus.
FUZZ_SECS ?= 60
fuzz: build
	@scripts/setup.sh --fuzz
	@ROMSMITH_FUZZ_JOBS=$(JOBS) scripts/fuzz.sh $(FUZZ_SECS)

# What CI runs after the tests: every harness for 30 seconds.
fuzz-smoke:
	@$(MAKE) --no-print-directory fuzz FUZZ_SECS=30

# A long seeded mutation campaign through the program (not in CI): 100000
# mutants by default; MUTATE_FLAGS passes more, e.g. --seed 7 --count 5000
# or --build build-asan.
MUTATE_FLAGS ?=
fuzz-long: build
	@scripts/mutate.sh --build $(BUILD) -j $(JOBS) $(MUTATE_FLAGS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
