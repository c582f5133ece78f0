# Entry points: `make demo` (set up, build, enhance a generated recording)
# and `make test` (set up, build, run every test, then again under ASan/UBSan).
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan

.PHONY: deps build demo test test-release test-asan bench clean windows test-windows fuzz-build test-fuzz fuzz

deps:
	@./scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

demo: build
	@./scripts/demo.sh $(BUILD)

test: test-release test-asan test-fuzz

test-release: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DAE_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

# libFuzzer targets (clang, ASan/UBSan): a bounded run in `make test`,
# FUZZ_SECONDS per target with `make fuzz`; the corpus grows in $(FUZZ_BUILD)/fuzz.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 300
fuzz-build: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DAE_SANITIZE=ON -DAE_FUZZ=ON -DAE_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j$(JOBS) --target fuzz_options fuzz_probe fuzz_enhance

test-fuzz: fuzz-build
	ctest --test-dir $(FUZZ_BUILD) --output-on-failure -j$(JOBS)

fuzz: fuzz-build
	sh tests/fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_BUILD)/fuzz seconds $(FUZZ_SECONDS) options probe enhance

# The Windows DLL, cross-built with mingw-w64 against dependencies
# cross-built from Debian's sources (cached outside the tree), and its tests
# under Wine, which compare its answers with the Linux build's.
WIN_BUILD ?= build-win64
windows: deps
	@prefix=$$(./scripts/cross-deps-win64.sh) && \
	  cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
	    -DAE_WIN64_PREFIX=$$prefix -DAE_LINUX_BUILD=$(CURDIR)/$(BUILD) \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(WIN_BUILD) -j$(JOBS)

test-windows: build windows
	ctest --test-dir $(WIN_BUILD) --output-on-failure -j$(JOBS)

bench: build
	@./scripts/bench.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(WIN_BUILD) demo
