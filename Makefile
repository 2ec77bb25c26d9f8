# Thin wrapper over CMake.
#   make demo   installs what is missing, builds, runs the examples
#   make check  installs what is missing, builds with -Werror, runs every
#               test (sanitized and in the Release builds) and every example
#               (each within DEMO_SECONDS) and uses the installed library as
#               its users do
JOBS    ?= $(shell nproc)
BUILD   ?= build
WERROR  ?= OFF
# The Release trees build the tests too when a target runs them there.
RELEASE_TESTS ?= OFF
# Debian's multiarch library folder (two levels) for the staged install.
MULTIARCH := $(shell $(CXX) -print-multiarch 2>/dev/null)
LIBDIR  ?= lib$(if $(MULTIARCH),/$(MULTIARCH))
ASAN    := $(BUILD)/asan
RELEASE := $(BUILD)/release
STAGE   := $(abspath $(BUILD)/stage)
CONSUMER:= $(BUILD)/consumer
# The same for Qt 6 (the default build is Qt 5).
ASAN6   := $(BUILD)/asan6
RELEASE6:= $(BUILD)/release6
STAGE6  := $(abspath $(BUILD)/stage6)
CONSUMER6:= $(BUILD)/consumer6

.PHONY: all deps release asan demo demo-check check test test-release consumer install-check fuzz clean \
	release6 asan6 test6 test-release6 consumer6 install-check6 wire-check check6 demo-check6

all: release

deps:
	@bash scripts/install-deps.sh

release: deps
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=$(RELEASE_TESTS) -DVORN_WERROR=$(WERROR) \
	  -DCMAKE_INSTALL_PREFIX=$(STAGE) -DCMAKE_INSTALL_LIBDIR=$(LIBDIR)
	cmake --build $(RELEASE) -j $(JOBS)

asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=ON -DVORN_BUILD_BENCH=OFF -DVORN_BUILD_EXAMPLES=OFF \
	  -DVORN_WERROR=$(WERROR)
	cmake --build $(ASAN) -j $(JOBS)

# The examples once more, against the installed CMake package.
consumer: release
	cmake --install $(RELEASE) > /dev/null
	cmake -S examples -B $(CONSUMER) -DCMAKE_PREFIX_PATH=$(STAGE)
	cmake --build $(CONSUMER) -j $(JOBS)

# Every declaration of the installed headers is exported, and nothing else;
# the installed tree works moved, through CMake and pkg-config, and as a
# subproject.
install-check: release
	bash scripts/check-headers.sh
	bash scripts/check-install.sh $(RELEASE) $(BUILD)/install-check $(JOBS)

demo: release
	@bash scripts/run-demos.sh $(RELEASE)/examples

# The examples as CI runs them: one that stalls, fails or crashes fails.
DEMO_SECONDS ?= 10
demo-check: release
	bash scripts/run-demos.sh $(RELEASE)/examples $(DEMO_SECONDS)

test: asan
	bash scripts/run-tests.sh $(ASAN) $(JOBS)

# The suite once more without sanitizers, optimised and with NDEBUG.
test-release: RELEASE_TESTS := ON
test-release: release
	bash scripts/run-tests.sh $(RELEASE) $(JOBS)

check: WERROR := ON
check: RELEASE_TESTS := ON
check: consumer install-check demo-check test test-release check6

# Qt 6: the suite under the same sanitizers and in the Release build, the
# examples and the install checks against the installed package, and the
# frame bytes between the two builds.
release6: deps
	cmake -S . -B $(RELEASE6) -DVORN_QT_MAJOR=6 -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=$(RELEASE_TESTS) -DVORN_WERROR=$(WERROR) \
	  -DCMAKE_INSTALL_PREFIX=$(STAGE6) -DCMAKE_INSTALL_LIBDIR=$(LIBDIR)
	cmake --build $(RELEASE6) -j $(JOBS)

consumer6: release6
	cmake --install $(RELEASE6) > /dev/null
	cmake -S examples -B $(CONSUMER6) -DCMAKE_PREFIX_PATH=$(STAGE6)
	cmake --build $(CONSUMER6) -j $(JOBS)

asan6: deps
	cmake -S . -B $(ASAN6) -DVORN_QT_MAJOR=6 -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=ON -DVORN_BUILD_BENCH=OFF -DVORN_BUILD_EXAMPLES=OFF \
	  -DVORN_WERROR=$(WERROR)
	cmake --build $(ASAN6) -j $(JOBS)

demo-check6: release6
	bash scripts/run-demos.sh $(RELEASE6)/examples $(DEMO_SECONDS)

install-check6: release6
	bash scripts/check-install.sh $(RELEASE6) $(BUILD)/install-check6 $(JOBS)

test6: asan6
	bash scripts/run-tests.sh $(ASAN6) $(JOBS)

test-release6: RELEASE_TESTS := ON
test-release6: release6
	bash scripts/run-tests.sh $(RELEASE6) $(JOBS)

wire-check: asan asan6
	bash scripts/wire-cross-check.sh $(ASAN) $(ASAN6)

check6: RELEASE_TESTS := ON
check6: consumer6 install-check6 demo-check6 test6 test-release6 wire-check

# Coverage-guided fuzzing with libFuzzer (needs clang): each target FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz: deps
	bash scripts/run-fuzzers.sh $(BUILD)/fuzz $(FUZZ_SECONDS) $(JOBS)

clean:
	rm -rf $(BUILD)
