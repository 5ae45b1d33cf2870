#include "apps/host/host.h"

#include <algorithm>

#include "apps/host/agent_folder.h"
#include "apps/host/coding_tools.h"
#include "apps/host/memory_tools.h"
#include "apps/host/store_tools.h"
#include "apps/host/tool_arguments.h"
#include "apps/host/tool_selection.h"
#include "common/error.h"
#include "memory/ambrel/process_ambrel.h"

namespace vantory::host {

namespace {

// The arguments that name files or folders to read.
bool is_path_argument(const std::string& name) {
  return name == "file_path" || name == "file_paths" || name == "directory";
}

}  // namespace

Host::Host(HostConfig config)
    : config_(std::move(config)),
      roots_(config_.roots.empty() ? AllowedRoots::from_environment() : config_.roots) {
  tools_ = coding_tools(config_, [this]() -> Tarnel& { return tarnel(); });
  auto store = [this] { return ambrel(); };
  for (auto group : {store_tools(config_, store), memory_tools(config_, store)}) {
    for (ToolDefinition& tool : group) {
      bool per_agent = std::any_of(tool.arguments.begin(), tool.arguments.end(),
                                   [](const ToolArgument& a) { return a.name == "agent_id"; });
      tool.sharing = per_agent ? ToolSharing::kAgentData : ToolSharing::kNothing;
      tools_.push_back(std::move(tool));
    }
  }
  listed_ = select_tools(tools_, config_.tools);
}

Host::~Host() = default;

const ToolDefinition* Host::find_tool(std::string_view name) const {
  for (const ToolDefinition& tool : tools_) {
    if (tool.name == name) return &tool;
  }
  return nullptr;
}

Json Host::call_tool(std::string_view name, const Json& arguments, const ProgressFn& progress) {
  const ToolDefinition* tool = find_tool(name);
  if (!tool) throw ValueError("unknown tool '" + std::string(name) + "'");
  return run_tool(*tool, bind_tool_arguments(*tool, arguments), roots_, progress);
}

Json Host::run_tool(const ToolDefinition& tool, const Json& bound, const AllowedRoots& roots,
                    const ProgressFn& progress) {
  for (const ToolArgument& argument : tool.arguments) {
    if (!is_path_argument(argument.name)) continue;
    const Json& value = bound[argument.name];
    if (value.is_string()) {
      roots.check(value.get<std::string>());
    } else if (value.is_array()) {
      for (const Json& path : value) {
        if (path.is_string()) roots.check(path.get<std::string>());
      }
    }
  }
  // One id per agent folder: every tool on an agent's data is checked here, before it runs,
  // and a folder the tool has just made is claimed for its id after.
  const Json* agent = tool.sharing == ToolSharing::kAgentData && bound.contains("agent_id")
                          ? &bound["agent_id"]
                          : nullptr;
  if (agent && agent->is_string()) claim_agent_folder(*ambrel(), agent->get<std::string>());
  Json answer = tool.run(bound, progress);
  if (agent && agent->is_string()) {
    try {
      claim_agent_folder(*ambrel(), agent->get<std::string>());
    } catch (const Error&) {
      // Another id claimed the folder in the meantime: its next call is refused.
    }
  }
  return answer;
}

bool Host::takes_paths(const ToolDefinition& tool) {
  return std::any_of(tool.arguments.begin(), tool.arguments.end(),
                     [](const ToolArgument& a) { return is_path_argument(a.name); });
}

std::string Host::call_lane(const ToolDefinition& tool, const Json& bound) {
  switch (tool.sharing) {
    case ToolSharing::kCodeMemory:
      return "code";
    case ToolSharing::kAgentData:
      return "agent:" + bound.value("agent_id", std::string());
    case ToolSharing::kNothing:
      break;
  }
  return "";
}

Tarnel& Host::tarnel() {
  if (!tarnel_) {
    tarnel_ = std::make_unique<Tarnel>(config_.coding_root);
    tarnel_->set_max_file_bytes(config_.max_file_bytes());
  }
  return *tarnel_;
}

std::shared_ptr<LocalAmbrel> Host::ambrel() { return get_ambrel(config_.data_root); }

}  // namespace vantory::host
