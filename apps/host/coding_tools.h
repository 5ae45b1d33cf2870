// The tools over the coding context API: every public operation of Tarnel under its own name
// (memory-style aliases included), and index_directory.
#pragma once

#include <functional>
#include <vector>

#include "apps/host/host_config.h"
#include "apps/host/tool.h"
#include "coding/tarnel.h"

namespace vantory::host {

// The tools, in the order of tarnel_operations() followed by index_directory. Each runs on
// the Tarnel that `tarnel` answers (called at every run, so the Tarnel may be made at first
// use). `agent_id` may be left out of every call and then is `config.agent_id`.
std::vector<ToolDefinition> coding_tools(const HostConfig& config,
                                         std::function<Tarnel&()> tarnel);

}  // namespace vantory::host
