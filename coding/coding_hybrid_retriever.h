// CodingHybridRetriever: hybrid semantic and keyword search over an agent's code units.
#pragma once

#include <cstdint>
#include <string>

#include "common/json.h"

namespace vantory {

class CodingHybridRetriever {
 public:
  virtual ~CodingHybridRetriever() = default;
  // {"results": [{"chunk": chunk record, "score": ..., ...}, ...], ...}, best first, at most
  // `top_k` results. `file_paths_filter` is a JSON array of paths to search within, or null
  // for no filter.
  virtual Json search(const std::string& agent_id, const std::string& query, std::int64_t top_k,
                      const Json& file_paths_filter) = 0;
};

}  // namespace vantory
