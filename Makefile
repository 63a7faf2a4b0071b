# Thin wrapper over CMake for newcomers: `make demo`, `make test`.
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build test demo clean deps bench

all: build

deps:
	@./scripts/ensure-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# CTEST_ARGS passes further options, e.g. CTEST_ARGS="-LE slow" to leave out the
# two tests that wait out the 60 s and 30 s reply timers.
test: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) $(CTEST_ARGS)

demo: build
	@./scripts/demo $(BUILD)/bin

clean:
	rm -rf $(BUILD)

# Figures for the downloader and the terminal: a release build without tests,
# optimised as the programs' normal build is (-O2); BENCH_ARGS="--quick"
# skips the 82 s paced run of the 16 Mbit image.
BENCH_BUILD ?= build-bench
bench: deps
	@cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DBUILD_TESTING=OFF >/dev/null
	@cmake --build $(BENCH_BUILD) -j $(JOBS) --target tonecast_bench
	@$(BENCH_BUILD)/bin/tonecast_bench $(BENCH_ARGS)

# Both programs inside a QEMU guest on the kernel's 8250 UART and FTDI
# USB-serial drivers, against the simulated unit (tests/vm/, a few minutes;
# installs qemu-system-x86, busybox-static and cpio when run as root).
# VM_ARGS="REGEX" runs only the matching scenarios.
.PHONY: vm-test
vm-test: deps
	@BUILD=$(BUILD) tests/vm/run $(VM_ARGS)
