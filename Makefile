# The two commands of a fresh Debian machine: `make demo` and `make test`.
.PHONY: all demo test release test-build fuzz fuzz-smoke bench deps windows clean

all: release

deps:
	@scripts/install-deps

release:
	@cmake --preset release >/dev/null
	@cmake --build build/release

demo: deps release
	@scripts/demo build/release/pxv

test-build: deps
	@cmake --preset test >/dev/null
	@cmake --build build/test

test: test-build
	@cd build/test && ctest --output-on-failure -j2
	@$(MAKE) --no-print-directory fuzz-smoke

fuzz:
	@cmake --preset fuzz >/dev/null
	@cmake --build build/fuzz

# A short run of every fuzz target on its seeds: a crash fails the test command.
fuzz-smoke: fuzz
	@scripts/fuzz-smoke build/fuzz/fuzz

bench: deps release
	@bench/run build/release

windows:
	@cmake --preset mingw32 >/dev/null
	@cmake --build build/mingw32

clean:
	rm -rf build
