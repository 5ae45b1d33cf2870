#!/usr/bin/env bash
# Clang's thread-safety analysis (-Wthread-safety, an error) over every translation unit of
# the libraries and programs: each is parsed by clang and checked, none is compiled, so this
# costs a fraction of a build. A build directory configured with clang (the fuzz build's) is
# used as it is; any other directory is configured with clang-14 first, and nothing is built
# in it except the one generated header the backend's sources include.
#
# Usage: scripts/check-locks.sh [build-dir]
# Environment: JOBS (parallel checks), CMAKE_FLAGS (extra configure arguments).
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-locks}
jobs=${JOBS:-$(nproc)}
if ! grep -qs '^CMAKE_CXX_COMPILER:.*clang' "$build/CMakeCache.txt"; then
  CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DVANTORY_BUILD_TESTS=OFF \
    -DVANTORY_BUILD_BENCH=OFF ${CMAKE_FLAGS:-} >/dev/null
fi
# Only the header's own command: building it as a target would build the libraries first.
header=backend/generated/backend/chunker_revision.h
if grep -q "^build $header" "$build/build.ninja"; then
  (cd "$build" && eval "$(ninja -t commands -s "$header")")
fi

# One line per translation unit: the compile command with "-o <object> -c" replaced by
# -fsyntax-only and the analysis switched on (whatever the configuration added already).
list=$(mktemp)
trap 'rm -f "$list"' EXIT
/usr/bin/python3 - "$build/compile_commands.json" "$PWD" "$(cd "$build" && pwd)" >"$list" <<'PY'
import json, shlex, sys
root = sys.argv[2] + "/"
build = sys.argv[3] + "/"
for entry in json.load(open(sys.argv[1])):
    source = entry["file"]
    # A unity build compiles batches of sources, each batch a file of the build directory
    # below the folder of its target.
    if source.startswith(build) and "/Unity/unity_" in source:
        folder = source[len(build):].split("/")[0]
    elif source.startswith(root) and source.endswith(".cc"):
        folder = source[len(root):].split("/")[0]
    else:
        continue
    if folder not in ("common", "coding", "memory", "backend", "apps"):
        continue
    words = shlex.split(entry["command"])
    out = []
    skip = False
    for word in words:
        if skip:
            skip = False
            continue
        if word == "-o":
            skip = True
            continue
        if word == "-c":
            continue
        out.append(word)
    out[1:1] = ["-fsyntax-only", "-Wthread-safety", "-Werror=thread-safety"]
    print(entry["directory"] + "\t" + shlex.join(out))
PY
count=$(wc -l <"$list")
echo "locks: checking $count translation units with $jobs jobs"
# xargs exits 123 when any check failed; clang's own messages say where.
if ! tr '\n' '\0' <"$list" | xargs -0 -P "$jobs" -n 1 sh -c \
     'cd "${1%%	*}" && eval "${1#*	}"' check; then
  echo "locks: FAILED"
  exit 1
fi
echo "locks: $count translation units pass"
