// vantory-mcp: the Model Context Protocol server of vantory, over standard input and output or
// over HTTP.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "apps/host/diagnostic_filter.h"
#include "apps/host/host.h"
#include "apps/mcp/folder_watches.h"
#include "apps/mcp/http_server.h"
#include "apps/mcp/mcp_server.h"
#include "common/error.h"

namespace {

constexpr const char* kUsage =
    "usage: vantory-mcp [--coding-root DIR] [--data-root DIR] [--agent ID] [--root DIR]...\n"
    "                   [--max-calls N] [--watch DIR]... [--http HOST:PORT\n"
    "                   [--token-file FILE] [--allow-origin ORIGIN]...]\n"
    "\n"
    "Serves vantory's tools to an MCP client over standard input and output (JSON-RPC 2.0,\n"
    "one message per line). Diagnostics go to standard error.\n"
    "\n"
    "With --http it serves MCP over streamable HTTP at http://HOST:PORT/mcp instead (port 0\n"
    "picks a free one), prints that URL on standard output and serves until SIGTERM or\n"
    "SIGINT. Clients authenticate with the token in --token-file (Authorization: Bearer);\n"
    "without one the server listens on a loopback address only.\n"
    "\n"
    "The tools read files below the folders the client offers as its roots, else below the\n"
    "--root folders, else below the working directory.\n"
    "\n"
    "With --watch the code memory of a folder is brought up to date at start and kept\n"
    "current while the server runs, as `vantory watch` does; one line on standard error\n"
    "reports each change.\n"
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

// When args[i] is `flag` ("--flag VALUE" or "--flag=VALUE"), stores its value, advances `i`
// past it and answers true.
bool take_value(const std::vector<std::string>& args, std::size_t& i, const std::string& flag,
                std::string& value) {
  const std::string& arg = args[i];
  if (arg == flag) {
    if (i + 1 >= args.size()) throw vantory::ValueError(flag + " needs a value");
    value = args[i + 1];
    i += 2;
    return true;
  }
  if (arg.rfind(flag + "=", 0) == 0) {
    value = arg.substr(flag.size() + 1);
    i += 1;
    return true;
  }
  return false;
}

// Serves over HTTP until SIGTERM, SIGINT or SIGHUP, then stops in order: the calls that run
// finish and answer, the rest are dropped.
int serve_http(vantory::host::Host& host, std::size_t max_calls, vantory::mcp::HttpOptions options,
               const std::vector<std::string>& watch) {
  // The signals are taken by sigwait below; every thread started from here inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop_signals, signal);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  vantory::mcp::CallScheduler scheduler(max_calls, vantory::mcp::kMaxWaitingCalls);
  vantory::mcp::FolderWatches watches(host, scheduler, watch);
  vantory::mcp::McpHttpServer server(host, scheduler, std::move(options));
  std::printf("%s\n", server.url().c_str());
  std::fflush(stdout);
  bool failed = false;
  std::thread serving([&] {
    if (!server.serve()) {
      failed = true;
      ::kill(::getpid(), SIGTERM);
    }
  });
  int signal = 0;
  sigwait(&stop_signals, &signal);
  server.stop();
  serving.join();
  if (failed) std::fprintf(stderr, "vantory-mcp: serving HTTP failed\n");
  return failed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  vantory::host::HostConfig config = vantory::host::HostConfig::from_environment();
  std::size_t max_calls = vantory::mcp::kDefaultMaxCalls;
  std::optional<vantory::mcp::HttpOptions> http;
  std::string value;
  std::string token_file;
  std::vector<std::string> origins;
  std::vector<std::string> watch;
  vantory::host::DiagnosticsOptions diagnostics;
  try {
    for (std::size_t i = 0; i < args.size();) {
      if (vantory::host::take_host_flag(args, i, config)) continue;
      if (vantory::host::take_diagnostics_flag(args, i, diagnostics)) continue;
      if (take_value(args, i, "--max-calls", value)) {
        max_calls = count_of("--max-calls", value);
      } else if (take_value(args, i, "--http", value)) {
        vantory::mcp::parse_listen_address(value, http.emplace());
      } else if (take_value(args, i, "--token-file", token_file)) {
      } else if (take_value(args, i, "--allow-origin", value)) {
        origins.push_back(value);
      } else if (take_value(args, i, "--watch", value)) {
        watch.push_back(value);
      } else if (args[i] == "--help" || args[i] == "-h") {
        std::printf(
            "%s%s%s"
            "  --max-calls N      tool calls run at once (default %zu)\n"
            "  --watch DIR        keep the code memory of this folder current; repeatable\n"
            "  --http HOST:PORT   serve MCP over HTTP on this address (such as 127.0.0.1:8080)\n"
            "  --token-file FILE  the bearer token HTTP clients must send\n"
            "  --allow-origin O   a browser origin allowed to call over HTTP; repeatable\n"
            "  --help             show this help\n",
            kUsage, vantory::host::host_flags_help(), vantory::host::diagnostics_flags_help(),
            vantory::mcp::kDefaultMaxCalls);
        return 0;
      } else {
        std::fprintf(stderr, "vantory-mcp: unknown argument '%s' (see --help)\n", args[i].c_str());
        return 2;
      }
    }
    if (!http && (!token_file.empty() || !origins.empty())) {
      throw vantory::ValueError("--token-file and --allow-origin go with --http");
    }
    vantory::host::route_diagnostics(diagnostics);
    vantory::host::Host host(config);
    if (http) {
      if (!token_file.empty()) http->token = vantory::mcp::read_token_file(token_file);
      http->allowed_origins = origins;
      return serve_http(host, max_calls, std::move(*http), watch);
    }
    return vantory::mcp::serve_stdio(host, max_calls, watch);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantory-mcp: %s\n", e.what());
    return 2;
  }
}
