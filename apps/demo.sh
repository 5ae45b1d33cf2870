#!/usr/bin/env bash
# The `make run` demonstration: indexes this repository with the vantory command line,
# searches it, summarises a file, graphs its imports, checks for import cycles, then remembers
# and recalls two notes through the local embedding service. Everything it stores goes to a
# temporary folder that is removed at the end.
set -euo pipefail

BIN=${1:-build/bin}
VANTORY="$BIN/vantory"
REPO=$(cd "$(dirname "$0")/.." && pwd)
DATA=$(mktemp -d "${TMPDIR:-/tmp}/vantory-demo.XXXXXX")
SERVICE_PID=""

cleanup() {
  if [ -n "$SERVICE_PID" ]; then kill "$SERVICE_PID" 2>/dev/null || true; fi
  rm -rf "$DATA"
}
trap cleanup EXIT

export VANTORY_CODING_ROOT="$DATA/coding" VANTORY_DATA_ROOT="$DATA/memories" VANTORY_AGENT_ID=demo
bold="" plain=""
if [ -t 1 ]; then bold=$(tput bold 2>/dev/null || true) plain=$(tput sgr0 2>/dev/null || true); fi

# The command as one would type it: arguments with blanks in double quotes.
shown() {
  local text="vantory" arg
  for arg in "$@"; do
    if [[ "$arg" == *[[:space:]]* ]]; then text+=" \"$arg\""; else text+=" $arg"; fi
  done
  echo "$text"
}

# Shows the command, then runs it.
step() {
  echo
  echo "${bold}\$ $(shown "$@")${plain}"
  "$VANTORY" "$@"
}

cd "$REPO"
echo "${bold}vantory demonstration${plain} (data in $DATA, removed at the end)"

echo
echo "${bold}\$ vantory index .${plain}"
"$VANTORY" index .

step search "parse a JSON number array"
step summary memory/ambrel/local_ambrel.cc
step graph apps/host/host.cc
step cycles

echo
echo "${bold}\$ vantory serve-embeddings --port 0 &${plain}   # a local embedding service"
coproc SERVICE { exec "$VANTORY" serve-embeddings --port 0 --json 2>/dev/null; }
SERVICE_PID=$SERVICE_PID
read -r started <&"${SERVICE[0]}"
REMOTE_EMBEDDING_URL=$(sed -n 's/.*"gradio_url": "\([^"]*\)".*/\1/p' <<<"$started")
export REMOTE_EMBEDDING_URL
echo "REMOTE_EMBEDDING_URL=$REMOTE_EMBEDDING_URL"

step remember --topic testing "Run the whole test suite with make test; ctest runs every test binary"
step remember --person Alice --keyword commits "Alice wants small commits whose messages say why"
step recall "how do I run the tests"
step recall "who cares about commit messages"

echo
echo "Done. To give an agent all of this, add vantory-mcp to your MCP client's configuration:"
cat <<JSON
{
  "mcpServers": {
    "vantory": {
      "command": "$(cd "$BIN" && pwd)/vantory-mcp",
      "env": {"VANTORY_CODING_ROOT": "$HOME/.vantory/coding", "VANTORY_DATA_ROOT": "$HOME/.vantory/data"}
    }
  }
}
JSON
