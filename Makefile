# The two Quick start commands are `make run` and `make test`; both set up, build and run.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all setup configure build run test bench clean

all: build

setup:
	scripts/install-deps.sh

configure: setup
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The demonstration needs the two programs (and the backend they load), not the tests.
run: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target vantory vantory-mcp
	apps/demo.sh $(BUILD_DIR)/bin

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(JOBS)

bench: build
	bench/run_all.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
