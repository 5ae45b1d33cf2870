// StoredChunks: an optional capability of a CodingContextStore: the chunk records of one
// stored file, read without the agent's other contexts. Tarnel asks a store for it in
// delta_update, which otherwise loads every context of the agent to find one.
#pragma once

#include <optional>
#include <string>

#include "common/json.h"

namespace vantory {

class StoredChunks {
 public:
  virtual ~StoredChunks() = default;
  // The chunk records, in order, of the context stored under `file_path` (normalised), as
  // _load_agent_data would hand them out; nothing when no context is stored under that path.
  // Counts no access.
  virtual std::optional<Json> stored_chunks(const std::string& agent_id,
                                            const std::string& file_path) = 0;
};

}  // namespace vantory
