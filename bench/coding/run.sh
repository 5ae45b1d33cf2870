#!/usr/bin/env bash
# Code analyses: dependency_graph (10 files) and circular_dependency_check over agents with
# 1,000, 5,000 and 20,000 indexed files; the growth ratios show whether the cost is linear, and
# the same analyses written plainly in Python run on the same data as the peer.
# Usage: bench/coding/run.sh [build-dir] [runs]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
runs="${2:-7}"
data="$(mktemp -d)"
trap 'rm -rf "$data"' EXIT
"$build/bin/bench_code_analyses" --runs "$runs" --dump "$data"
echo
/usr/bin/python3 "$here/code_analyses_peer.py" "$data" "$runs"
