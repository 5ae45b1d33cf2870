#!/usr/bin/env bash
# Embedding benchmarks, each against its peer in the same run. Usage: run.sh [build-dir]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="$(cd "${1:-build}" && pwd)"
bench="$build/bin/embedding_bench"
# The library announces its vector type on standard error when it loads; only that line is
# kept off the figures, failures still show.
quiet() { "$@" 2> >(grep -v 'numpy not available' >&2); }

quiet "$bench" cache "$here/json_peer.py"
quiet "$bench" embed
quiet "$bench" batch
quiet "$bench" openai
# The cache of 100,000 entries (1.7 GB of text) lives on tmpfs while it is measured.
cache_dir="$(mktemp -d /dev/shm/vantory-bench-memory-XXXXXX)"
trap 'rm -rf "$cache_dir"' EXIT
echo "client holding 100,000 cached 768-dim embeddings (goal <= 1.2x raw float32):"
quiet "$bench" memory fill "$cache_dir"
quiet "$bench" memory load "$cache_dir"
