# Entry points: `make demo` (set up, build, enhance a generated recording)
# and `make test` (set up, build, run every test, then again under ASan/UBSan).
JOBS ?= 2
BUILD ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan

.PHONY: deps build demo test test-release test-asan test-tsan bench clean windows test-windows fuzz-build test-fuzz fuzz

deps:
	@./scripts/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

demo: build
	@./scripts/demo.sh $(BUILD)

test: test-release test-asan test-tsan test-fuzz

test-release: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DAE_SANITIZE=ON >/dev/null
	@cmake --build $(ASAN_BUILD) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS)

# ThreadSanitizer over the tests labelled "tsan" (the suites that run threads
# inside one call, and the Python tests), building only what they need; the
# build log is shown only when the build fails. The run is pinned to one
# processor: FFmpeg sizes its slice-thread pool by the affinity mask and so
# starts none (its atomics are invisible to TSan), while the library counts
# the online processors and still runs all of its own threads.
test-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DAE_TSAN=ON >/dev/null
	@cmake --build $(TSAN_BUILD) -j$(JOBS) --target audioenhancer threads_test batch_test enhance_test \
	  >$(TSAN_BUILD)/build.log 2>&1 || { cat $(TSAN_BUILD)/build.log; exit 1; }
	@cpu=$$(taskset -pc $$$$ | sed 's/.*: *//; s/[-,].*//') && \
	  TSAN_OPTIONS=halt_on_error=1:suppressions=$(CURDIR)/tests/tsan.supp \
	  taskset -c $$cpu ctest --test-dir $(TSAN_BUILD) -L tsan --output-on-failure -j$(JOBS)

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
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(WIN_BUILD) demo
