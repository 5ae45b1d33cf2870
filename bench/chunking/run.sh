#!/usr/bin/env bash
# Chunking throughput on the Lib folder of the installed python3 (site-packages left out), with
# universal-ctags over the same files as the peer (symbol extraction only; chunking also builds
# records, calls, keywords and imports). Usage: bench/chunking/run.sh [build-dir]
set -euo pipefail
build="$(cd "${1:-build}" && pwd)"
lib="$(python3 -c 'import os, sysconfig; print(os.path.realpath(sysconfig.get_paths()["stdlib"]))')"
list="$(mktemp)"
trap 'rm -f "$list" "$list.tags"' EXIT
find "$lib" \( -name site-packages -o -name dist-packages \) -prune -o -name '*.py' -type f -print \
  | sort > "$list"

median_s() { sed 's/.*median_s \([0-9.]*\).*/\1/' <<<"$1"; }
ours="$("$build/bin/chunk_files" "$list" 5)"
ours_s="$(median_s "$ours")"
parse="$("$build/bin/chunk_files" --parse-only "$list" 5)"
parse_s="$(median_s "$parse")"

ctags_runs=()
for _ in 1 2 3 4 5; do
  start=$(date +%s.%N)
  ctags -f "$list.tags" -L "$list"
  end=$(date +%s.%N)
  ctags_runs+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')")
done
ctags_s="$(printf '%s\n' "${ctags_runs[@]}" | sort -g | sed -n 3p)"

echo "tree: $lib"
echo "chunking: $ours"
echo "tree-sitter parse only: $parse"
echo "ctags -L (same files): median_s $ctags_s"
awk -v a="$ours_s" -v p="$parse_s" -v c="$ctags_s" 'BEGIN {
  printf "ratio chunking/ctags: %.2f  parse-only/ctags: %.2f  chunking/parse-only: %.2f\n", a / c, p / c, a / p
}'
