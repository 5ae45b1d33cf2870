#!/usr/bin/env bash
# Runs every benchmark: each bench/<piece>/run.sh measures its peer in the same run and prints
# the ratios. Usage: bench/run_all.sh [build-dir]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
echo "date: $(date -u +%Y-%m-%dT%H:%MZ)  nproc: $(nproc)  memory: $(free -g | awk '/Mem:/{print $2}') GiB"
for script in "$here"/*/run.sh; do
  [ -e "$script" ] || continue
  echo
  echo "== $(basename "$(dirname "$script")") =="
  "$script" "$build"
done
