#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang-14 (AddressSanitizer and
# UndefinedBehaviorSanitizer on) and runs each for a bounded time, starting from its seed
# corpus tests/fuzz/<target>/. Inputs that grow coverage collect in <build>/corpus/<target>/;
# an input that crashes a target is kept in <build>/crashes/<target>/. Copy such an input
# into tests/fuzz/<target>/ once the fault is fixed: the corpus replay test of the ordinary
# test suite then guards it.
#
# Usage: scripts/fuzz.sh [build-dir] [seconds-per-target] [target...]
# Environment: JOBS (parallel build jobs), CMAKE_FLAGS (extra configure arguments), FUZZ_SEED
# (libFuzzer's random seed; unset, each run draws one). A fixed seed helps to repeat a failure
# but does not fix the inputs tried: which inputs are kept and mutated depends on timing too.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-fuzz}
seconds=${2:-60}
shift $(( $# < 2 ? $# : 2 ))
if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for source in tests/fuzz/*_fuzz.cc; do
    name=$(basename "$source" _fuzz.cc)
    targets+=("$name")
  done
fi

CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVANTORY_FUZZ=ON -DVANTORY_SANITIZE=address,undefined -DVANTORY_BUILD_TESTS=OFF \
  -DVANTORY_BUILD_BENCH=OFF ${CMAKE_FLAGS:-} >/dev/null
cmake --build "$build" -j "${JOBS:-$(nproc)}" --target fuzz_targets

export ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
failed=()
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  crashes="$build/crashes/$target"
  mkdir -p "$corpus" "$crashes"
  log="$build/fuzz-$target.log"
  echo "fuzz: $target for ${seconds}s"
  # Targets whose code logs a line for every input (a client's configuration, a damaged
  # file) have their standard error closed; libFuzzer and the sanitizers keep reporting on a
  # copy of it. Replay a saved input with the target to see everything.
  quiet=()
  seed=()
  if [ -n "${FUZZ_SEED:-}" ]; then seed=(-seed="$FUZZ_SEED"); fi
  case "$target" in embedding_cache_file|vectors_file) quiet=(-close_fd_mask=2) ;; esac
  if "$build/bin/${target}_fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
       "${quiet[@]}" "${seed[@]}" -print_final_stats=1 -artifact_prefix="$crashes/" \
       "$corpus" "tests/fuzz/$target" >"$log" 2>&1; then
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || true)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | grep -o '[0-9]*' || true)
    echo "fuzz: $target ok: ${runs:-?} inputs, coverage ${cov:-?} edges, corpus $(ls "$corpus" | wc -l)"
  else
    echo "fuzz: $target FAILED; the input is in $crashes/, the report in $log:"
    grep -m1 -A25 -E '^==[0-9]+==|ERROR|property failed|deadly signal' "$log" || tail -40 "$log"
    failed+=("$target")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: ${#failed[@]} of ${#targets[@]} targets failed: ${failed[*]}"
  exit 1
fi
echo "fuzz: ${#targets[@]} passed, 0 failed"
