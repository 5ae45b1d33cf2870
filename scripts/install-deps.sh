#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the benchmarks need.
# Idempotent: packages already present are skipped, and the package index is refreshed
# only when something has to be installed.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config ccache
  # libraries
  nlohmann-json3-dev libcurl4-openssl-dev libssl-dev libicu-dev libpcre2-dev
  libsqlite3-dev libtree-sitter-dev libstemmer-dev libeigen3-dev libzstd-dev liblz4-dev
  libxxhash-dev libhnswlib-dev libjemalloc-dev
  # tests
  libgtest-dev libgmock-dev libcpp-httplib-dev nodejs npm
  # benchmarks and their peers
  libbenchmark-dev python3 python3-numpy python3-faiss universal-ctags
  # CPython's Lib as its source tree has it, tests included
  libpython3.11-testsuite
  # sanitizer and fuzzing builds (make asan, make tsan, make fuzz)
  clang-14 libclang-rt-14-dev
)

# Installed for this machine's architecture (or for all). The 32-bit ARM cross build installs
# :armhf copies of some -dev packages; one that cannot sit beside the machine's own replaces
# it, and must not count as installed.
arch=$(dpkg --print-architecture)
installed() {
  dpkg-query -W -f='${Status} ${Architecture}\n' "$1" 2>/dev/null |
    grep -qE "^install ok installed ($arch|all)\$"
}

missing=()
for p in "${packages[@]}"; do
  if ! installed "$p"; then
    missing+=("$p")
  fi
done

# npm ships with the machine's own Node.js on some images; do not fight it.
if command -v npm >/dev/null 2>&1; then
  filtered=()
  for p in "${missing[@]}"; do
    case "$p" in nodejs|npm) ;; *) filtered+=("$p") ;; esac
  done
  missing=("${filtered[@]+"${filtered[@]}"}")
fi

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: everything is installed"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
