// The host: the libraries made available as tools, configured once for the process. The MCP
// server and the command line both call tools through it, so an agent and a person see the
// same operations with the same arguments and answers.
//
// Every tool that takes a file-system path (file_path, file_paths, directory) is confined to
// allowed roots: a path outside them, or a symbolic link that leads outside, is refused before
// the tool runs. Paths are checked, never rewritten: the coding tools keep the paths they are
// given in the contexts they index.
//
// Thread safety: the tool table and the roots are immutable. Calls may run on several threads
// at once as long as no two calls in the same lane (call_lane) run together: the coding tools
// share one Tarnel, which serves one caller at a time, and the memory tools read, change and
// write an agent's files.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "apps/host/allowed_roots.h"
#include "apps/host/host_config.h"
#include "apps/host/tool.h"
#include "coding/tarnel.h"
#include "common/json.h"
#include "memory/ambrel/local_ambrel.h"

namespace vantory::host {

class Host {
 public:
  // Builds the tool table; opens nothing yet. The Tarnel over `config.coding_root` is made at
  // the first call of a coding tool, the process-wide store over `config.data_root` at the
  // first call of a memory or store tool. The allowed roots are `config.roots`, or when it is
  // empty AllowedRoots::from_environment(). Throws ValueError when `config.max_file_size` is
  // not a size or `config.tools` names a tool that does not exist.
  explicit Host(HostConfig config);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  const HostConfig& config() const { return config_; }

  // Every tool: the coding tools and index_directory, the store's operations, the memory
  // tools.
  const std::vector<ToolDefinition>& tools() const { return tools_; }

  // The tools listed to clients, chosen by `config.tools` (select_tools): by default a short
  // list with short descriptions. Every tool of tools() may be called, listed or not.
  const std::vector<ToolDefinition>& listed_tools() const { return listed_; }

  // The tool called `name`, or nullptr.
  const ToolDefinition* find_tool(std::string_view name) const;

  // The roots the host was configured with.
  const AllowedRoots& allowed_roots() const { return roots_; }

  // Runs the tool `name` with `arguments` (an object, or null for none), confined to
  // allowed_roots(). Answers the tool's JSON answer. Throws ValueError for an unknown tool,
  // TypeError for arguments that do not fit the tool and PermissionError for a path outside the
  // roots (both before it runs), and whatever the tool throws.
  Json call_tool(std::string_view name, const Json& arguments, const ProgressFn& progress = {});

  // Runs `tool` with `bound` (bind_tool_arguments) after checking its paths against `roots`.
  // Throws PermissionError (before it runs) and whatever the tool throws.
  Json run_tool(const ToolDefinition& tool, const Json& bound, const AllowedRoots& roots,
                const ProgressFn& progress = {});

  // True when `tool` takes a file-system path.
  static bool takes_paths(const ToolDefinition& tool);

  // The lane of a call of `tool` with `bound`: calls in one lane must run one at a time, in
  // order; "" for a call that shares nothing with any other.
  static std::string call_lane(const ToolDefinition& tool, const Json& bound);

  // The coding context API, made at first use. Throws what its constructor throws (the next
  // call tries again).
  Tarnel& tarnel();

  // The process-wide vector store (get_ambrel). Throws what its constructor throws.
  std::shared_ptr<LocalAmbrel> ambrel();

 private:
  HostConfig config_;
  AllowedRoots roots_;
  std::unique_ptr<Tarnel> tarnel_;
  std::vector<ToolDefinition> tools_;
  std::vector<ToolDefinition> listed_;
};

}  // namespace vantory::host
