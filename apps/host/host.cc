#include "apps/host/host.h"

#include "apps/host/coding_tools.h"
#include "apps/host/memory_tools.h"
#include "apps/host/store_tools.h"
#include "apps/host/tool_arguments.h"
#include "common/error.h"
#include "memory/ambrel/process_ambrel.h"

namespace vantory::host {

Host::Host(HostConfig config) : config_(std::move(config)) {
  tools_ = coding_tools(config_, [this]() -> Tarnel& { return tarnel(); });
  auto store = [this] { return ambrel(); };
  for (auto group : {store_tools(config_, store), memory_tools(config_, store)}) {
    tools_.insert(tools_.end(), group.begin(), group.end());
  }
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
  if (!tarnel_) {
    tarnel_ = std::make_unique<Tarnel>(config_.coding_root);
    tarnel_->set_max_file_bytes(config_.max_file_bytes());
  }
  return *tarnel_;
}

std::shared_ptr<LocalAmbrel> Host::ambrel() { return get_ambrel(config_.data_root); }

}  // namespace vantory::host
