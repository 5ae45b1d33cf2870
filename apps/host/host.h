// The host: the libraries made available as tools, configured once for the process. The MCP
// server and the command line both call tools through it, so an agent and a person see the
// same operations with the same arguments and answers.
//
// Thread safety: none. A Host serves one call at a time (Tarnel serves one caller at a time).
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

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
  // first call of a memory or store tool. Throws ValueError when `config.max_file_size` is
  // not a size.
  explicit Host(HostConfig config);
  ~Host();
  Host(const Host&) = delete;
  Host& operator=(const Host&) = delete;

  const HostConfig& config() const { return config_; }

  // Every tool: the coding tools and index_directory, the store's operations, the memory
  // tools.
  const std::vector<ToolDefinition>& tools() const { return tools_; }

  // The tool called `name`, or nullptr.
  const ToolDefinition* find_tool(std::string_view name) const;

  // Runs the tool `name` with `arguments` (an object, or null for none). Answers the tool's
  // JSON answer. Throws ValueError for an unknown tool, TypeError for arguments that do not fit
  // the tool (before it runs), and whatever the tool throws.
  Json call_tool(std::string_view name, const Json& arguments, const ProgressFn& progress = {});

  // The coding context API, made at first use. Throws what its constructor throws (the next
  // call tries again).
  Tarnel& tarnel();

  // The process-wide vector store (get_ambrel). Throws what its constructor throws.
  std::shared_ptr<LocalAmbrel> ambrel();

 private:
  HostConfig config_;
  std::unique_ptr<Tarnel> tarnel_;
  std::vector<ToolDefinition> tools_;
};

}  // namespace vantory::host
