# Wraps CMake. `make run` builds and starts the program; `make test` builds and runs every test,
# then again under AddressSanitizer and UndefinedBehaviorSanitizer. Each target first installs the Debian
# packages it needs that are missing, by group (scripts/install-deps.sh): build and run only what the window
# and the companion take, the tests what they add, bench, fuzz and package theirs.

BUILD_DIR    ?= build
SAN_DIR      ?= build-sanitize
BENCH_DIR    ?= build-bench
FUZZ_DIR     ?= build-fuzz
PKG_DIR      ?= build-package
JOBS         ?= $(shell nproc)
FUZZ_SECONDS ?= 30
# CI turns warnings into errors.
WERROR       ?= $(if $(CI),ON,OFF)

# ccache, where installed, shares objects between build folders and work trees.
CCACHE       := $(shell command -v ccache 2>/dev/null)
# Paths below the checkout count relative, so that another clone of it reuses the same objects.
export CCACHE_BASEDIR ?= $(CURDIR)
CMAKE_COMMON = -G Ninja -DVELTRANO_WERROR=$(WERROR) $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

# The package groups a target needs; a target's value holds for everything it builds first.
DEPS_GROUPS  = run
test test-only check-sanitize: DEPS_GROUPS = run test
bench: DEPS_GROUPS = run bench
fuzz: DEPS_GROUPS = run fuzz
package: DEPS_GROUPS = run package
# A build for `make run` has no GoogleTest to find: its tests are configured in once the test group is there.
TESTS        = $(shell test -f /usr/include/gtest/gtest.h && echo ON || echo OFF)

.PHONY: all deps build run test test-only check-sanitize bench fuzz package screenshot format clean

all: build

deps:
	@./scripts/install-deps.sh $(DEPS_GROUPS)

$(BUILD_DIR)/build.ninja: | deps
	cmake -S . -B $(BUILD_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTRANO_TESTS=$(TESTS)

build: deps $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	./$(BUILD_DIR)/ui/veltrano

test-only: build
	@./scripts/install-deps.sh run test
	grep -q '^VELTRANO_TESTS:BOOL=ON' $(BUILD_DIR)/CMakeCache.txt || cmake -S . -B $(BUILD_DIR) -DVELTRANO_TESTS=ON
	cmake --build $(BUILD_DIR) -j $(JOBS)
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

test: test-only check-sanitize

$(SAN_DIR)/build.ninja: | deps
	cmake -S . -B $(SAN_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Debug -DVELTRANO_SANITIZE=ON

check-sanitize: deps $(SAN_DIR)/build.ninja
	@./scripts/install-deps.sh run test
	cmake --build $(SAN_DIR) -j $(JOBS)
	cd $(SAN_DIR) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j $(JOBS)

$(BENCH_DIR)/build.ninja: | deps
	cmake -S . -B $(BENCH_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DVELTRANO_TESTS=OFF \
		-DVELTRANO_BENCH=ON

bench: deps $(BENCH_DIR)/build.ninja
	cmake --build $(BENCH_DIR) -j $(JOBS)
	./scripts/run-benches.sh $(BENCH_DIR)

$(FUZZ_DIR)/build.ninja: | deps
	CXX=clang++ cmake -S . -B $(FUZZ_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DVELTRANO_TESTS=OFF -DVELTRANO_FUZZ=ON

fuzz: deps $(FUZZ_DIR)/build.ninja
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	./scripts/run-fuzzers.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

# Debian's hardening flags (fortified functions, stack protector, full RELRO, bind-now), as lintian wants.
DEB_FLAGS    = DEB_BUILD_MAINT_OPTIONS=hardening=+all
$(PKG_DIR)/build.ninja: | deps
	CXXFLAGS="$$($(DEB_FLAGS) dpkg-buildflags --get CPPFLAGS) $$($(DEB_FLAGS) dpkg-buildflags --get CXXFLAGS)" \
	LDFLAGS="$$($(DEB_FLAGS) dpkg-buildflags --get LDFLAGS)" \
	cmake -S . -B $(PKG_DIR) $(CMAKE_COMMON) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
		-DVELTRANO_TESTS=OFF

# The .debs for Debian 12 in $(PKG_DIR), veltrano and python3-veltrano (pybuild):
# sudo apt install ./$(PKG_DIR)/veltrano_*.deb ./$(PKG_DIR)/python3-veltrano_*.deb
package: deps $(PKG_DIR)/build.ninja
	cmake --build $(PKG_DIR) -j $(JOBS)
	cd $(PKG_DIR) && cpack
	./scripts/build-python-package.sh $(PKG_DIR)

screenshot: build
	QT_QPA_PLATFORM=offscreen ./$(BUILD_DIR)/ui/veltrano-screenshot docs/screenshot.png

format:
	@./scripts/install-deps.sh tools
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD_DIR) $(SAN_DIR) $(BENCH_DIR) $(FUZZ_DIR) $(PKG_DIR)
