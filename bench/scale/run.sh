#!/usr/bin/env bash
# Indexing at scale beside universal-ctags: CPython's Lib and /usr/include (full index, unchanged
# re-scan, 1% changed, database size, peak RSS, cold and warm searches). With --scale-gb N, also
# a generated tree of N GB (copies of /usr/include; long).
# Usage: bench/scale/run.sh [build-dir] [--scale-gb N] [--json FILE]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
shift || true
cmake --build "$build" --target vantory vantory-mcp >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
python3 "$here/run.py" "$build" "$work" --json "$build/scale.json" "$@"
echo "figures written to $build/scale.json"
