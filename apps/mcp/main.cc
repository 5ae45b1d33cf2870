// vantory-mcp: the Model Context Protocol server of vantory over standard input and output.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "apps/host/host.h"
#include "apps/mcp/mcp_server.h"

namespace {

constexpr const char* kUsage =
    "usage: vantory-mcp [--coding-root DIR] [--data-root DIR] [--agent ID]\n"
    "\n"
    "Serves vantory's tools to an MCP client over standard input and output (JSON-RPC 2.0,\n"
    "one message per line). Diagnostics go to standard error.\n"
    "\n"
    "options:\n";

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  vantory::host::HostConfig config = vantory::host::HostConfig::from_environment();
  try {
    for (std::size_t i = 0; i < args.size();) {
      if (vantory::host::take_host_flag(args, i, config)) continue;
      if (args[i] == "--help" || args[i] == "-h") {
        std::printf("%s%s  --help             show this help\n", kUsage,
                    vantory::host::host_flags_help());
        return 0;
      }
      std::fprintf(stderr, "vantory-mcp: unknown argument '%s' (see --help)\n", args[i].c_str());
      return 2;
    }
    vantory::host::Host host(config);
    return vantory::mcp::serve_stdio(host);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantory-mcp: %s\n", e.what());
    return 2;
  }
}
