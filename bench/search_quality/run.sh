#!/usr/bin/env bash
# Search quality against a plain BM25 peer on trees whose documented functions lost their
# documentation: CPython's Lib and the JavaScript of the installed npm. Prints a table per tree
# and writes the figures as JSON. Usage: bench/search_quality/run.sh [build-dir] [json-file]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
out="${2:-$build/search_quality.json}"
cmake --build "$build" --target vantory vantory-mcp >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 "$here/run.py" "$build" "$work" --json "$out"
echo "figures written to $out"
