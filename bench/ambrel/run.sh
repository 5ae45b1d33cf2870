#!/usr/bin/env bash
# Vector store benchmarks, each against its peer in the same run. Usage: run.sh [build-dir]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
bench="$build/bin/ambrel_bench"
# The libraries announce their configuration on standard error; only those lines are kept off
# the figures, failures still show.
quiet() { "$@" 2> >(grep -v -e 'numpy not available' -e '^\[Embedding\] ' >&2); }

quiet "$bench" semantic 10000 "$here/peers.py"
quiet "$bench" semantic 100000 "$here/peers.py"
quiet "$bench" keyword "$here/peers.py"
quiet "$bench" hybrid
quiet "$bench" load "$here/peers.py"
