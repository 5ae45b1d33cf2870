# The two Quick start commands are `make run` and `make test`; both set up, build and run.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
# ccache (see CMakeLists.txt) shares its cache between clones and build directories: paths are
# hashed relative to the clone, and the build directory's own path is left out of the hash.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := 1
export CCACHE_MAXSIZE ?= 25G

.PHONY: all setup configure build run test bench clean asan tsan fuzz locks armhf

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
	rm -rf $(BUILD_DIR) build-asan build-tsan build-fuzz build-locks build-armhf

# The whole test suite built with AddressSanitizer and UndefinedBehaviorSanitizer; the first
# finding fails its test.
ASAN_DIR ?= build-asan
asan: setup
	cmake -S . -B $(ASAN_DIR) -G Ninja -DVANTORY_SANITIZE=address,undefined \
	  -DVANTORY_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(ASAN_DIR) -j $(JOBS)
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:strict_string_checks=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	  ctest --test-dir $(ASAN_DIR) --output-on-failure -j $(JOBS)

# The tests that run threads (embed_batch, the process-wide client, processes sharing one
# database, the thread that copies the write-ahead log, the indexing pipeline's workers and
# the chunk cache they share, the reliability tests) built with ThreadSanitizer.
TSAN_DIR ?= build-tsan
TSAN_TARGETS ?= embedding_tests backend_store_tests backend_tarnel_tests ambrel_tests \
  reliability_tests
TSAN_TESTS ?= EmbedOperations|LogCopier|ProcessClientTest|GradioProtocol|HttpErrorsTest|TwoProcesses|ConcurrentAdds|CrashConsistency|ConcurrentLoad|CachedChunking|TarnelBackendTest.IndexFiles
tsan: setup
	cmake -S . -B $(TSAN_DIR) -G Ninja -DVANTORY_SANITIZE=thread \
	  -DVANTORY_BUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build $(TSAN_DIR) -j $(JOBS) --target $(TSAN_TARGETS)
	TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/tsan.supp \
	  ctest --test-dir $(TSAN_DIR) --output-on-failure -j $(JOBS) \
	  -R '$(TSAN_TESTS)'

# Every libFuzzer target of tests/fuzz for FUZZ_SECONDS each (clang-14).
FUZZ_DIR ?= build-fuzz
FUZZ_SECONDS ?= 60
fuzz: setup
	JOBS=$(JOBS) CMAKE_FLAGS="$(CMAKE_FLAGS)" scripts/fuzz.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

# Clang's thread-safety analysis (-Wthread-safety) over every library and program source:
# parsed and checked, not compiled.
LOCKS_DIR ?= build-locks
locks: setup
	JOBS=$(JOBS) CMAKE_FLAGS="$(CMAKE_FLAGS)" scripts/check-locks.sh $(LOCKS_DIR)

# Cross-builds for 32-bit ARM (armhf) and runs the test suite under qemu-user.
armhf:
	scripts/cross-armhf.sh
