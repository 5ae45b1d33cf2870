#!/usr/bin/env bash
# How fast `vantory watch` indexes a saved edit and a checkout of 50 and 500 changed files, beside
# `vantory index .` after the same checkout. Usage: bench/watch/run.sh [build-dir]
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
/usr/bin/python3 "$(dirname "$0")/watch_bench.py" "$build/bin/vantory" "${@:2}"
