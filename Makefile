# The two commands of a fresh Debian machine: `make demo` and `make test`.
.PHONY: all demo test soak release test-build fuzz fuzz-smoke bench deps windows windows-deps windows-tests windows-check install-check linux32 clean

all: release

deps:
	@scripts/install-deps

release:
	@cmake --preset release >/dev/null
	@cmake --build build/release

demo: deps release
	@scripts/demo build/release/pxv

# -U: a build folder configured before a test folder was added keeps its old list otherwise.
test-build: deps
	@cmake --preset test -UPXV_TEST_LABELS >/dev/null
	@cmake --build build/test

test: test-build
	@cd build/test && ctest --output-on-failure -j2
	@$(MAKE) --no-print-directory fuzz-smoke

# The differential test for MINUTES minutes: rounds of 2000 random images with the seeds SEED,
# SEED + 1, ... (a failure names its seed and image; MINUTES=0 runs that one round again).
# Failing files are kept in build/soak-failures.
SOAK_SEED := $(or $(SEED),$(shell date +%s))
MINUTES ?= 60
soak: deps
	@cmake --preset test -UPXV_TEST_LABELS >/dev/null
	@cmake --build build/test --target test_diff
	@echo "soak: seed $(SOAK_SEED), $(MINUTES) minutes"
	@PXV_DIFF_SEED=$(SOAK_SEED) PXV_DIFF_MINUTES=$(MINUTES) PXV_DIFF_KEEP=$(CURDIR)/build/soak-failures \
	  build/test/tests/test_diff --gtest_brief=1

fuzz:
	@cmake --preset fuzz >/dev/null
	@cmake --build build/fuzz

# A short run of every fuzz target on its seeds: a crash fails the test command.
fuzz-smoke: fuzz
	@scripts/fuzz-smoke build/fuzz/fuzz

bench: deps release
	@bench/run build/release

# The release build installed into a scratch prefix, and the README's host built against it.
install-check: deps
	@scripts/install-check

# The library and its unit tests as 32-bit programs: size arithmetic that overflows only where
# size_t is 32 bits shows here.
linux32:
	@PXV_WITH_M32=1 scripts/install-deps
	@cmake --preset linux32 >/dev/null
	@cmake --build build/linux32
	@cd build/linux32 && ctest --output-on-failure -j2

windows-deps:
	@scripts/install-windows-deps

# pxvlib10.dll for 32-bit Windows, its import library pxvlib10.lib, pxv.exe and example.exe.
windows: windows-deps
	@cmake --preset mingw32 >/dev/null
	@cmake --build build/mingw32

# The same sources and the unit tests for 64-bit Windows, which Wine runs.
windows-tests: windows-deps
	@cmake --preset mingw64 >/dev/null
	@cmake --build build/mingw64

# The DLL's export table, the unit tests under Wine, the host example under Wine.
windows-check: windows windows-tests
	@scripts/windows-check

clean:
	rm -rf build
