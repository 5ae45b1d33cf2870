// Where the host keeps its data and which agent it serves by default, from the environment
// and from command-line flags (flags win).
//
//   --coding-root DIR   VANTORY_CODING_ROOT   code memory       (default ./.vantory_coding)
//   --data-root DIR     VANTORY_DATA_ROOT     vectors, memories (default ./.vantory_data)
//   --agent ID          VANTORY_AGENT_ID      agent id used when a call leaves it out
//                                             (default "default")
//   --max-file-size N   VANTORY_MAX_FILE_SIZE largest source file read, in bytes or with K,
//                                             M or G (default 1M)
//   --root DIR          VANTORY_ALLOWED_ROOTS the folders whose files the tools may read
//                       (repeatable; the        (default: the working directory)
//                       variable colon-separated)
//   --tools LIST        VANTORY_TOOLS         the tools listed to clients: all, default, or
//                                             names joined by commas (default: the default
//                                             set, tool_selection.h)
//
// Relative roots are relative to the working directory of the process. The embedding client
// keeps its own variables (REMOTE_EMBEDDING_URL and the rest).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantory::host {

struct HostConfig {
  std::string coding_root = "./.vantory_coding";
  std::string data_root = "./.vantory_data";
  std::string agent_id = "default";
  // As written: "" for the default of the code memory (1M).
  std::string max_file_size;
  // The folders given with --root; empty leaves the choice to AllowedRoots::from_environment.
  std::vector<std::string> roots;
  // The tools listed to clients (select_tools): "" for the default set, "all", or names.
  std::string tools;

  // max_file_size in bytes. Throws ValueError when it is not a size.
  std::uint64_t max_file_bytes() const;
  // The folders the host writes its stores to, which a walk of the sources must not enter
  // (SourceFilter::own_folders): the coding root and the data root.
  std::vector<std::string> store_folders() const { return {coding_root, data_root}; }

  // The defaults overridden by the environment variables that are set and not empty.
  static HostConfig from_environment();
};

// When args[i] is one of the flags above (as "--flag VALUE" or "--flag=VALUE"), stores its
// value in `config`, advances `i` past it and answers true; answers false for any other
// argument. Throws ValueError when the flag's value is missing, empty or (--max-file-size)
// not a size.
bool take_host_flag(const std::vector<std::string>& args, std::size_t& i, HostConfig& config);

// The lines of --help that describe the flags above.
const char* host_flags_help();

// The bytes of a size written as digits with an optional K, M or G (powers of 1024): "1048576",
// "512K", "4M". Throws ValueError naming `text` for anything else, a size that overflows
// included.
std::uint64_t parse_file_size(std::string_view text);

}  // namespace vantory::host
