#!/usr/bin/env bash
# Cross-builds the libraries, programs and tests for 32-bit ARM (armhf) with Debian's cross
# toolchain and multiarch armhf development packages, then runs the test suite under
# qemu-user. The armhf packages sit beside the native ones (same versions, Multi-Arch: same)
# and leave the native build as it was.
#
# Usage: scripts/cross-armhf.sh [build-dir]          (default build-armhf)
# Environment: JOBS (parallel jobs), CTEST_ARGS (extra ctest arguments, e.g. "-R common").
# Exit status 77 when this machine cannot do it at all (the armhf packages cannot be installed
# or the kernel cannot be told to hand ARM programs to qemu-arm); 0 when every test passed.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-armhf}

armhf_packages=(
  libcurl4-openssl-dev:armhf libssl-dev:armhf libicu-dev:armhf libpcre2-dev:armhf
  libsqlite3-dev:armhf libtree-sitter-dev:armhf libgtest-dev:armhf libgmock-dev:armhf
  libcpp-httplib-dev:armhf libzstd-dev:armhf libstemmer-dev:armhf libjemalloc-dev:armhf
)
host_packages=(g++-arm-linux-gnueabihf qemu-user)

missing=()
for p in "${host_packages[@]}" "${armhf_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx armhf; then
    $SUDO dpkg --add-architecture armhf
  fi
  echo "cross-armhf: installing ${missing[*]}"
  if ! { $SUDO apt-get update -qq &&
          $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"; }; then
    echo "cross-armhf: skipped: the armhf packages could not be installed"
    exit 77
  fi
fi
scripts/install-deps.sh  # the native tools (cmake, ninja, nlohmann-json3-dev, npm) as well

# Tests start the programs (vantory-mcp, vantory) as child processes: the kernel must hand
# ARM programs to qemu-arm by itself. Registered the way qemu's own binfmt setup does it.
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-arm ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  if [ ! -e /proc/sys/fs/binfmt_misc/register ]; then
    $SUDO mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc || true
  fi
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x28\x00'
  mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  if ! echo ":qemu-arm:M::${magic}:${mask}:$(command -v qemu-arm):F" |
      $SUDO tee /proc/sys/fs/binfmt_misc/register >/dev/null 2>&1; then
    echo "cross-armhf: skipped: ARM programs cannot be registered with binfmt_misc here"
    exit 77
  fi
fi

start=$(date +%s)
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/armhf.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTORY_BUILD_BENCH=OFF ${CMAKE_FLAGS:-}
cmake --build "$build" -j "${JOBS:-$(nproc)}"
built=$(date +%s)
# qemu-user runs each test some ten times slower than natively.
# shellcheck disable=SC2086
ctest --test-dir "$build" --output-on-failure -j "${JOBS:-$(nproc)}" --timeout 1500 ${CTEST_ARGS:-}
echo "cross-armhf: build $((built - start)) s, tests $(( $(date +%s) - built )) s"
