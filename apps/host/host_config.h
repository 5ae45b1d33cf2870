// Where the host keeps its data and which agent it serves by default, from the environment
// and from command-line flags (flags win).
//
//   --coding-root DIR   VANTORY_CODING_ROOT   code memory       (default ./.vantory_coding)
//   --data-root DIR     VANTORY_DATA_ROOT     vectors, memories (default ./.vantory_data)
//   --agent ID          VANTORY_AGENT_ID      agent id used when a call leaves it out
//                                             (default "default")
//   --root DIR          VANTORY_ALLOWED_ROOTS the folders whose files the tools may read
//                       (repeatable; the        (default: the working directory)
//                       variable colon-separated)
//
// Relative roots are relative to the working directory of the process. The embedding client
// keeps its own variables (REMOTE_EMBEDDING_URL and the rest).
#pragma once

#include <string>
#include <vector>

namespace vantory::host {

struct HostConfig {
  std::string coding_root = "./.vantory_coding";
  std::string data_root = "./.vantory_data";
  std::string agent_id = "default";
  // The folders given with --root; empty leaves the choice to AllowedRoots::from_environment.
  std::vector<std::string> roots;

  // The defaults overridden by the environment variables that are set and not empty.
  static HostConfig from_environment();
};

// When args[i] is one of the flags above (as "--flag VALUE" or "--flag=VALUE"), stores its
// value in `config`, advances `i` past it and answers true; answers false for any other
// argument. Throws ValueError when the flag's value is missing or empty.
bool take_host_flag(const std::vector<std::string>& args, std::size_t& i, HostConfig& config);

// The lines of --help that describe the flags above.
const char* host_flags_help();

}  // namespace vantory::host
