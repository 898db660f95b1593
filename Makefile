# The two commands a new user needs: `make demo` and `make test`.
BUILD ?= build
JOBS ?= 2

.PHONY: all deps build test demo asan bench clean

all: build

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

demo: build
	@scripts/demo $(BUILD)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
asan: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DEPDSHOW_SANITIZE=ON >/dev/null
	@cmake --build build-asan -j$(JOBS)
	@cd build-asan && ctest --output-on-failure -j$(JOBS)

# The benchmarks, built for speed in build-perf: the image path against its floor, the upload
# through the virtual controllers, and the memory of one image. docs/performance.md explains them.
bench: deps
	@cmake -S . -B build-perf -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build build-perf -j$(JOBS) --target epdshow_bench
	@build-perf/bench/epdshow_bench

clean:
	rm -rf $(BUILD) build-asan

# The Debian package, in build-deb: sudo apt install ./build-deb/epdshow_*.deb
.PHONY: deb
deb: deps
	@cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr -DEPDSHOW_TESTS=OFF -DEPDSHOW_BENCH=OFF >/dev/null
	@cmake --build build-deb -j$(JOBS)
	@cd build-deb && cpack -G DEB
