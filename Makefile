# Thin wrapper over CMake.
#   make demo   installs what is missing, builds, runs the examples
#   make check  installs what is missing, builds with -Werror, runs every
#               test and uses the installed library as its users do
JOBS    ?= $(shell nproc)
BUILD   ?= build
WERROR  ?= OFF
# Debian's multiarch library folder (two levels) for the staged install.
MULTIARCH := $(shell $(CXX) -print-multiarch 2>/dev/null)
LIBDIR  ?= lib$(if $(MULTIARCH),/$(MULTIARCH))
ASAN    := $(BUILD)/asan
RELEASE := $(BUILD)/release
STAGE   := $(abspath $(BUILD)/stage)
CONSUMER:= $(BUILD)/consumer

.PHONY: all deps release asan demo check test consumer install-check fuzz clean

all: release

deps:
	@bash scripts/install-deps.sh

release: deps
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=OFF -DVORN_WERROR=$(WERROR) \
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

test: asan
	bash scripts/run-tests.sh $(ASAN) $(JOBS)

check: WERROR := ON
check: consumer install-check test

# Coverage-guided fuzzing with libFuzzer (needs clang): each target FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz: deps
	bash scripts/run-fuzzers.sh $(BUILD)/fuzz $(FUZZ_SECONDS) $(JOBS)

clean:
	rm -rf $(BUILD)
