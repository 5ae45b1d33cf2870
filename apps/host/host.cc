#include "apps/host/host.h"

#include "apps/host/coding_tools.h"
#include "apps/host/tool_arguments.h"
#include "common/error.h"

namespace vantory::host {

Host::Host(HostConfig config) : config_(std::move(config)) {
  tools_ = coding_tools(config_, [this]() -> Tarnel& { return tarnel(); });
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
  return tool->run(bind_tool_arguments(*tool, arguments), progress);
}

Tarnel& Host::tarnel() {
  if (!tarnel_) tarnel_ = std::make_unique<Tarnel>(config_.coding_root);
  return *tarnel_;
}

}  // namespace vantory::host
