# A thin front over CMake. `make demo` and `make test` are all a new machine needs.
BUILD_DIR ?= build
ASAN_DIR ?= build-asan
JOBS ?= $(shell nproc)

BUILD_PACKAGES := g++ make cmake libgtest-dev libgmock-dev libcurl4-openssl-dev libssl-dev zlib1g-dev \
  libdeflate-dev scdoc dpkg-dev patch binutils unzip zip python3
PACKAGE_PACKAGES := $(BUILD_PACKAGES) file
TEST_PACKAGES := $(PACKAGE_PACKAGES) clang-format git minisign openssl nginx-light clang libclang-rt-14-dev util-linux \
  man-db debootstrap strace
BENCH_PACKAGES := $(TEST_PACKAGES) curl valgrind
CHECK_PACKAGES := $(BUILD_PACKAGES) clang-format git minisign man-db util-linux

# `make check`: the quick part of `make test`, on build/ only: the unit and lint tests and the
# end-to-end groups that need no root, are not slow and build no package or older root.
CHECK_LABELS := ^(unit|lint|e2e|hardening|setup-pack|install)$$
CHECK_EXCLUDED_LABELS := ^(root|slow|package|older-system)$$

# No "Entering/Leaving directory" lines from this make's own recursion or from the makes that
# cmake --build starts (they find the flag in MAKEFLAGS).
MAKEFLAGS += --no-print-directory

.PHONY: all build asan demo test check bench package format clean

all: build

build:
	@cmake/ensure-packages.sh $(BUILD_PACKAGES)
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD_DIR) -j $(JOBS)

asan:
	@cmake/ensure-packages.sh $(BUILD_PACKAGES) clang libclang-rt-14-dev
	cmake -S . -B $(ASAN_DIR) -DCMAKE_BUILD_TYPE=Debug -DSETUP_SANITIZE=ON -DSETUP_FUZZ=ON -DSETUP_SYSTEM_LIBCURL=ON -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(ASAN_DIR) -j $(JOBS)

demo: build
	@cmake/ensure-packages.sh minisign
	demo/run-demo.sh $(BUILD_DIR)

test:
	@cmake/ensure-packages.sh $(TEST_PACKAGES)
	$(MAKE) build asan
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)
	ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS) -LE no-sanitizer

check:
	@cmake/ensure-packages.sh $(CHECK_PACKAGES)
	$(MAKE) build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS) -L '$(CHECK_LABELS)' -LE '$(CHECK_EXCLUDED_LABELS)'

bench: build
	@cmake/ensure-packages.sh $(BENCH_PACKAGES)
	bench/run-bench.sh $(BUILD_DIR)

package: build
	@cmake/ensure-packages.sh $(PACKAGE_PACKAGES)
	cd $(BUILD_DIR) && cpack -G DEB

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD_DIR) $(ASAN_DIR)
