// vantory: the command line of vantory's code memory and free-text memories.
#include <csignal>
#include <cstdio>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "apps/cli/command.h"
#include "apps/host/diagnostic_filter.h"
#include "apps/host/exception_kind.h"
#include "apps/host/host_config.h"

namespace {

using vantory::cli::Command;

std::vector<Command> all_commands() {
  std::vector<Command> commands = vantory::cli::coding_commands();
  for (auto group : {vantory::cli::memory_commands(), vantory::cli::service_commands()}) {
    commands.insert(commands.end(), group.begin(), group.end());
  }
  return commands;
}

std::string general_help(const std::vector<Command>& commands) {
  std::string help =
      "usage: vantory [options] COMMAND [ARGS]\n"
      "\n"
      "A memory of source code and of free-text notes for AI agents and the people who run\n"
      "them. `vantory COMMAND --help` tells more about each command.\n"
      "\n"
      "commands:\n";
  for (const Command& command : commands) {
    std::string left = command.name + (command.operands.empty() ? "" : " " + command.operands);
    if (left.size() < 24) left.resize(24, ' ');
    help += "  " + left + " " + command.summary + "\n";
  }
  help += "\noptions (before or after the command):\n";
  help += vantory::host::host_flags_help();
  help += vantory::host::diagnostics_flags_help();
  help +=
      "  --json             print answers as JSON\n"
      "  --help             show help\n"
      "\n"
      "Embeddings for remember and recall come from the service named by REMOTE_EMBEDDING_URL\n"
      "(see `vantory serve-embeddings --help` for one that runs offline).\n"
      "Exit status: 0 on success, 1 when the operation failed, 2 for a wrong command line.\n";
  return help;
}

// take_host_flag and take_diagnostics_flag, with a flag that lacks its value reported as a
// wrong command line.
bool takes_host_flag(const std::vector<std::string>& args, std::size_t& i,
                     vantory::host::HostConfig& config,
                     vantory::host::DiagnosticsOptions& diagnostics) {
  try {
    return vantory::host::take_host_flag(args, i, config) ||
           vantory::host::take_diagnostics_flag(args, i, diagnostics);
  } catch (const vantory::ValueError& e) {
    throw vantory::cli::UsageError(e.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  std::vector<Command> commands = all_commands();
  vantory::host::HostConfig config = vantory::host::HostConfig::from_environment();
  vantory::host::DiagnosticsOptions diagnostics;
  std::vector<std::string> args(argv + 1, argv + argc);
  std::vector<std::string> rest;
  const Command* command = nullptr;
  bool json = false;
  bool help = false;
  std::string context = "vantory";
  try {
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size();) {
      if (!options_ended) {
        if (args[i] == "--") options_ended = true;
        if (takes_host_flag(args, i, config, diagnostics)) continue;
        if (args[i] == "--json" || args[i] == "--help" || args[i] == "-h") {
          (args[i] == "--json" ? json : help) = true;
          ++i;
          continue;
        }
      }
      if (!command && args[i] != "--") {
        if (args[i] == "help") {
          help = true;
          ++i;
          continue;
        }
        for (const Command& declared : commands) {
          if (declared.name == args[i]) command = &declared;
        }
        if (!command) {
          throw vantory::cli::UsageError("unknown command '" + args[i] + "'");
        }
        context = "vantory " + command->name;
        ++i;
        continue;
      }
      rest.push_back(args[i++]);
    }
    if (help || !command) {
      if (!help && !command) {
        std::fputs(general_help(commands).c_str(), stderr);
        return 2;
      }
      std::cout << (command ? vantory::cli::command_help(*command) : general_help(commands));
      return 0;
    }
    vantory::cli::Invocation invocation = vantory::cli::read_invocation(*command, rest);
    vantory::host::route_diagnostics(diagnostics);
    vantory::host::Host host(config);
    invocation.host = &host;
    invocation.json = json;
    return command->run(invocation);
  } catch (const vantory::cli::UsageError& e) {
    std::fprintf(stderr, "%s: %s (see %s --help)\n", context.c_str(), e.what(), context.c_str());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", context.c_str(), vantory::host::exception_text(e).c_str());
    return 1;
  }
}
