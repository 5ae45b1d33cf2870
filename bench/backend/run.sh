#!/usr/bin/env bash
# The code-memory backend over the Python standard library: index_file per file from empty
# against universal-ctags over the same files, delta_update over every unchanged file,
# search_codebase latency, database size. Usage: bench/backend/run.sh [build-dir] [source-dir]
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
source_dir="${2:-$(/usr/bin/python3 -c 'import sysconfig; print(sysconfig.get_paths()["stdlib"])')}"
cmake --build "$build" --target backend_bench >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$build/bin/backend_bench" "$source_dir" "$work/run" 2>/dev/null
