// The tools over the vector store: every operation of LocalAmbrel under its own name.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "apps/host/host_config.h"
#include "apps/host/tool.h"
#include "memory/ambrel/local_ambrel.h"

namespace vantory::host {

// add_vector, add_vectors_batch, get_vector, delete_vector, clear_vectors, get_stats,
// semantic_search, keyword_search, hybrid_search, each run on the store that `ambrel` answers
// (called at every run, so the store may be made at first use). `agent_id` may be left out of
// every call and then is `config.agent_id`. Vectors are answered as arrays of numbers.
std::vector<ToolDefinition> store_tools(const HostConfig& config,
                                        std::function<std::shared_ptr<LocalAmbrel>()> ambrel);

}  // namespace vantory::host
