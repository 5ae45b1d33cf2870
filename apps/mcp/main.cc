// vantory-mcp: the Model Context Protocol server of vantory over standard input and output.
#include <charconv>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "apps/host/host.h"
#include "apps/mcp/mcp_server.h"
#include "common/error.h"

namespace {

constexpr const char* kUsage =
    "usage: vantory-mcp [--coding-root DIR] [--data-root DIR] [--agent ID] [--root DIR]...\n"
    "                   [--max-calls N]\n"
    "\n"
    "Serves vantory's tools to an MCP client over standard input and output (JSON-RPC 2.0,\n"
    "one message per line). Diagnostics go to standard error.\n"
    "\n"
    "The tools read files below the folders the client offers as its roots, else below the\n"
    "--root folders, else below the working directory.\n"
    "\n"
    "options:\n";

// The value of a flag that takes a count from 1 to 1024.
std::size_t count_of(const std::string& flag, const std::string& text) {
  std::size_t value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < 1 || value > 1024) {
    throw vantory::ValueError(flag + " needs a count from 1 to 1024, not '" + text + "'");
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  vantory::host::HostConfig config = vantory::host::HostConfig::from_environment();
  std::size_t max_calls = vantory::mcp::kDefaultMaxCalls;
  try {
    for (std::size_t i = 0; i < args.size();) {
      if (vantory::host::take_host_flag(args, i, config)) continue;
      if (args[i] == "--max-calls" && i + 1 < args.size()) {
        max_calls = count_of("--max-calls", args[i + 1]);
        i += 2;
        continue;
      }
      if (args[i] == "--help" || args[i] == "-h") {
        std::printf(
            "%s%s  --max-calls N      tool calls run at once (default %zu)\n"
            "  --help             show this help\n",
            kUsage, vantory::host::host_flags_help(), vantory::mcp::kDefaultMaxCalls);
        return 0;
      }
      std::fprintf(stderr, "vantory-mcp: unknown argument '%s' (see --help)\n", args[i].c_str());
      return 2;
    }
    vantory::host::Host host(config);
    return vantory::mcp::serve_stdio(host, max_calls);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantory-mcp: %s\n", e.what());
    return 2;
  }
}
