# Thin wrapper over CMake for newcomers: `make demo`, `make test`.
BUILD ?= build
# No "Entering/Leaving directory" lines from the nested makes of the build.
MAKEFLAGS += --no-print-directory
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

# Installing and packaging. `make install` copies what `make` built (it
# compiles nothing): the programs into $(PREFIX)/bin, the manual pages into
# $(PREFIX)/share/man/man1, under $(DESTDIR) when that is set.
# `make package` builds, then writes $(BUILD)/tonecast_<version>_<arch>.deb
# and, through `make windows` (scripts/package-win), tonecast_<version>_win64.zip;
# only without the cross compiler (and not root to install it) is the zip skipped.
PREFIX ?= /usr/local
.PHONY: install package
install:
	@test -f $(BUILD)/cmake_install.cmake -a -x $(BUILD)/bin/tonecast || \
	  { echo "install: nothing built in $(BUILD); run 'make' first" >&2; exit 1; }
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

package: build
	@cd $(BUILD) && cpack -G DEB
	@./scripts/package-win $(BUILD)

# The programs inside a QEMU guest on the kernel's 8250 UART, FTDI
# USB-serial and CDC-ACM drivers, against the simulated unit (tests/vm/;
# installs qemu-system-x86, busybox-static and cpio when run as root).
# VM_ARGS="REGEX" runs only the matching scenarios.
.PHONY: vm-test
vm-test: deps
	@BUILD=$(BUILD) tests/vm/run $(if $(VM_ARGS),"$(VM_ARGS)")

# Windows: tonecast.exe, linepoke.exe and vpimage.exe cross-built with
# mingw-w64 into $(WIN_BUILD)/bin, and the Windows programs tested under Wine
# against the simulated unit (label "wine"; the Linux build drives them).
WIN_BUILD ?= build-win
.PHONY: windows wine-test
windows:
	@./scripts/ensure-deps windows
	@cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(WIN_BUILD) -j $(JOBS)

wine-test: windows deps
	@./scripts/ensure-deps wine
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTONECAST_WINDOWS_BIN=$(abspath $(WIN_BUILD))/bin >/dev/null
	@cmake --build $(BUILD) -j $(JOBS) --target wine_e2e_test tonecast vpimage unitsim
	@ctest --test-dir $(BUILD) --output-on-failure -L wine $(CTEST_ARGS)
