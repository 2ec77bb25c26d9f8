# Thin wrapper over CMake.
#   make demo   installs what is missing, builds, runs the examples
#   make check  installs what is missing, builds, runs every test
JOBS    ?= $(shell nproc)
BUILD   ?= build
ASAN    := $(BUILD)/asan
RELEASE := $(BUILD)/release
STAGE   := $(abspath $(BUILD)/stage)
CONSUMER:= $(BUILD)/consumer

.PHONY: all deps release asan demo check test consumer fuzz clean

all: release

deps:
	@bash scripts/install-deps.sh

release: deps
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DVORN_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=$(STAGE)
	cmake --build $(RELEASE) -j $(JOBS)

asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DVORN_SANITIZE=ON -DVORN_BUILD_BENCH=OFF -DVORN_BUILD_EXAMPLES=OFF
	cmake --build $(ASAN) -j $(JOBS)

# The examples once more, against the installed CMake package.
consumer: release
	cmake --install $(RELEASE) > /dev/null
	cmake -S examples -B $(CONSUMER) -DCMAKE_PREFIX_PATH=$(STAGE)
	cmake --build $(CONSUMER) -j $(JOBS)

demo: release
	@bash scripts/run-demos.sh $(RELEASE)/examples

test: asan
	bash scripts/run-tests.sh $(ASAN) $(JOBS)

check: consumer test

# Coverage-guided fuzzing with libFuzzer (needs clang): each target FUZZ_SECONDS.
FUZZ_SECONDS ?= 60
fuzz: deps
	bash scripts/run-fuzzers.sh $(BUILD)/fuzz $(FUZZ_SECONDS) $(JOBS)

clean:
	rm -rf $(BUILD)
