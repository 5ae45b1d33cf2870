#!/usr/bin/env bash
# The code-memory backend over the Python standard library: index_file per file from empty
# against universal-ctags over the same files, delta_update over unchanged files,
# search_codebase latency, database size. Usage: bench/backend/run.sh [build-dir] [source-dir]
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
# The Lib folder of the python3 on the path, as the chunking benchmark takes it.
source_dir="${2:-$(python3 -c 'import os, sysconfig; print(os.path.realpath(sysconfig.get_paths()["stdlib"]))')}"
cmake --build "$build" --target backend_bench >/dev/null
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$build/bin/backend_bench" "$source_dir" "$work/run" 2>/dev/null
