# The two commands a new user needs: `make demo` and `make test`.
BUILD ?= build
JOBS ?= 2
# Tests at a time: they wait on their subprocesses and on real seconds about half the time, so
# twice as many tests as cores keep both cores busy.
TEST_JOBS ?= 4

.PHONY: all deps build test demo asan asan-build fuzz fuzz-build fuzz-long soak bench clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

# Seconds each fuzz target runs: FUZZ_SECONDS for `make fuzz`, CI_FUZZ_SECONDS within `make test`
# (four targets), FUZZ_LONG_SECONDS for `make fuzz-long`.
FUZZ_SECONDS ?= 60
CI_FUZZ_SECONDS ?= 5
FUZZ_LONG_SECONDS ?= 3600

# Any report of a sanitizer ends the program with status 99, which no test expects and CTest
# counts as a failure; LeakSanitizer looks for leaks at every exit, subprocesses included.
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:exitcode=99:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:exitcode=99

# The suite as built, then under the sanitizers, then a short run of every fuzz target.
test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(TEST_JOBS) -LE soak
	@$(MAKE) --no-print-directory asan
	@$(MAKE) --no-print-directory fuzz FUZZ_SECONDS=$(CI_FUZZ_SECONDS)

demo: build
	@scripts/demo $(BUILD)

# The whole suite under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer. Built
# without optimisation: on two cores that compiles a minute faster than -O1 costs in test time.
asan-build: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DEPDSHOW_SANITIZE=ON >/dev/null
	@cmake --build build-asan -j$(JOBS)

# The real-libusb comparison, the package's checks, the status page in a browser and the metrics
# file read by promtool run in the plain build only: the first plays the same program code as the
# simulated bus (which runs here), the others check files and a page.
asan: asan-build
	@cd build-asan && $(SANITIZER_ENV) ctest --output-on-failure -j$(TEST_JOBS) -LE 'soak|umockdev|package|browser|promtool'

# libFuzzer targets (clang), built in build-fuzz with the sanitizers; fuzz/run runs each one for
# FUZZ_SECONDS seconds on its corpus and stops at the first finding. The picture target's seeds are
# written by the build.
fuzz-build: deps
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-g -O1" -DEPDSHOW_SANITIZE=ON -DEPDSHOW_FUZZ=ON -DEPDSHOW_TESTS=OFF -DEPDSHOW_BENCH=OFF >/dev/null
	@cmake --build build-fuzz -j$(JOBS) --target fuzz_all

fuzz: fuzz-build
	@fuzz/run $(FUZZ_SECONDS)

# A campaign, not part of `make test`: every target for FUZZ_LONG_SECONDS, one after the other at
# a low priority, going on past findings; a line each of executions, coverage and findings. The
# inputs of the findings are in build-fuzz/findings/TARGET.
fuzz-long: fuzz-build
	@nice -n 10 fuzz/run --long $(FUZZ_LONG_SECONDS)

# A thousand pictures on the virtual panel (about two minutes each): resident memory and timing
# in the plain build, leaks in the sanitizer build. Then, in the plain build, a month of the show
# on the virtual clock (one to four minutes; it would take seven under the sanitizers, and a leak
# of its paths shows there too, as memory that grows). The short form is part of `make test`.
SOAK_SUMMARY = grep -E '^[0-9]+: (soak:|month:|.*Failure)|tests passed|tests failed|Total Test' soak.log

soak: build asan-build
	@cd $(BUILD) && { ctest -L soak -V >soak.log 2>&1; status=$$?; $(SOAK_SUMMARY); exit $$status; }
	@cd build-asan && { $(SANITIZER_ENV) ctest -L soak -E Soak.Month -V >soak.log 2>&1; status=$$?; $(SOAK_SUMMARY); exit $$status; }

# The benchmarks, built for speed in build-perf: the image path against its floor, the upload
# through the virtual controllers, and the memory of one image. docs/performance.md explains them.
bench: deps
	@cmake -S . -B build-perf -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-perf -j$(JOBS) --target epdshow_bench
	@build-perf/bench/epdshow_bench

clean:
	rm -rf $(BUILD) build-asan build-fuzz build-perf build-deb

# The Debian package, in build-deb: sudo apt install ./build-deb/epdshow_*.deb
.PHONY: deb
deb: deps
	@cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DEPDSHOW_TESTS=OFF -DEPDSHOW_BENCH=OFF >/dev/null
	@cmake --build build-deb -j$(JOBS)
	@cd build-deb && cpack -G DEB
