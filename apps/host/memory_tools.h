// The host's memory tools: memory_add, memory_update, memory_search, memory_list,
// memory_delete over the agent's memory entries (MemoryEntryFile) and their vectors in the
// store.
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "apps/host/host_config.h"
#include "apps/host/tool.h"
#include "memory/ambrel/local_ambrel.h"

namespace vantory::host {

// Two notes of an agent whose embeddings are at least this alike (cosine similarity), and whose
// texts share at least half of their words, say the same thing: memory_add without an id then
// updates the older note instead of adding another. The bar is high so that repetitions and
// rewordings merge, not notes that are merely related.
inline constexpr double kNearDuplicateSimilarity = 0.95;

// The five tools, each run on the store that `ambrel` answers (called at every run, so the
// store may be made at first use). `agent_id` may be left out and then is `config.agent_id`.
std::vector<ToolDefinition> memory_tools(const HostConfig& config,
                                         std::function<std::shared_ptr<LocalAmbrel>()> ambrel);

// The text of a memory entry: its `lossless_restatement` when that is a non-empty string, else
// its `content` when that is a string, else "".
std::string memory_text(const Json& entry);

// A new entry id: "mem-" followed by 16 random lower-case hex digits.
std::string new_memory_id();

}  // namespace vantory::host
